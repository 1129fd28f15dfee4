// Round trips through the engine client next to what the machine allows:
// a raw 64-byte ping-pong between two processes over a socketpair, and one
// memcpy into fresh memory for the large array.
#include <engine_api/engine_api.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double time_us(const std::function<void()>& f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void place(bool pinned) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pinned) {
        CPU_SET(0, &set);
    } else {
        for (int i = 0; i < CPU_SETSIZE; ++i) CPU_SET(i, &set);
    }
    if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

void full_io(bool write, int fd, char* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = write ? ::write(fd, buf + done, n - done) : ::read(fd, buf + done, n - done);
        if (r <= 0) throw std::runtime_error("ping-pong socket failed");
        done += static_cast<std::size_t>(r);
    }
}

double ping_pong(int rounds) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) throw std::runtime_error("socketpair");
    pid_t child = ::fork();
    char buf[64] = {};
    if (child == 0) {
        ::close(sv[0]);
        for (int i = 0; i < rounds; ++i) {
            full_io(false, sv[1], buf, sizeof buf);
            full_io(true, sv[1], buf, sizeof buf);
        }
        ::_exit(0);
    }
    ::close(sv[1]);
    std::vector<double> t;
    t.reserve(rounds);
    for (int i = 0; i < rounds; ++i)
        t.push_back(time_us([&] {
            full_io(true, sv[0], buf, sizeof buf);
            full_io(false, sv[0], buf, sizeof buf);
        }));
    ::close(sv[0]);
    ::waitpid(child, nullptr, 0);
    return median(t);
}

engine_api::Handle launch() {
    auto l = engine_api::createOutOfProcessVELDRAAsync({});
    auto e = engine_api::getOutOfProcessVELDRA(l);
    engine_api::destroyVELDRAHandle(l);
    return e;
}

double identity_round_trip(engine_api::Handle engine, const qxArray* arg, int rounds, bool capture = false) {
    // A fresh engine's numerics threads stay busy for a while after start;
    // measure the steady state.
    for (auto until = Clock::now() + std::chrono::milliseconds(300); Clock::now() < until;) {
        auto h = engine_api::evaluateFunction(engine, "identity", 1, {arg}, false, false);
        engine_api::getFEvalResult(h, nullptr, nullptr, -1);
        engine_api::destroyFEvalResult(h);
    }
    std::vector<double> t;
    t.reserve(rounds);
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        double us = time_us([&] {
            auto h = engine_api::evaluateFunction(engine, "identity", 1, {arg}, capture, capture);
            boost::shared_ptr<engine_api::ustringbuf> out, err;
            if (capture) {
                out.reset(new engine_api::ustringbuf);
                err.reset(new engine_api::ustringbuf);
            }
            auto r = engine_api::getFEvalResult(h, out, err, -1);
            engine_api::destroyFEvalResult(h);
        });
        if (i >= rounds / 10) t.push_back(us);  // the first ones warm up
    }
    return median(t);
}

}  // namespace

int main() {
    if (!std::getenv("VELDRA_ENGINE_EXECUTABLE")) ::setenv("VELDRA_ENGINE_EXECUTABLE", VELDRA_BENCH_ENGINE, 1);
    engine_api::createProcess();
    const int rounds = 5000;

    qxArray* scalar = qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL);
    *static_cast<double*>(qxGetData(scalar)) = 42;

    std::printf("%-10s %22s %22s %8s %22s\n", "placement", "identity 1x1 (us)", "raw ping-pong (us)", "ratio",
                "capturing both (us)");
    for (bool pinned : {true, false}) {
        place(pinned);
        double raw = ping_pong(rounds);
        auto engine = launch();  // started after placing, so it inherits the placement
        double call = identity_round_trip(engine, scalar, rounds);
        double captured = identity_round_trip(engine, scalar, rounds, true);
        engine_api::destroyVELDRAHandle(engine);
        std::printf("%-10s %22.1f %22.1f %8.2f %22.1f\n", pinned ? "one CPU" : "unpinned", call, raw, call / raw,
                    captured);
    }
    place(false);

    const std::size_t n = 100u * 1000 * 1000 / sizeof(double);
    qxArray* big = qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL);
    auto* d = static_cast<double*>(qxGetData(big));
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<double>(i);
    auto engine = launch();
    double call = identity_round_trip(engine, big, 10);
    engine_api::destroyVELDRAHandle(engine);
    std::vector<double> copies;
    for (int i = 0; i < 5; ++i) {
        copies.push_back(time_us([&] {
            void* p = std::malloc(n * sizeof(double));
            std::memcpy(p, d, n * sizeof(double));
            asm volatile("" ::"r"(p) : "memory");
            std::free(p);
        }));
    }
    std::printf("identity of 100 MB: %.1f us; one memcpy of 100 MB into fresh memory: %.1f us\n", call, median(copies));
    qxDestroyArray(big);
    qxDestroyArray(scalar);
    engine_api::terminateProcess();
}
