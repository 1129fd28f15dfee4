// Reductions along one dimension: sum, prod, mean, min, max, cumsum, any, all.
#include "numerics/common.hpp"
#include "numerics/parallel.hpp"

#include <qx/element.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace veldra::engine {
namespace {

using namespace num;

enum class Red { Sum, Prod, Mean, Min, Max, Cumsum, Any, All };

// Extents around the reduced dimension: `inner` elements before it, `len`
// along it, `outer` slabs after it.
struct Layout {
    qxSize inner = 1, len = 1, outer = 1;
    std::vector<qxSize> outDims;
};

Layout layout(const std::vector<qxSize>& dims, std::size_t dim, bool keepLength) {
    Layout l;
    std::vector<qxSize> d = dims;
    if (d.size() < dim) d.resize(dim, 1);
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (i + 1 < dim) l.inner *= d[i];
        else if (i + 1 == dim) l.len = d[i];
        else l.outer *= d[i];
    }
    if (!keepLength) d[dim - 1] = 1;
    l.outDims = trimDims(d);
    return l;
}

qxClassID resultClass(Red op, qxClassID c) {
    switch (op) {
    case Red::Any:
    case Red::All:
        return qxLOGICAL_CLASS;
    case Red::Mean:
        return c == qxSINGLE_CLASS ? qxSINGLE_CLASS : qxDOUBLE_CLASS;
    default:
        return arithmeticClass(c);
    }
}

// Orders complex values by magnitude, then angle; NaN never wins.
bool better(bool wantMax, double xr, double xi, double yr, double yi, bool complex) {
    if (!complex) return wantMax ? xr > yr : xr < yr;
    const double ax = std::hypot(xr, xi), ay = std::hypot(yr, yi);
    if (ax != ay) return wantMax ? ax > ay : ax < ay;
    const double px = std::atan2(xi, xr), py = std::atan2(yi, yr);
    return wantMax ? px > py : px < py;
}

// ---- sums of contiguous runs ----------------------------------------------------
//
// A run of n elements is added in an order fixed by n alone, so that its sum
// does not depend on how many threads took part or how the work was split:
// - the run is cut into blocks of kSumBlock elements from its start (the last
//   one shorter);
// - within a block, eight running sums take every eighth element (sum j the
//   elements j, j + 8, j + 16 ...; the last n mod 8 elements join sums 0, 1 ...
//   in turn), and are combined as ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
// - the block sums are added pairwise: a range of them is halved (the first
//   half the shorter one when odd) until at most eight are left, which are
//   added from left to right.
// Threads take contiguous ranges of whole blocks.  Elements are read in their
// own class and added as doubles.
constexpr qxSize kSumBlock = 4096;
constexpr qxSize kParallelElements = qxSize(1) << 18;  // less stays on one thread
constexpr qxSize kRoundElements = qxSize(1) << 22;     // interrupts are checked between rounds

