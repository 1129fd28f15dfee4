// fft and ifft along one dimension (FFTW), on the split real/imaginary blocks
// of the arrays themselves.
#include "numerics/common.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace veldra::engine {
namespace {

using namespace num;

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& plannerLock() {
    static std::mutex m;
    return m;
}

template <class R>
struct Fftw;
template <>
struct Fftw<double> {
    using Plan = fftw_plan;
    static Plan plan(int rank, const fftw_iodim64* dims, int hr, const fftw_iodim64* hdims, double* ri, double* ii,
                     double* ro, double* io) {
        return fftw_plan_guru64_split_dft(rank, dims, hr, hdims, ri, ii, ro, io, FFTW_ESTIMATE);
    }
    static void run(Plan p) { fftw_execute(p); }
    static void destroy(Plan p) { fftw_destroy_plan(p); }
    static void threads(int n) {
        static const bool ready = fftw_init_threads() != 0;
        if (ready) fftw_plan_with_nthreads(n);
    }
};
template <>
struct Fftw<float> {
    using Plan = fftwf_plan;
    static Plan plan(int rank, const fftw_iodim64* dims, int hr, const fftw_iodim64* hdims, float* ri, float* ii,
                     float* ro, float* io) {
        return fftwf_plan_guru64_split_dft(rank, dims, hr, hdims, ri, ii, ro, io, FFTW_ESTIMATE);
    }
    static void run(Plan p) { fftwf_execute(p); }
    static void destroy(Plan p) { fftwf_destroy_plan(p); }
    static void threads(int n) {
        static const bool ready = fftwf_init_threads() != 0;
        if (ready) fftwf_plan_with_nthreads(n);
    }
};

template <class R>
void copyAlong(const R* in, R* out, qxSize inner, qxSize len, qxSize n, qxSize outer) {
    if (len == n) {
        std::memcpy(out, in, inner * n * outer * sizeof(R));
        return;
    }
    const qxSize keep = std::min(len, n);
    for (qxSize o = 0; o < outer; ++o) std::memcpy(out + o * n * inner, in + o * len * inner, keep * inner * sizeof(R));
}

template <class R>
void transform(R* re, R* im, qxSize inner, qxSize n, qxSize outer, bool inverse, int threads) {
    fftw_iodim64 dim{static_cast<ptrdiff_t>(n), static_cast<ptrdiff_t>(inner), static_cast<ptrdiff_t>(inner)};
    fftw_iodim64 loops[2] = {
        {static_cast<ptrdiff_t>(inner), 1, 1},
        {static_cast<ptrdiff_t>(outer), static_cast<ptrdiff_t>(n * inner), static_cast<ptrdiff_t>(n * inner)},
    };
    // The inverse transform is the forward one with real and imaginary swapped.
    R* a = inverse ? im : re;
    R* b = inverse ? re : im;
    typename Fftw<R>::Plan plan;
    {
        std::lock_guard<std::mutex> lock(plannerLock());
        // Threads pay off only on large transforms.
        Fftw<R>::threads(inner * n * outer >= (qxSize(1) << 16) ? std::max(1, threads) : 1);
        plan = Fftw<R>::plan(1, &dim, 2, loops, a, b, a, b);
    }
    if (!plan) throw std::bad_alloc();
    Fftw<R>::run(plan);
    {
        std::lock_guard<std::mutex> lock(plannerLock());
        Fftw<R>::destroy(plan);
    }
    if (inverse) {
        const R scale = R(1) / static_cast<R>(n);
        const qxSize total = inner * n * outer;
        for (qxSize i = 0; i < total; ++i) re[i] *= scale, im[i] *= scale;
    }
}

Results fourier(CallContext& ctx, const char* fn, bool inverse, const Args& args) {
    support::requireArgCount(fn, args, 1, 3);
    const qxArray* x = args[0];
    const qxClassID c = qxGetClassID(x);
    if (!(c == qxDOUBLE_CLASS || c == qxSINGLE_CLASS || c == qxLOGICAL_CLASS || c == qxCHAR_CLASS) || qxIsSparse(x))
        fail(fn, "wrongClass",
             std::string(fn) + " takes full double, single, logical or char arrays, not " +
                 (qxIsSparse(x) ? std::string("sparse arrays") : std::string(support::className(c))) + ".");
    const std::vector<qxSize> inDims = matrix::get_dimensions(x);
    std::size_t dim = defaultDim(inDims);
    if (args.size() > 2) dim = dimArg(fn, args, 2);
    std::vector<qxSize> d = inDims;
    d.resize(std::max(d.size(), dim), 1);
    const qxSize len = d[dim - 1];
    qxSize n = len;
    if (args.size() > 1 && !qxIsEmpty(args[1])) {
        n = support::countArg(fn, args, 1);
        if (n == 0) fail(fn, "badLength", std::string("The transform length of ") + fn + " must be positive.");
    }
    qxSize inner = 1, outer = 1;
    for (std::size_t k = 0; k < dim - 1; ++k) inner *= d[k];
    for (std::size_t k = dim; k < d.size(); ++k) outer *= d[k];
    d[dim - 1] = n;
    const std::vector<qxSize> outDims = trimDims(d);
    const bool single = c == qxSINGLE_CLASS;
    Array out = create(outDims, single ? qxSINGLE_CLASS : qxDOUBLE_CLASS, true);
    if (count(outDims) == 0) return support::one(std::move(out));
    ctx.checkInterrupt();

    auto run = [&](auto zero) {
        using R = decltype(zero);
        R* re = static_cast<R*>(qxGetData(out.get()));
        R* im = static_cast<R*>(qxGetImagData(out.get()));
        if (c == qxDOUBLE_CLASS || c == qxSINGLE_CLASS) {
            copyAlong(static_cast<const R*>(qxGetData(x)), re, inner, len, n, outer);
            if (qxIsComplex(x)) copyAlong(static_cast<const R*>(qxGetImagData(x)), im, inner, len, n, outer);
        } else {
            const Values v = read(fn, args, 0);
            std::vector<R> tmp(v.re, v.re + v.n);
            copyAlong(tmp.data(), re, inner, len, n, outer);
        }
        transform(re, im, inner, n, outer, inverse, ctx.threads());
    };
    if (single) run(float{});
    else run(double{});
    ctx.checkInterrupt();
    return support::one(std::move(out));
}

Results fn_fft(CallContext& c, int, const Args& a) {
    return fourier(c, "fft", false, a);
}
Results fn_ifft(CallContext& c, int, const Args& a) {
    return fourier(c, "ifft", true, a);
}

}  // namespace

VELDRA_ENGINE_FUNCTION(fft, 1, fn_fft);
VELDRA_ENGINE_FUNCTION(ifft, 1, fn_ifft);

}  // namespace veldra::engine
