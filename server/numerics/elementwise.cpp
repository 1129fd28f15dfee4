// Elementwise arithmetic, elementary functions, comparisons and logic, with
// scalar and implicit expansion.  Everything is computed in double (complex
// where needed) and stored back into the result class, which rounds and
// saturates integers.
#include "numerics/common.hpp"
#include "numerics/parallel.hpp"

#include <atomic>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>

namespace veldra::engine {
namespace {

using namespace num;
using cd = std::complex<double>;

// Output shape and per-operand strides of implicit expansion.
struct Expansion {
    std::vector<qxSize> out, sa, sb;
    qxSize n = 0;
    bool same = false;  // both operands have the output's shape
};

Expansion expand(const char* fn, const Values& a, const Values& b) {
    const std::size_t nd = std::max(a.dims.size(), b.dims.size());
    std::vector<qxSize> da = a.dims, db = b.dims;
    da.resize(nd, 1);
    db.resize(nd, 1);
    Expansion e;
    e.out.resize(nd);
    e.sa.resize(nd);
    e.sb.resize(nd);
    qxSize stA = 1, stB = 1;
    for (std::size_t d = 0; d < nd; ++d) {
        if (da[d] != db[d] && da[d] != 1 && db[d] != 1) {
            auto show = [](const std::vector<qxSize>& v) {
                std::string s;
                for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "x" : "") + std::to_string(v[i]);
                return s;
            };
            fail(fn, "sizeMismatch",
                 std::string("The arguments of ") + fn + " have incompatible sizes (" + show(a.dims) + " and " +
                     show(b.dims) + ").");
        }
        e.out[d] = da[d] == 1 ? db[d] : da[d];
        e.sa[d] = da[d] == 1 ? 0 : stA;
        e.sb[d] = db[d] == 1 ? 0 : stB;
        stA *= da[d];
        stB *= db[d];
    }
    e.n = count(e.out);
    e.same = da == e.out && db == e.out;
    e.out = trimDims(e.out);
    return e;
}

// Calls f(k, ia, ib) for every output element k and the operand elements it
// is made of.
template <class F>
void forEach(CallContext& ctx, const Expansion& e, F&& f) {
    if (e.n == 0) return;
    const qxSize chunk = 1u << 20;
    if (e.same) {
        for (qxSize start = 0; start < e.n; start += chunk) {
            const qxSize stop = std::min(e.n, start + chunk);
            for (qxSize k = start; k < stop; ++k) f(k, k, k);
            if (stop < e.n) ctx.checkInterrupt();
        }
        return;
    }
    const std::size_t nd = e.sa.size();
    std::vector<qxSize> ext = e.out;  // untrimmed extents
    ext.resize(nd, 1);
    std::vector<qxSize> idx(nd, 0);
    qxSize ia = 0, ib = 0, k = 0, sinceCheck = 0;
    const qxSize d0 = ext[0], sa0 = e.sa[0], sb0 = e.sb[0];
    while (k < e.n) {
        for (qxSize j = 0; j < d0; ++j, ++k) f(k, ia + j * sa0, ib + j * sb0);
        sinceCheck += d0;
        if (sinceCheck >= chunk) {
            sinceCheck = 0;
            ctx.checkInterrupt();
        }
        for (std::size_t d = 1; d < nd; ++d) {
            ++idx[d];
            ia += e.sa[d];
            ib += e.sb[d];
            if (idx[d] < ext[d]) break;
            ia -= e.sa[d] * ext[d];
            ib -= e.sb[d] * ext[d];
            idx[d] = 0;
        }
    }
}

// Runs fn(begin, end) over [0, n): large loops in rounds, each split across
// the call's threads, with interrupts checked between rounds; fewer than
// kParallelElements elements on the calling thread alone.
constexpr qxSize kParallelElements = qxSize(1) << 18;
constexpr qxSize kRoundElements = qxSize(1) << 22;

template <class F>
void parallelLoop(CallContext& ctx, qxSize n, F&& fn) {
    const unsigned threads = static_cast<unsigned>(std::max(1, ctx.threads()));
    for (qxSize s = 0; s < n; s += kRoundElements) {
        const qxSize t = std::min(n, s + kRoundElements);
        parallelFor(threads, t - s, kParallelElements, [&](std::size_t lo, std::size_t hi) { fn(s + lo, s + hi); });
        if (t < n) ctx.checkInterrupt();
    }
}

enum class Arith { Add, Sub, Mul, Div, Pow };

inline double realOp(Arith op, double x, double y) {
    switch (op) {
    case Arith::Add:
        return x + y;
    case Arith::Sub:
        return x - y;
    case Arith::Mul:
        return x * y;
    case Arith::Div:
        return x / y;
    case Arith::Pow:
        return std::pow(x, y);
    }
    return 0;
}

inline cd complexOp(Arith op, cd x, cd y) {
    switch (op) {
    case Arith::Add:
        return x + y;
    case Arith::Sub:
        return x - y;
    case Arith::Mul:
        // Real factors keep infinities out of the imaginary part.
        if (x.imag() == 0) return {x.real() * y.real(), x.real() * y.imag()};
        if (y.imag() == 0) return {x.real() * y.real(), x.imag() * y.real()};
        return x * y;
    case Arith::Div:
        if (y.imag() == 0) return {x.real() / y.real(), x.imag() / y.real()};
        return x / y;
    case Arith::Pow:
        if (x.imag() == 0 && y.imag() == 0 && (x.real() >= 0 || y.real() == std::floor(y.real())))
            return std::pow(x.real(), y.real());
        if (y.imag() == 0 && y.real() == std::floor(y.real()) && std::fabs(y.real()) <= 1024) {
            // Integer powers by squaring stay exact for exact inputs.
            long e = static_cast<long>(y.real());
            const bool invert = e < 0;
            if (invert) e = -e;
            cd r = 1, base = x;
            while (e) {
                if (e & 1) r *= base;
                base *= base;
                e >>= 1;
            }
            return invert ? cd(1) / r : r;
        }
        return std::pow(x, y);
    }
    return 0;
}

// 64-bit integers hold more digits than a double: with operands of that
// class (or doubles holding whole numbers) add, subtract, multiply and divide
// are done exactly in 128 bits.  False when the operands do not allow it.
bool exact64(CallContext& ctx, Arith op, const Args& args, const Values& a, const Values& b, qxClassID cls,
             const Expansion& e, Array* result) {
    if ((cls != qxINT64_CLASS && cls != qxUINT64_CLASS) || op == Arith::Pow || a.complex() || b.complex()) return false;
    using i128 = __int128;
    auto reader = [&](const qxArray* x, const Values& v) -> std::function<i128(qxSize)> {
        const qxClassID c = qxGetClassID(x);
        if (c == qxINT64_CLASS) {
            const auto* d = static_cast<const std::int64_t*>(qxGetData(x));
            return [d](qxSize i) { return static_cast<i128>(d[i]); };
        }
        if (c == qxUINT64_CLASS) {
            const auto* d = static_cast<const std::uint64_t*>(qxGetData(x));
            return [d](qxSize i) { return static_cast<i128>(d[i]); };
        }
        for (qxSize i = 0; i < v.n; ++i)
            if (v.re[i] != std::floor(v.re[i]) || std::fabs(v.re[i]) > 1.8e19) return nullptr;
        const double* d = v.re;
        return [d](qxSize i) { return static_cast<i128>(d[i]); };
    };
    const auto x = reader(args[0], a), y = reader(args[1], b);
    if (!x || !y) return false;
    const i128 lo = cls == qxINT64_CLASS ? static_cast<i128>(std::numeric_limits<std::int64_t>::min()) : 0;
    const i128 hi = cls == qxINT64_CLASS ? static_cast<i128>(std::numeric_limits<std::int64_t>::max())
                                         : static_cast<i128>(std::numeric_limits<std::uint64_t>::max());
    Array out = create(e.out, cls, false);
    void* o = qxGetData(out.get());
    forEach(ctx, e, [&](qxSize k, qxSize ia, qxSize ib) {
        const i128 p = x(ia), q = y(ib);
        i128 r = 0;
        switch (op) {
        case Arith::Add:
            r = p + q;
            break;
        case Arith::Sub:
            r = p - q;
            break;
        case Arith::Mul:
            // Two operands near 2^64 can pass 2^127: that saturates too.
            if (__builtin_mul_overflow(p, q, &r)) r = ((p < 0) != (q < 0)) ? lo : hi;
            break;
        case Arith::Div:
            if (q == 0) {
                r = p > 0 ? hi : (p < 0 ? lo : 0);
            } else {
                r = p / q;
                const i128 rem = p % q;
                const i128 twice = rem < 0 ? -2 * rem : 2 * rem;
                if (twice >= (q < 0 ? -q : q)) r += ((p < 0) != (q < 0)) ? -1 : 1;
            }
            break;
        case Arith::Pow:
            break;
        }
        r = r < lo ? lo : (r > hi ? hi : r);
        if (cls == qxINT64_CLASS) static_cast<std::int64_t*>(o)[k] = static_cast<std::int64_t>(r);
        else static_cast<std::uint64_t*>(o)[k] = static_cast<std::uint64_t>(r);
    });
    *result = std::move(out);
    return true;
}

Results arith(CallContext& ctx, const char* fn, Arith op, const Args& args) {
    support::requireArgCount(fn, args, 2, 2);
    const Values a = read(fn, args, 0), b = read(fn, args, 1);
    const qxClassID cls = combine(fn, a.cls, b.cls);
    const Expansion e = expand(fn, a, b);
    Array exact;
    if (exact64(ctx, op, args, a, b, cls, e, &exact)) return support::one(std::move(exact));

    bool complex = a.complex() || b.complex();
    if (!complex && op == Arith::Pow) {
        // A negative base with a fractional exponent has a complex power.
        forEach(ctx, e, [&](qxSize, qxSize ia, qxSize ib) {
            if (a.re[ia] < 0 && b.re[ib] != std::floor(b.re[ib]) && std::isfinite(b.re[ib])) complex = true;
        });
        if (complex && isInteger(cls))
            fail(fn, "complexInteger",
                 std::string("The power of a negative ") + support::className(cls) +
                     " to a fractional exponent is complex, which integer classes cannot hold.");
    }
    if (!complex) {
        if (cls == qxDOUBLE_CLASS) {
            // Every element is written below (or the call fails and the
            // array goes).
            Array out = createForOverwrite(e.out, cls, false);
            double* o = static_cast<double*>(qxGetData(out.get()));
            const double *x = a.re, *y = b.re;
            if (e.same) {
                parallelLoop(ctx, e.n, [&](qxSize s, qxSize t) {
                    switch (op) {
                    case Arith::Add:
                        for (qxSize k = s; k < t; ++k) o[k] = x[k] + y[k];
                        break;
                    case Arith::Sub:
                        for (qxSize k = s; k < t; ++k) o[k] = x[k] - y[k];
                        break;
                    case Arith::Mul:
                        for (qxSize k = s; k < t; ++k) o[k] = x[k] * y[k];
                        break;
                    case Arith::Div:
                        for (qxSize k = s; k < t; ++k) o[k] = x[k] / y[k];
                        break;
                    case Arith::Pow:
                        for (qxSize k = s; k < t; ++k) o[k] = std::pow(x[k], y[k]);
                        break;
                    }
                });
            } else {
                forEach(ctx, e, [&](qxSize k, qxSize ia, qxSize ib) { o[k] = realOp(op, x[ia], y[ib]); });
            }
            return support::one(std::move(out));
        }
        std::vector<double> re(e.n);
        forEach(ctx, e, [&](qxSize k, qxSize ia, qxSize ib) { re[k] = realOp(op, a.re[ia], b.re[ib]); });
        Array out = create(e.out, cls, false);
        store(out.get(), re.data(), nullptr, e.n);
        return support::one(std::move(out));
    }
    std::vector<double> re(e.n), im(e.n);
    forEach(ctx, e, [&](qxSize k, qxSize ia, qxSize ib) {
        const cd r = complexOp(op, cd(a.re[ia], a.im ? a.im[ia] : 0), cd(b.re[ib], b.im ? b.im[ib] : 0));
        re[k] = r.real();
        im[k] = r.imag();
    });
    return support::one(fromDoubles(e.out, cls, re.data(), im.data()));
}

// ---- one-operand functions ------------------------------------------------------

// o[i] = f(x[i]) for i < n, across the call's threads.  With NegativeIsComplex,
// true when some x[i] < 0: f has no real value there and the caller starts
// again in complex.
template <bool NegativeIsComplex, class F>
bool mapReal(CallContext& ctx, const double* x, double* o, qxSize n, F f) {
    std::atomic<bool> negative{false};
    parallelLoop(ctx, n, [&](qxSize s, qxSize t) {
        if (NegativeIsComplex) {
            bool neg = false;
            for (qxSize i = s; i < t; ++i) {
                neg |= x[i] < 0;
                o[i] = f(x[i]);
            }
            if (neg) negative.store(true, std::memory_order_relaxed);
        } else {
            for (qxSize i = s; i < t; ++i) o[i] = f(x[i]);
        }
    });
    return negative.load(std::memory_order_relaxed);
}

enum class Unary { Negate, Sqrt, Exp, Log, Log10, Sin, Cos, Tan, Abs, Floor, Ceil, Round };

Results unary(CallContext& ctx, const char* fn, Unary op, const Args& args) {
    support::requireArgCount(fn, args, 1, 1);
    const Values a = read(fn, args, 0);
    const bool keepsIntegers =
        op == Unary::Negate || op == Unary::Abs || op == Unary::Floor || op == Unary::Ceil || op == Unary::Round;
    if (isInteger(a.cls) && !keepsIntegers)
        fail(fn, "wrongClass",
             std::string(fn) + " is not defined for integer class " + support::className(a.cls) +
                 "; convert to double first.");
    const qxClassID cls = arithmeticClass(a.cls);
    Ticker tick(ctx);

    bool complex = a.complex();
    if (!complex) {
        std::vector<double> buf;
        // Every element is written below (or the array goes).
        Array out = createForOverwrite(trimDims(a.dims), cls, false);
        double* o = cls == qxDOUBLE_CLASS ? static_cast<double*>(qxGetData(out.get())) : nullptr;
        if (!o && a.n) {
            buf.resize(a.n);
            o = buf.data();
        }
        const double* x = a.re;
        const qxSize n = a.n;
        switch (op) {
        case Unary::Negate:
            mapReal<false>(ctx, x, o, n, [](double v) { return -v; });
            break;
        case Unary::Sqrt:
            complex = mapReal<true>(ctx, x, o, n, [](double v) { return std::sqrt(v); });
            break;
        case Unary::Exp:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::exp(v); });
            break;
        case Unary::Log:
            complex = mapReal<true>(ctx, x, o, n, [](double v) { return std::log(v); });
            break;
        case Unary::Log10:
            complex = mapReal<true>(ctx, x, o, n, [](double v) { return std::log10(v); });
            break;
        case Unary::Sin:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::sin(v); });
            break;
        case Unary::Cos:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::cos(v); });
            break;
        case Unary::Tan:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::tan(v); });
            break;
        case Unary::Abs:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::fabs(v); });
            break;
        case Unary::Floor:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::floor(v); });
            break;
        case Unary::Ceil:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::ceil(v); });
            break;
        case Unary::Round:
            mapReal<false>(ctx, x, o, n, [](double v) { return std::round(v); });
            break;
        }
        if (!complex) {
            if (!buf.empty()) store(out.get(), buf.data(), nullptr, a.n);
            return support::one(std::move(out));
        }
    }

    std::vector<double> re(a.n), im(a.n);
    for (qxSize i = 0; i < a.n; ++i) {
        const cd x(a.re[i], a.im ? a.im[i] : 0);
        cd r;
        switch (op) {
        case Unary::Negate:
            r = -x;
            break;
        case Unary::Sqrt:
            r = std::sqrt(x);
            break;
        case Unary::Exp:
            r = std::exp(x);
            break;
        case Unary::Log:
            r = std::log(x);
            break;
        case Unary::Log10:
            r = std::log10(x);
            break;
        case Unary::Sin:
            r = std::sin(x);
            break;
        case Unary::Cos:
            r = std::cos(x);
            break;
        case Unary::Tan:
            r = std::tan(x);
            break;
        case Unary::Abs:
            r = std::hypot(x.real(), x.imag());
            break;
        case Unary::Floor:
            r = cd(std::floor(x.real()), std::floor(x.imag()));
            break;
        case Unary::Ceil:
            r = cd(std::ceil(x.real()), std::ceil(x.imag()));
            break;
        case Unary::Round:
            r = cd(std::round(x.real()), std::round(x.imag()));
            break;
        }
        re[i] = r.real();
        im[i] = r.imag();
        tick.tick();
    }
    return support::one(fromDoubles(trimDims(a.dims), cls, re.data(), im.data()));
}