template <class T>
double blockSum(const T* x, qxSize n) {
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    qxSize k = 0;
    for (; k + 8 <= n; k += 8)
        for (int j = 0; j < 8; ++j) s[j] += static_cast<double>(x[k + j]);
    for (int j = 0; k < n; ++k, ++j) s[j] += static_cast<double>(x[k]);
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

double pairwise(const double* v, qxSize n) {
    if (n <= 8) {
        double s = 0;
        for (qxSize i = 0; i < n; ++i) s += v[i];
        return s;
    }
    const qxSize half = n / 2;
    return pairwise(v, half) + pairwise(v + half, n - half);
}

// The sum of x[0..n); with `ctx`, split across its threads, with interrupts
// checked after each round.
template <class T>
double runSum(const T* x, qxSize n, CallContext* ctx) {
    if (n <= kSumBlock) return blockSum(x, n);
    const qxSize blocks = (n + kSumBlock - 1) / kSumBlock;
    std::vector<double> sums(blocks);
    auto some = [&](qxSize from, qxSize to) {
        for (qxSize b = from; b < to; ++b)
            sums[b] = blockSum(x + b * kSumBlock, std::min(kSumBlock, n - b * kSumBlock));
    };
    if (!ctx) {
        some(0, blocks);
    } else {
        const qxSize round = kRoundElements / kSumBlock;
        const unsigned threads = static_cast<unsigned>(std::max(1, ctx->threads()));
        for (qxSize first = 0; first < blocks; first += round) {
            const qxSize last = std::min(blocks, first + round);
            parallelFor(threads, last - first, kParallelElements / kSumBlock,
                        [&](std::size_t lo, std::size_t hi) { some(first + lo, first + hi); });
            ctx->checkInterrupt();
        }
    }
    return pairwise(sums.data(), blocks);
}

// Sums (or means) of the `outer` contiguous runs of `len` elements of x into
// out: long runs one at a time, each across the threads; short ones shared
// out among the threads whole.
template <class T>
void runSums(CallContext& ctx, const T* x, qxSize len, qxSize outer, bool mean, double* out) {
    auto finish = [&](double s) { return mean ? s / static_cast<double>(len) : s; };
    if (len >= kParallelElements) {
        for (qxSize o = 0; o < outer; ++o) out[o] = finish(runSum(x + o * len, len, &ctx));
        return;
    }
    const qxSize perRound = std::max<qxSize>(1, kRoundElements / std::max<qxSize>(len, 1));
    const qxSize grain = std::max<qxSize>(1, kParallelElements / std::max<qxSize>(len, 1));
    const unsigned threads = static_cast<unsigned>(std::max(1, ctx.threads()));
    for (qxSize first = 0; first < outer; first += perRound) {
        const qxSize last = std::min(outer, first + perRound);
        parallelFor(threads, last - first, grain, [&](std::size_t lo, std::size_t hi) {
            for (qxSize o = first + lo; o < first + hi; ++o) out[o] = finish(runSum(x + o * len, len, nullptr));
        });
        if (last < outer || (last - first) * len >= kParallelElements) ctx.checkInterrupt();
    }
}

Results reduce(CallContext& ctx, const char* fn, Red op, int nargout, const Args& args) {
    support::requireArgCount(fn, args, 1, 2);
    Values a = describeArray(fn, args.at(0), 0);
    const std::size_t dim = args.size() > 1 ? dimArg(fn, args, 1) : defaultDim(a.dims);
    const Layout l = layout(a.dims, dim, op == Red::Cumsum);
    const qxClassID cls = resultClass(op, a.cls);
    const qxSize nOut = count(l.outDims);
    const bool cplx = a.n != 0 && qxIsComplex(args[0]);
    std::vector<double> re(nOut), im(cplx ? nOut : 0), where;
    if ((op == Red::Sum || op == Red::Mean) && l.inner == 1 && a.n != 0) {
        // Each result is the sum of a contiguous run.
        qx::visitElementType(a.cls, [&](auto t) {
            using T = decltype(t);
            runSums(ctx, static_cast<const T*>(qxGetData(args[0])), l.len, l.outer, op == Red::Mean, re.data());
            if (cplx)
                runSums(ctx, static_cast<const T*>(qxGetImagData(args[0])), l.len, l.outer, op == Red::Mean, im.data());
        });
        return support::one(fromDoubles(l.outDims, cls, re.data(), cplx ? im.data() : nullptr));
    }
    widen(a, args[0]);
    if (op == Red::Min || op == Red::Max) where.assign(nOut, 1);
    Ticker tick(ctx);

    for (qxSize o = 0; o < l.outer; ++o) {
        for (qxSize i = 0; i < l.inner; ++i) {
            const qxSize base = o * l.len * l.inner + i;
            const qxSize at = op == Red::Cumsum ? base : o * l.inner + i;
            auto x = [&](qxSize k) { return a.re[base + k * l.inner]; };
            auto y = [&](qxSize k) { return cplx ? a.im[base + k * l.inner] : 0.0; };
            switch (op) {
            case Red::Sum:
            case Red::Mean: {
                double sr = 0, si = 0;
                for (qxSize k = 0; k < l.len; ++k) sr += x(k), si += y(k);
                if (op == Red::Mean) sr /= static_cast<double>(l.len), si /= static_cast<double>(l.len);
                re[at] = sr;
                if (cplx) im[at] = si;
                break;
            }
            case Red::Prod: {
                std::complex<double> p = 1;
                double pr = 1;
                for (qxSize k = 0; k < l.len; ++k) {
                    if (cplx) p *= std::complex<double>(x(k), y(k));
                    else pr *= x(k);
                }
                re[at] = cplx ? p.real() : pr;
                if (cplx) im[at] = p.imag();
                break;
            }
            case Red::Cumsum: {
                double sr = 0, si = 0;
                for (qxSize k = 0; k < l.len; ++k) {
                    sr += x(k), si += y(k);
                    re[base + k * l.inner] = sr;
                    if (cplx) im[base + k * l.inner] = si;
                }
                break;
            }
            case Red::Min:
            case Red::Max: {
                // NaN only where every element is NaN; an empty slice has none.
                qxSize best = 0;
                bool found = false;
                for (qxSize k = 0; k < l.len; ++k) {
                    if (std::isnan(x(k)) || std::isnan(y(k))) continue;
                    if (!found || better(op == Red::Max, x(k), y(k), x(best), y(best), cplx)) best = k;
                    found = true;
                }
                re[at] = found ? x(best) : std::numeric_limits<double>::quiet_NaN();
                if (cplx) im[at] = found ? y(best) : 0;
                where[at] = static_cast<double>(best + 1);
                break;
            }
            case Red::Any:
            case Red::All: {
                bool r = op == Red::All;
                for (qxSize k = 0; k < l.len; ++k) {
                    const bool nz = x(k) != 0 || y(k) != 0;  // NaN counts as non-zero
                    if (op == Red::Any && nz) {
                        r = true;
                        break;
                    }
                    if (op == Red::All && !nz) {
                        r = false;
                        break;
                    }
                }
                re[at] = r;
                break;
            }
            }
            tick.tick(l.len + 1);
        }
    }
    Results out;
    out.push_back(fromDoubles(l.outDims, cls, re.data(), cplx ? im.data() : nullptr));
    if ((op == Red::Min || op == Red::Max) && nargout > 1)
        out.push_back(fromDoubles(l.outDims, qxDOUBLE_CLASS, where.data(), nullptr));
    return out;
}

#define VELDRA_REDUCTION(name, op, outs) \
    VELDRA_ENGINE_FUNCTION(name, outs, [](CallContext& c, int n, const Args& a) { return reduce(c, #name, op, n, a); })

}  // namespace

VELDRA_REDUCTION(sum, Red::Sum, 1);
VELDRA_REDUCTION(prod, Red::Prod, 1);
VELDRA_REDUCTION(mean, Red::Mean, 1);
VELDRA_REDUCTION(min, Red::Min, 2);
VELDRA_REDUCTION(max, Red::Max, 2);
VELDRA_REDUCTION(cumsum, Red::Cumsum, 1);
VELDRA_REDUCTION(any, Red::Any, 1);
VELDRA_REDUCTION(all, Red::All, 1);

}  // namespace veldra::engine
