// Engine-side time of the numerics that matter most, calling the function
// registry directly (no process, no transfer):
//   matmul of two 2000x2000 doubles, add of two 10^7-element doubles,
//   solve of a 2000x2000 system, fft of 2^20 points.
// Prints the best of several runs in milliseconds, one line per case.
#include "functions/function.hpp"

#include <qx/qx.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace veldra::engine;

class BenchContext : public CallContext {
public:
    explicit BenchContext(int threads) : threads_(threads) {}
    void out(std::string_view) override {}
    void err(std::string_view) override {}
    void checkInterrupt() override {}
    Workspace& workspace() override { return ws_; }
    ObjectStore& objects() override { return store_; }
    const FunctionRegistry& functions() const override { return FunctionRegistry::builtin(); }
    int threads() const override { return threads_; }

private:
    int threads_;
    Workspace ws_;
    ObjectStore store_;
};

Array randomMatrix(qxSize m, qxSize n, unsigned seed) {
    Array a(qxCreateNumericMatrix(m, n, qxDOUBLE_CLASS, qxREAL));
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    double* d = static_cast<double*>(qxGetData(a.get()));
    for (qxSize i = 0; i < m * n; ++i) d[i] = u(gen);
    return a;
}

double bestOf(int runs, BenchContext& ctx, const char* fn, const Args& args) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        Results r = FunctionRegistry::builtin().call(ctx, fn, 1, args);
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int threads =
        argc > 1 ? std::stoi(argv[1]) : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    BenchContext ctx(threads);
    std::printf("threads %d\n", threads);

    Array a = randomMatrix(2000, 2000, 1), b = randomMatrix(2000, 2000, 2);
    std::printf("matmul 2000x2000   %8.2f ms\n", bestOf(3, ctx, "matmul", {a.get(), b.get()}));

    Array x = randomMatrix(10000000, 1, 3), y = randomMatrix(10000000, 1, 4);
    std::printf("add 1e7            %8.2f ms\n", bestOf(5, ctx, "add", {x.get(), y.get()}));

    Array rhs = randomMatrix(2000, 1, 5);
    std::printf("solve 2000x2000    %8.2f ms\n", bestOf(3, ctx, "solve", {a.get(), rhs.get()}));

    Array s = randomMatrix(1u << 20, 1, 6);
    std::printf("fft 2^20           %8.2f ms\n", bestOf(5, ctx, "fft", {s.get()}));
    return 0;
}