// ---- comparisons and logic ------------------------------------------------------

enum class Cmp { Eq, Ne, Lt, Le, Gt, Ge, And, Or };

bool truth(const char* fn, const Values& v, qxSize i) {
    const double re = v.re[i], im = v.im ? v.im[i] : 0;
    if (std::isnan(re) || std::isnan(im))
        fail(fn, "nanToLogical", std::string("NaN cannot be used as a logical value in ") + fn + ".");
    return re != 0 || im != 0;
}

Results compare(CallContext& ctx, const char* fn, Cmp op, const Args& args) {
    support::requireArgCount(fn, args, 2, 2);
    const Values a = read(fn, args, 0), b = read(fn, args, 1);
    const Expansion e = expand(fn, a, b);
    Array out = create(e.out, qxLOGICAL_CLASS, false);
    qxLogical* o = static_cast<qxLogical*>(qxGetData(out.get()));
    forEach(ctx, e, [&](qxSize k, qxSize ia, qxSize ib) {
        const double x = a.re[ia], y = b.re[ib];
        const double xi = a.im ? a.im[ia] : 0, yi = b.im ? b.im[ib] : 0;
        bool r = false;
        switch (op) {
        case Cmp::Eq:
            r = x == y && xi == yi;
            break;
        case Cmp::Ne:
            r = !(x == y && xi == yi);
            break;
        case Cmp::Lt:
            r = x < y;
            break;  // complex: real parts are ordered
        case Cmp::Le:
            r = x <= y;
            break;
        case Cmp::Gt:
            r = x > y;
            break;
        case Cmp::Ge:
            r = x >= y;
            break;
        case Cmp::And:
            r = truth(fn, a, ia) && truth(fn, b, ib);
            break;
        case Cmp::Or: {
            const bool l = truth(fn, a, ia), rr = truth(fn, b, ib);
            r = l || rr;
            break;
        }
        }
        o[k] = r;
    });
    return support::one(std::move(out));
}

