#include "child_process.hpp"

#include <engine_api/engine_api.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
// Raw system calls: not every C library declares these usably from C++.
int pidfd_open_(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int pidfd_kill_(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}
}  // namespace

namespace engine_api::detail {

namespace {

// posix_spawn objects released on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

std::shared_ptr<ChildProcess> ChildProcess::spawn(const std::string& path, const std::vector<std::string>& args,
                                                  int conn_fd) {
    // dup2 onto itself would keep close-on-exec set, so move a descriptor 3
    // out of the way first.
    veldra::protocol::UniqueFd moved;
    if (conn_fd == 3) {
        moved.reset(::fcntl(conn_fd, F_DUPFD_CLOEXEC, 4));
        if (!moved) throw EngineException(std::string("cannot start the engine: ") + std::strerror(errno));
        conn_fd = moved.get();
    }

    SpawnSetup s;
    posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&s.actions, conn_fd, 3);
    posix_spawn_file_actions_addclosefrom_np(&s.actions, 4);

    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    // Ignored dispositions survive exec (Python ignores SIGPIPE, for one).
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setsigdefault(&s.attr, &defaults);
    posix_spawnattr_setpgroup(&s.attr, 0);
    posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argv_store;
    argv_store.reserve(args.size() + 3);
    argv_store.push_back(path);
    argv_store.push_back("--connection-fd");
    argv_store.push_back("3");
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_store) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &s.actions, &s.attr, argv.data(), environ);
    if (rc != 0) throw EngineException("cannot start the engine '" + path + "': " + std::strerror(rc));
    // Not yet reaped by anyone, so the pid is still this child.
    veldra::protocol::UniqueFd pidfd(pidfd_open_(pid));
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, std::move(pidfd)));
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        kill();
        try_reap(true);
    }
}

void ChildProcess::kill() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return;
    if (pidfd_) pidfd_kill_(pidfd_.get(), SIGKILL);
    else ::kill(pid_, SIGKILL);  // safe: we have not reaped it
}

bool ChildProcess::try_reap(bool block) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return true;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (r == pid_) {
            status_ = status;
            reaped_ = true;
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // ECHILD: somebody set SIGCHLD to SIG_IGN and the kernel reaped it.
        status_ = -1;
        reaped_ = true;
        return true;
    }
}

bool ChildProcess::wait_exit(const veldra::protocol::Deadline& deadline) {
    if (try_reap(false)) return true;
    if (pidfd_) {
        // The pidfd turns readable when the process exits.
        if (!veldra::protocol::wait_readable(pidfd_.get(), deadline)) return try_reap(false);
        return try_reap(true);
    }
    // Without pidfds (old kernels) there is nothing to wait on but time.
    while (!try_reap(false)) {
        if (deadline.expired()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void ChildProcess::reap(const veldra::protocol::Deadline& grace) {
    if (wait_exit(grace)) return;
    kill();
    wait_exit(veldra::protocol::Deadline::never());
}

std::string ChildProcess::status_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reaped_) return "is running";
    if (status_ == -1) return "has exited";
    if (WIFEXITED(status_)) return "exited with status " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_)) return "was killed by signal " + std::to_string(WTERMSIG(status_));
    return "has exited";
}

}  // namespace engine_api::detail
