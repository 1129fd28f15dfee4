// veldra-engine: the out-of-process numerical engine.
//
// Launched by a client, it inherits a private connection (--connection-fd),
// reports Ready on it once it can take work (or LaunchFailed with the reason,
// then exits with status 2) and exits as soon as that connection closes,
// whatever it is doing: the client's death, even by SIGKILL, closes it.
// With --share NAME it also listens as a shared session; started by hand that
// way it runs until SIGTERM (or SIGHUP), or SIGINT while no call runs, and
// then removes its socket and exits with status 0.  A SIGINT while a call
// runs goes to the interrupt handler instead; a launched engine ignores an
// idle SIGINT, its lifetime being its client's.  Options: see options.hpp.
#include "calls.hpp"
#include "connection.hpp"
#include "engine_state.hpp"
#include "options.hpp"
#include "plugins/loader.hpp"
#include "shared_session.hpp"

#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/shared_blocks.hpp>
#include <veldra/protocol/socket.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace veldra::engine {

namespace {

int g_wake_fd = -1;
std::atomic<bool> g_stop{false};
pthread_t g_main_thread;

// Threads that libraries start before main (the BLAS thread pool) do not
// block the signals the main loop reads through its signalfd; a signal that
// lands on one of them is passed on to the main thread, where it waits
// blocked until the loop reads it.
void forward_to_main(int sig) {
    ::pthread_kill(g_main_thread, sig);
}

void wake() {
    if (g_wake_fd < 0) return;
    std::uint64_t one = 1;
    ssize_t r = ::write(g_wake_fd, &one, sizeof one);
    (void)r;
}

// Only the standard streams and the private connection are ours; whatever
// else leaked in through exec goes.
void close_inherited_fds(int keep) {
    if (keep > 3) ::close_range(3, static_cast<unsigned>(keep - 1), 0);
    ::close_range(static_cast<unsigned>(keep >= 3 ? keep + 1 : 3), ~0u, 0);
}

int fail(int conn_fd, const std::string& reason, bool hint = false) {
    if (conn_fd >= 0) {
        auto bytes = protocol::encode_frame(protocol::MessageType::LaunchFailed, 0,
                                            protocol::PayloadWriter().str(reason).take());
        try {
            protocol::send_all(conn_fd, bytes.data(), bytes.size());
        } catch (const std::exception&) {}
    } else {
        std::cerr << "veldra-engine: " << reason << "\n";
        if (hint) std::cerr << "Try 'veldra-engine --help'.\n";
    }
    return 2;
}

std::vector<std::uint8_t> ready_payload() {
    return protocol::PayloadWriter()
        .u32(protocol::kProtocolVersion)
        .u32(static_cast<std::uint32_t>(::getpid()))
        .u32(settings().threads)
        .str(settings().share)
        .u64(object_session_key())
        .take();
}

int run(int argc, char** argv) {
    int conn_fd = find_connection_fd(argc, argv);
    if (conn_fd >= 0 && ::fcntl(conn_fd, F_GETFD) < 0) conn_fd = -1;
    close_inherited_fds(conn_fd);
    if (conn_fd >= 0) ::fcntl(conn_fd, F_SETFD, FD_CLOEXEC);

    // Signals are taken from a signalfd by the main loop, so every thread
    // started from here on has them blocked.
    ::signal(SIGPIPE, SIG_IGN);
    // A shell starts background jobs with SIGINT ignored, which would also
    // discard it from the signalfd; the engine gives SIGINT its own meaning.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    // Launched engines sit in a process group of their own; a terminal set
    // to stop background writers must not stop them.
    ::signal(SIGTTOU, SIG_IGN);
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    g_main_thread = ::pthread_self();
    struct sigaction forward{};
    forward.sa_handler = forward_to_main;
    sigemptyset(&forward.sa_mask);
    forward.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &forward, nullptr);

    Options opts;
    try {
        opts = parse_options(argc, argv);
    } catch (const OptionError& e) {
        return fail(conn_fd, std::string("invalid startup option: ") + e.what(), true);
    }
    if (opts.version) {
        if (conn_fd >= 0) return fail(conn_fd, "option '--version' only prints the version; it cannot start an engine");
        std::cout << "veldra-engine " << VELDRA_VERSION << "\n";
        return 0;
    }
    if (opts.help) {
        if (conn_fd >= 0) return fail(conn_fd, "option '--help' only prints the help text; it cannot start an engine");
        std::cout << help_text();
        return 0;
    }
    if (opts.connection_fd >= 0 && conn_fd < 0) {
        std::cerr << "veldra-engine: option '--connection-fd': descriptor " << opts.connection_fd << " is not open\n";
        return 2;
    }