Results fn_logical_not(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("logical_not", args, 1, 1);
    const Values a = read("logical_not", args, 0);
    Array out = create(trimDims(a.dims), qxLOGICAL_CLASS, false);
    qxLogical* o = static_cast<qxLogical*>(qxGetData(out.get()));
    Ticker tick(ctx);
    for (qxSize i = 0; i < a.n; ++i) {
        o[i] = !truth("logical_not", a, i);
        tick.tick();
    }
    return support::one(std::move(out));
}

#define VELDRA_ARITH(name, op) \
    VELDRA_ENGINE_FUNCTION(name, 1, [](CallContext& c, int, const Args& a) { return arith(c, #name, op, a); })
#define VELDRA_UNARY(name, op) \
    VELDRA_ENGINE_FUNCTION(name, 1, [](CallContext& c, int, const Args& a) { return unary(c, #name, op, a); })
#define VELDRA_COMPARE(name, op) \
    VELDRA_ENGINE_FUNCTION(name, 1, [](CallContext& c, int, const Args& a) { return compare(c, #name, op, a); })

}  // namespace

VELDRA_ARITH(add, Arith::Add);
VELDRA_ARITH(subtract, Arith::Sub);
VELDRA_ARITH(multiply, Arith::Mul);
VELDRA_ARITH(divide, Arith::Div);
VELDRA_ARITH(power, Arith::Pow);
VELDRA_UNARY(negate, Unary::Negate);
VELDRA_UNARY(sqrt, Unary::Sqrt);
VELDRA_UNARY(exp, Unary::Exp);
VELDRA_UNARY(log, Unary::Log);
VELDRA_UNARY(log10, Unary::Log10);
VELDRA_UNARY(sin, Unary::Sin);
VELDRA_UNARY(cos, Unary::Cos);
VELDRA_UNARY(tan, Unary::Tan);
VELDRA_UNARY(abs, Unary::Abs);
VELDRA_UNARY(floor, Unary::Floor);
VELDRA_UNARY(ceil, Unary::Ceil);
VELDRA_UNARY(round, Unary::Round);
VELDRA_COMPARE(eq, Cmp::Eq);
VELDRA_COMPARE(ne, Cmp::Ne);
VELDRA_COMPARE(lt, Cmp::Lt);
VELDRA_COMPARE(le, Cmp::Le);
VELDRA_COMPARE(gt, Cmp::Gt);
VELDRA_COMPARE(ge, Cmp::Ge);
VELDRA_COMPARE(logical_and, Cmp::And);
VELDRA_COMPARE(logical_or, Cmp::Or);
VELDRA_ENGINE_FUNCTION(logical_not, 1, fn_logical_not);

}  // namespace veldra::engine
