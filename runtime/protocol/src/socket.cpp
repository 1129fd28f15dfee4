#include <veldra/protocol/socket.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace veldra::protocol {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {
[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Puts `nfds` descriptors into `msg` as one SCM_RIGHTS message, in
// `control` (room for CMSG_SPACE of them, checked by the callers).
void attach_fds(msghdr& msg, char* control, std::size_t room, const int* fds, std::size_t nfds) {
    std::memset(control, 0, room);
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * nfds);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * nfds);
}

}  // namespace

Deadline Deadline::after(double seconds) {
    if (std::isnan(seconds) || seconds < 0) return never();
    // Beyond ~30 years counts as never, which also keeps the cast defined.
    if (seconds > 1e9) return never();
    auto d = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    return Deadline(clock::now() + d);
}

bool Deadline::expired() const {
    return !never_ && clock::now() >= when_;
}

int Deadline::poll_timeout_ms() const {
    if (never_) return -1;
    auto left = when_ - clock::now();
    if (left <= clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1000000000 ? 1000000000 : static_cast<int>(ms);
}

Deadline Deadline::earlier(const Deadline& other) const {
    if (never_) return other;
    if (other.never_) return *this;
    return when_ <= other.when_ ? *this : other;
}

void send_all(int fd, const void* data, std::size_t n, const int* fds, std::size_t nfds) {
    const char* p = static_cast<const char*>(data);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 64)];
    if (nfds > 64) throw std::length_error("too many descriptors for one message");
    bool fds_sent = nfds == 0;
    if (n == 0 && !fds_sent) throw std::invalid_argument("descriptors need at least one byte to travel with");
    while (n > 0) {
        iovec iov{const_cast<char*>(p), n};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (!fds_sent) attach_fds(msg, control, sizeof control, fds, nfds);
        ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw_errno("send");
        }
        fds_sent = true;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

std::size_t send_some(int fd, const void* data, std::size_t n, const int* fds, std::size_t nfds) {
    iovec iov{const_cast<void*>(data), n};
    return send_some(fd, &iov, 1, fds, nfds);
}

std::size_t send_some(int fd, const iovec* parts, std::size_t count, const int* fds, std::size_t nfds) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 64)];
    if (nfds > 64) throw std::length_error("too many descriptors for one message");
    if (nfds > 0 && (count == 0 || parts[0].iov_len == 0))
        throw std::invalid_argument("descriptors need at least one byte to travel with");
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = count;
    if (nfds > 0) attach_fds(msg, control, sizeof control, fds, nfds);
    for (;;) {
        ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w >= 0) return static_cast<std::size_t>(w);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingYet;
        throw_errno("send");
    }
}

std::size_t recv_some(int fd, void* buf, std::size_t cap, std::vector<UniqueFd>* fds) {
    return recv_some(fd, buf, cap, fds, false);
}

std::size_t recv_some(int fd, void* buf, std::size_t cap, std::vector<UniqueFd>* fds, bool nonblocking,
                      bool* fds_lost) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 64)];
    for (;;) {
        iovec iov{buf, cap};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t r = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | (nonblocking ? MSG_DONTWAIT : 0));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (nonblocking && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
            throw_errno("receive");
        }
        std::vector<UniqueFd> got;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int d;
                std::memcpy(&d, CMSG_DATA(c) + i * sizeof(int), sizeof d);
                got.emplace_back(d);
            }
        }
        // The kernel drops what does not fit the descriptor table (or the
        // control buffer); the bytes still arrived.
        if (msg.msg_flags & MSG_CTRUNC) {
            if (!fds_lost) {
                errno = EMSGSIZE;
                throw_errno("receive (descriptors truncated)");
            }
            *fds_lost = true;
        }
        if (fds) {
            for (auto& d : got) fds->push_back(std::move(d));
        }
        return static_cast<std::size_t>(r);
    }
}

bool wait_readable(int fd, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, deadline.poll_timeout_ms());
        if (r < 0) {
            if (errno == EINTR) continue;
            throw_errno("poll");
        }
        if (r > 0) return true;
        if (deadline.expired()) return false;
    }
}

bool several_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return true;
    return CPU_COUNT(&set) > 1;
}

std::pair<UniqueFd, UniqueFd> socket_pair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) throw_errno("socketpair");
    return {UniqueFd(sv[0]), UniqueFd(sv[1])};
}

void make_unix_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path || path.find('\0') != std::string::npos)
        throw std::length_error("socket path does not fit a Unix socket address: " + path);
    std::memcpy(addr.sun_path, path.data(), path.size());
}

UniqueFd listen_unix(const std::string& path, int backlog) {
    // The socket gets its name only once it listens: it is bound and
    // listening under a name of its own first, then linked to `path`, so a
    // client that finds the name never meets a socket that refuses it.
    // (A path with no room for the longer name is bound at once.)
    sockaddr_un addr;
    make_unix_address(path, addr);
    std::string bound = path + ".new";
    if (bound.size() >= sizeof addr.sun_path) bound = path;
    make_unix_address(bound, addr);
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) throw_errno("socket");
    if (bound != path) ::unlink(bound.c_str());  // left by a process that died here
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw_errno("bind");
    int failed = 0;
    const char* what = "listen";
    if (::listen(s.get(), backlog) != 0) {
        failed = errno;
    } else if (bound != path && ::link(bound.c_str(), path.c_str()) != 0) {
        failed = errno == EEXIST ? EADDRINUSE : errno;
        what = "bind";
    }
    if (bound != path || failed != 0) ::unlink(bound.c_str());
    if (failed != 0) {
        errno = failed;
        throw_errno(what);
    }
    return s;
}

int connect_unix(const std::string& path, UniqueFd& out) {
    sockaddr_un addr;
    make_unix_address(path, addr);
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) return errno;
    // A Unix-domain connect completes or fails at once; EINTR means it may
    // still be in progress, so wait for the outcome instead of retrying.
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINTR) return errno;
        pollfd p{s.get(), POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {}
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
        if (err != 0) return err;
    }
    out = std::move(s);
    return 0;
}

UniqueFd accept_peer(int listen_fd) {
    for (;;) {
        int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) return UniqueFd(c);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return UniqueFd();
        throw_errno("accept");
    }
}

uid_t peer_uid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) throw_errno("SO_PEERCRED");
    return cred.uid;
}

}  // namespace veldra::protocol