    Settings s;
    s.threads = opts.threads ? opts.threads : std::max(1u, std::thread::hardware_concurrency());
    s.share = opts.share;
    s.launched = conn_fd >= 0;
    set_settings(s);

    protocol::UniqueFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    protocol::UniqueFd sig_fd(::signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!wake_fd || !sig_fd) return fail(conn_fd, "cannot set up the engine's event descriptors");
    g_wake_fd = wake_fd.get();

    for (const auto& path : opts.plugins) {
        try {
            loadPlugin(path, FunctionRegistry::builtin());
        } catch (const std::exception& e) {
            return fail(conn_fd, std::string("option '--plugin': ") + e.what());
        }
    }

    // Every large block the engine holds or sends is a descriptor; the engine
    // is a process of its own, so it may take all it is allowed.
    struct rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    protocol::installSharedMemoryAllocator();
    start_calls();

    std::unique_ptr<SharedSession> shared;
    if (!opts.share.empty()) {
        try {
            shared = std::make_unique<SharedSession>(opts.share);
        } catch (const std::exception& e) {
            return fail(conn_fd, e.what());
        }
    }

    std::shared_ptr<Connection> priv;
    if (conn_fd >= 0) {
        priv = std::make_shared<Connection>(protocol::UniqueFd(conn_fd), Connection::Kind::Private);
        priv->send(protocol::MessageType::Ready, 0, ready_payload());
        priv->start([](Connection&) { request_stop(); });
        // Watches for the client's end independently of the reader, which a
        // handler may keep busy: the engine never outlives its client.
        std::thread([fd = conn_fd] {
            for (;;) {
                pollfd p{fd, POLLRDHUP, 0};
                int r = ::poll(&p, 1, -1);
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) break;
            }
            request_stop();
        }).detach();
    } else if (shared) {
        std::cerr << "veldra-engine: sharing session '" << opts.share << "' at " << shared->socket_path() << " (pid "
                  << ::getpid() << ")\n";
    }
    if (!priv && !shared) {
        std::cerr << "veldra-engine: nothing to do: give --share NAME to start a shared session\n";
        return 2;
    }

    std::vector<std::shared_ptr<Connection>> peers;
    const uid_t me = ::geteuid();
    while (!g_stop) {
        pollfd p[3] = {
            {sig_fd.get(), POLLIN, 0}, {wake_fd.get(), POLLIN, 0}, {shared ? shared->listen_fd() : -1, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[0].revents & POLLIN) {
            signalfd_siginfo si;
            while (::read(sig_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGHUP) g_stop = true;
                else if (si.ssi_signo == SIGINT && !interrupt_running_calls() && !priv) g_stop = true;
                // A launched engine's lifetime is its client's, so an idle
                // SIGINT leaves it running.
            }
        }
        if (p[1].revents & POLLIN) {
            std::uint64_t n;
            while (::read(wake_fd.get(), &n, sizeof n) > 0) {}
        }
        if (shared && (p[2].revents & POLLIN)) {
            while (auto fd = protocol::accept_peer(shared->listen_fd())) {
                uid_t peer = static_cast<uid_t>(-1);
                try {
                    peer = protocol::peer_uid(fd.get());
                } catch (const std::exception&) {}
                auto c = std::make_shared<Connection>(std::move(fd), Connection::Kind::Shared);
                if (peer != me) {
                    c->send_text(protocol::MessageType::Refused, 0,
                                 "connection refused: the engine serves only its own user");
                    continue;
                }
                if (!c->send(protocol::MessageType::Ready, 0, ready_payload())) continue;
                c->start([](Connection& gone) {
                    client_gone(gone);
                    wake();
                });
                peers.push_back(std::move(c));
            }
        }
        // Finished peers are joined here, off their own threads.
        peers.erase(std::remove_if(peers.begin(), peers.end(),
                                   [](const std::shared_ptr<Connection>& c) {
                                       if (!c->finished()) return false;
                                       c->close();
                                       return true;
                                   }),
                    peers.end());
    }

    if (shared) shared->remove();
    std::fflush(stdout);
    std::fflush(stderr);
    // No unwinding: calls still running must not hold up the exit.
    std::_Exit(0);
}

}  // namespace

void request_stop() {
    g_stop = true;
    wake();
}

}  // namespace veldra::engine

int main(int argc, char** argv) {
    return veldra::engine::run(argc, argv);
}
