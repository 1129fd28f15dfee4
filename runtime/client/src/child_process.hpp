#pragma once
// An engine process this client spawned: killed and reaped only through
// this object, so its pid is never mistaken for a stranger's.
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/socket.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace engine_api::detail {

class ChildProcess {
public:
    // Starts `path` with `args`; the child gets `conn_fd` as descriptor 3, the
    // standard streams (stdin from /dev/null) and nothing else, default
    // signal handling, and a process group of its own so that a terminal's
    // Ctrl-C goes to the client alone.  Throws EngineException.
    static std::shared_ptr<ChildProcess> spawn(const std::string& path, const std::vector<std::string>& args,
                                               int conn_fd);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    void kill() noexcept;
    // True once reaped; waits at most until `deadline`.
    bool wait_exit(const veldra::protocol::Deadline& deadline);
    // Waits `grace`, then kills; returns once reaped.
    void reap(const veldra::protocol::Deadline& grace);
    // "exited with status 2", "was killed by signal 9" or "is running".
    std::string status_text();

private:
    ChildProcess(pid_t pid, veldra::protocol::UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    bool try_reap(bool block);

    pid_t pid_;
    veldra::protocol::UniqueFd pidfd_;
    std::mutex mutex_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace engine_api::detail
