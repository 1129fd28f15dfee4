#pragma once
// Moving bytes and descriptors over Unix-domain stream sockets.  Calls are
// retried on EINTR; failures throw std::system_error.  Every descriptor made
// here is close-on-exec.
#include <veldra/protocol/fd.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct sockaddr_un;
struct iovec;

namespace veldra::protocol {

// A point in time fixed once, so retries do not stretch a time-out.
class Deadline {
public:
    using clock = std::chrono::steady_clock;
    static Deadline never() { return Deadline(); }
    // Negative seconds: never.  0: already passed.
    static Deadline after(double seconds);
    static Deadline at(clock::time_point t) { return Deadline(t); }

    bool is_never() const noexcept { return never_; }
    bool expired() const;
    clock::time_point when() const noexcept { return when_; }
    // For poll(): -1 for never, else remaining milliseconds rounded up.
    int poll_timeout_ms() const;
    Deadline earlier(const Deadline& other) const;

private:
    Deadline() = default;
    explicit Deadline(clock::time_point t) : never_(false), when_(t) {}
    bool never_ = true;
    clock::time_point when_{};
};

// Writes all n bytes; the descriptors go with the first byte.  Never raises
// SIGPIPE.
void send_all(int fd, const void* data, std::size_t n, const int* fds = nullptr, std::size_t nfds = 0);
inline constexpr std::size_t kNothingYet = static_cast<std::size_t>(-1);
// Writes what the socket takes without waiting: the count written, or
// kNothingYet when it takes nothing now.  The descriptors go
// with the first byte.  Never raises SIGPIPE.
std::size_t send_some(int fd, const void* data, std::size_t n, const int* fds = nullptr, std::size_t nfds = 0);
// The same for the bytes of `count` parts in order (one sendmsg); the
// descriptors go with the first part, which must not be empty then.
std::size_t send_some(int fd, const iovec* parts, std::size_t count, const int* fds = nullptr, std::size_t nfds = 0);
// Reads what is there (blocking for at least one byte); 0 at end of stream.
// Received descriptors are appended to *fds (closed when fds is null).
std::size_t recv_some(int fd, void* buf, std::size_t cap, std::vector<UniqueFd>* fds);
// The same; with `nonblocking`, kNothingYet when no byte is there.  When
// descriptors were dropped on the way in (a full descriptor table), sets
// *fds_lost (throws when fds_lost is null).
std::size_t recv_some(int fd, void* buf, std::size_t cap, std::vector<UniqueFd>* fds, bool nonblocking,
                      bool* fds_lost = nullptr);
// False when the deadline passed first.
bool wait_readable(int fd, const Deadline& deadline);

// Whether this thread may run on more than one CPU: only then is it worth
// polling for a quick answer instead of sleeping until it comes.
bool several_cpus() noexcept;

std::pair<UniqueFd, UniqueFd> socket_pair();

// The address of a socket file; throws std::length_error when the path does
// not fit (it is never truncated).
void make_unix_address(const std::string& path, sockaddr_un& addr);
// Bound and listening socket; throws std::system_error (EADDRINUSE if the
// path exists).
UniqueFd listen_unix(const std::string& path, int backlog);
// 0 and the connected socket, or the errno of the failure.
int connect_unix(const std::string& path, UniqueFd& out);
// The next peer; an empty UniqueFd when none is waiting (EAGAIN) or it went
// away before being accepted.
UniqueFd accept_peer(int listen_fd);
uid_t peer_uid(int fd);

}  // namespace veldra::protocol
