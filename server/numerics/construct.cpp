// Constructors and shape: zeros, ones, eye, linspace, span, random,
// transpose, hcat, vcat, flatten, find, sort, unique.
#include "numerics/common.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

namespace veldra::engine {
namespace {

using namespace num;
using support::ordinal;

// ---- sizes -----------------------------------------------------------------------

// Size arguments from args[first..]: n (n-by-n), m, n, ... or one size
// vector; a trailing text names the class.
std::vector<qxSize> sizeArgs(const char* fn, const Args& args, std::size_t first, qxClassID* cls) {
    std::size_t last = args.size();
    if (cls) {
        *cls = qxDOUBLE_CLASS;
        if (last > first && qxGetClassID(args[last - 1]) == qxCHAR_CLASS) {
            const std::string name = support::textArg(fn, args, last - 1);
            *cls = support::classFromName(name);
            if (!(*cls == qxDOUBLE_CLASS || *cls == qxSINGLE_CLASS || *cls == qxLOGICAL_CLASS || isInteger(*cls)))
                fail(fn, "badClass", "'" + name + "' is no numeric class " + fn + " can make.");
            --last;
        }
    }
    std::vector<qxSize> dims;
    if (last == first) return {1, 1};
    if (last == first + 1 && !qxIsScalar(args[first])) {
        const Values v = read(fn, args, first);
        if (v.n < 1 || v.complex())
            fail(fn, "badSize", "The size vector of " + std::string(fn) + " must hold non-negative integers.");
        for (qxSize i = 0; i < v.n; ++i) {
            if (!(v.re[i] >= 0) || v.re[i] != std::floor(v.re[i]) || v.re[i] > 9.0e15)
                fail(fn, "badSize", "The size vector of " + std::string(fn) + " must hold non-negative integers.");
            dims.push_back(static_cast<qxSize>(v.re[i]));
        }
        if (dims.size() == 1) dims.push_back(dims[0]);
    } else {
        for (std::size_t i = first; i < last; ++i) {
            double v = 0;
            if (!support::realScalarValue(args[i], &v) || !(v >= 0) || v != std::floor(v) || v > 9.0e15)
                fail(fn, "badSize",
                     "The " + ordinal(i) + " argument of " + fn + " must be a non-negative integer size.");
            dims.push_back(static_cast<qxSize>(v));
        }
        if (dims.size() == 1) dims.push_back(dims[0]);
    }
    qxSize total = 0;
    if (!support::product(dims, &total) || total > (qxSize(1) << 40))
        fail(fn, "tooLarge", std::string("The array ") + fn + " would make is too large.");
    return trimDims(dims);
}

Results filled(const char* fn, const Args& args, double value) {
    qxClassID cls;
    const std::vector<qxSize> dims = sizeArgs(fn, args, 0, &cls);
    Array out = create(dims, cls, false);
    if (value != 0) {
        const std::vector<double> v(count(dims), value);
        store(out.get(), v.data(), nullptr, v.size());
    }
    return support::one(std::move(out));
}

Results fn_zeros(CallContext&, int, const Args& args) {
    return filled("zeros", args, 0);
}
Results fn_ones(CallContext&, int, const Args& args) {
    return filled("ones", args, 1);
}

Results fn_eye(CallContext&, int, const Args& args) {
    qxClassID cls;
    const std::vector<qxSize> dims = sizeArgs("eye", args, 0, &cls);
    if (dims.size() != 2) fail("eye", "badSize", "eye makes matrices (two dimensions).");
    std::vector<double> v(dims[0] * dims[1], 0.0);
    for (qxSize i = 0; i < std::min(dims[0], dims[1]); ++i) v[i * dims[0] + i] = 1;
    Array out = create(dims, cls, false);
    store(out.get(), v.data(), nullptr, v.size());
    return support::one(std::move(out));
}

Results fn_linspace(CallContext&, int, const Args& args) {
    support::requireArgCount("linspace", args, 2, 3);
    const double a = support::realScalarArg("linspace", args, 0);
    const double b = support::realScalarArg("linspace", args, 1);
    const qxSize n = args.size() > 2 ? support::countArg("linspace", args, 2) : 100;
    if (n > (qxSize(1) << 40)) fail("linspace", "tooLarge", "linspace cannot make that many points.");
    Array out = create({1, n}, qxDOUBLE_CLASS, false);
    double* o = static_cast<double*>(qxGetData(out.get()));
    for (qxSize i = 0; i < n; ++i)
        o[i] = n == 1 ? b : a + (b - a) * (static_cast<double>(i) / static_cast<double>(n - 1));
    if (n > 1) o[n - 1] = b;
    return support::one(std::move(out));
}

Results fn_span(CallContext&, int, const Args& args) {
    support::requireArgCount("span", args, 3, 3);
    const double start = support::realScalarArg("span", args, 0);
    const double step = support::realScalarArg("span", args, 1);
    const double stop = support::realScalarArg("span", args, 2);
    if (step == 0 || !std::isfinite(step) || !std::isfinite(start) || !std::isfinite(stop))
        fail("span", "badStep", "span needs a finite, non-zero step and finite ends.");
    // A little slack so that 0:0.1:1 reaches 1 despite rounding.
    const double q = (stop - start) / step;
    const double steps = q < 0 ? -1 : std::floor(q + 1e-10 * std::max(1.0, std::fabs(q)));
    if (steps > 1e12) fail("span", "tooLarge", "span cannot make that many points.");
    const qxSize n = steps < 0 ? 0 : static_cast<qxSize>(steps) + 1;
    Array out = create({1, n}, qxDOUBLE_CLASS, false);
    double* o = static_cast<double*>(qxGetData(out.get()));
    for (qxSize i = 0; i < n; ++i) o[i] = start + static_cast<double>(i) * step;
    return support::one(std::move(out));
}

// Uniform values in [0, 1) from a seeded 64-bit Mersenne twister: the same
// seed gives the same values on every platform.
Results fn_random(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("random", args, 2, 3);
    const std::vector<qxSize> dims = sizeArgs("random", Args(args.begin(), args.begin() + 2), 0, nullptr);
    const std::uint64_t seed = args.size() > 2 ? support::countArg("random", args, 2) : 0;
    std::mt19937_64 gen(seed);
    Array out = create(dims, qxDOUBLE_CLASS, false);
    double* o = static_cast<double*>(qxGetData(out.get()));
    Ticker tick(ctx);
    const qxSize n = count(dims);
    for (qxSize i = 0; i < n; ++i) {
        o[i] = static_cast<double>(gen() >> 11) * 0x1.0p-53;
        tick.tick();
    }
    return support::one(std::move(out));
}

// ---- shape -----------------------------------------------------------------------

bool plainClass(const qxArray* a) {
    const qxClassID c = qxGetClassID(a);
    return (qxIsNumeric(a) || c == qxLOGICAL_CLASS || c == qxCHAR_CLASS) && !qxIsSparse(a);
}

void requirePlain(const char* fn, const Args& args, std::size_t i) {
    if (!plainClass(args[i]))
        fail(fn, "wrongClass",
             "The " + ordinal(i) + " argument of " + fn + " must be a full numeric, logical or char array.");
}

Array sameShape(const qxArray* a, const std::vector<qxSize>& dims) {
    if (qxGetClassID(a) == qxCHAR_CLASS) return support::checked(qxCreateCharArray(dims.size(), dims.data()));
    return create(dims, qxGetClassID(a), qxIsComplex(a));
}

Results fn_transpose(CallContext&, int, const Args& args) {
    support::requireArgCount("transpose", args, 1, 1);
    requirePlain("transpose", args, 0);
    const qxArray* a = args[0];
    if (qxGetNumberOfDimensions(a) != 2) fail("transpose", "notMatrix", "transpose takes a matrix (two dimensions).");
    const qxSize m = qxGetM(a), n = qxGetN(a);
    const std::size_t es = qxGetElementSize(a);
    Array out = sameShape(a, {n, m});
    for (int part = 0; part < (qxIsComplex(a) ? 2 : 1); ++part) {
        const char* src = static_cast<const char*>(part ? qxGetImagData(a) : qxGetData(a));
        char* dst = static_cast<char*>(part ? qxGetImagData(out.get()) : qxGetData(out.get()));
        if (!src) continue;
        for (qxSize j = 0; j < n; ++j)
            for (qxSize i = 0; i < m; ++i) std::memcpy(dst + (i * n + j) * es, src + (j * m + i) * es, es);
    }
    return support::one(std::move(out));
}

Results fn_flatten(CallContext&, int, const Args& args) {
    support::requireArgCount("flatten", args, 1, 1);
    if (qxIsSparse(args[0])) fail("flatten", "wrongClass", "flatten does not take sparse arrays.");
    Array out = support::sharedCopy(args[0]);
    const qxSize dims[2] = {qxGetNumberOfElements(args[0]), 1};
    qxSetDimensions(out.get(), dims, 2);
    return support::one(std::move(out));
}

// Concatenation along dimension `dim` (1 or 2).
Results concat(CallContext&, const char* fn, std::size_t dim, const Args& args) {
    std::vector<const qxArray*> parts;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const qxArray* a = args[i];
        if (qxGetClassID(a) != qxCELL_CLASS) requirePlain(fn, args, i);
        // [] takes no part, as in a literal.
        if (qxGetNumberOfDimensions(a) == 2 && qxGetM(a) == 0 && qxGetN(a) == 0) continue;
        parts.push_back(a);
    }
    if (parts.empty()) return support::one(create({0, 0}, qxDOUBLE_CLASS, false));

    const bool cells = qxGetClassID(parts[0]) == qxCELL_CLASS;
    std::size_t nd = 2;
    for (const qxArray* p : parts) {
        if ((qxGetClassID(p) == qxCELL_CLASS) != cells)
            fail(fn, "wrongClass", std::string(fn) + " cannot join cells with other arrays.");
        nd = std::max<std::size_t>(nd, qxGetNumberOfDimensions(p));
    }
    std::vector<qxSize> outDims = matrix::get_dimensions(parts[0]);
    outDims.resize(nd, 1);
    outDims[dim - 1] = 0;
    for (const qxArray* p : parts) {
        std::vector<qxSize> d = matrix::get_dimensions(p);
        d.resize(nd, 1);
        for (std::size_t k = 0; k < nd; ++k)
            if (k != dim - 1 && d[k] != outDims[k])
                fail(fn, "sizeMismatch",
                     std::string("The arguments of ") + fn + " do not agree in dimension " + std::to_string(k + 1) +
                         ".");
        outDims[dim - 1] += d[dim - 1];
    }
    qxSize inner = 1, outer = 1;
    for (std::size_t k = 0; k < dim - 1; ++k) inner *= outDims[k];
    for (std::size_t k = dim; k < nd; ++k) outer *= outDims[k];
    const std::vector<qxSize> dims = trimDims(outDims);

    if (cells) {
        Array out = support::checked(qxCreateCellArray(dims.size(), dims.data()));
        qxSize at = 0;
        for (qxSize o = 0; o < outer; ++o)
            for (const qxArray* p : parts) {
                const qxSize chunk = inner * (qxGetNumberOfDimensions(p) >= dim ? qxGetDimensions(p)[dim - 1] : 1);
                for (qxSize k = 0; k < chunk; ++k, ++at) {
                    const qxArray* member = qxGetCell(p, o * chunk + k);
                    if (member) qxSetCell(out.get(), at, matrix::detail::shared_copy(member));
                }
            }
        return support::one(std::move(out));
    }

    // One class for all: the class rules of arithmetic, except that text
    // stays text and logicals stay logical when nothing else joins.
    qxClassID cls = qxGetClassID(parts[0]);
    bool complex = false, same = true;
    for (const qxArray* p : parts) {
        complex = complex || qxIsComplex(p);
        if (qxGetClassID(p) != cls) same = false;
    }
    if (!same) {
        cls = qxLOGICAL_CLASS;
        bool first = true;
        for (const qxArray* p : parts) {
            cls = first ? arithmeticClass(qxGetClassID(p)) : combine(fn, cls, qxGetClassID(p));
            first = false;
        }
    }
    Array out = cls == qxCHAR_CLASS ? support::checked(qxCreateCharArray(dims.size(), dims.data()))
                                    : create(dims, cls, complex);
    std::vector<Values> vals;
    if (!same)
        for (std::size_t i = 0; i < parts.size(); ++i) vals.push_back(readArray(fn, parts[i], i));
    const std::size_t es = qxGetElementSize(out.get());
    std::vector<double> re, im;
    if (!same) {
        re.resize(count(dims));
        if (complex) im.resize(count(dims));
    }
    qxSize at = 0;
    for (qxSize o = 0; o < outer; ++o)
        for (std::size_t pi = 0; pi < parts.size(); ++pi) {
            const qxArray* p = parts[pi];
            const qxSize chunk = inner * (qxGetNumberOfDimensions(p) >= dim ? qxGetDimensions(p)[dim - 1] : 1);
            if (chunk == 0) continue;
            if (same) {
                std::memcpy(static_cast<char*>(qxGetData(out.get())) + at * es,
                            static_cast<const char*>(qxGetData(p)) + o * chunk * es, chunk * es);
                if (complex && qxGetImagData(p))
                    std::memcpy(static_cast<char*>(qxGetImagData(out.get())) + at * es,
                                static_cast<const char*>(qxGetImagData(p)) + o * chunk * es, chunk * es);
            } else {
                std::copy(vals[pi].re + o * chunk, vals[pi].re + (o + 1) * chunk, re.begin() + at);
                if (vals[pi].im) std::copy(vals[pi].im + o * chunk, vals[pi].im + (o + 1) * chunk, im.begin() + at);
            }
            at += chunk;
        }
    if (!same) store(out.get(), re.data(), complex ? im.data() : nullptr, re.size());
    return support::one(std::move(out));
}

Results fn_hcat(CallContext& c, int, const Args& a) {
    return concat(c, "hcat", 2, a);
}
Results fn_vcat(CallContext& c, int, const Args& a) {
    return concat(c, "vcat", 1, a);
}

// ---- searching and sorting -----------------------------------------------------

Results fn_find(CallContext&, int, const Args& args) {
    support::requireArgCount("find", args, 1, 1);
    const Values v = read("find", args, 0);
    std::vector<double> idx;
    for (qxSize i = 0; i < v.n; ++i)
        if (v.re[i] != 0 || (v.im && v.im[i] != 0)) idx.push_back(static_cast<double>(i + 1));
    const bool row = v.dims.size() == 2 && v.dims[0] == 1 && v.dims[1] != 1;
    const qxSize k = idx.size();
    return support::one(
        fromDoubles(row ? std::vector<qxSize>{1, k} : std::vector<qxSize>{k, 1}, qxDOUBLE_CLASS, idx.data(), nullptr));
}

// Ascending order of (re, im) pairs: NaN last, complex by magnitude then angle.
struct Key {
    const Values& v;
    bool descending;
    bool nanAt(qxSize i) const { return std::isnan(v.re[i]) || (v.im && std::isnan(v.im[i])); }
    double primary(qxSize i) const { return v.im ? std::hypot(v.re[i], v.im[i]) : v.re[i]; }
    bool operator()(qxSize a, qxSize b) const {
        const bool na = nanAt(a), nb = nanAt(b);
        if (na || nb) return descending ? (na && !nb) : (!na && nb);
        double x = primary(a), y = primary(b);
        if (x == y && v.im) x = std::atan2(v.im[a], v.re[a]), y = std::atan2(v.im[b], v.re[b]);
        return descending ? x > y : x < y;
    }
};

// Copies element `from` of `src` to element `to` of `dst` (same class).
void copyElement(const qxArray* src, qxSize from, qxArray* dst, qxSize to) {
    const std::size_t es = qxGetElementSize(src);
    std::memcpy(static_cast<char*>(qxGetData(dst)) + to * es, static_cast<const char*>(qxGetData(src)) + from * es, es);
    if (qxGetImagData(src))
        std::memcpy(static_cast<char*>(qxGetImagData(dst)) + to * es,
                    static_cast<const char*>(qxGetImagData(src)) + from * es, es);
}

Results fn_sort(CallContext& ctx, int nargout, const Args& args) {
    support::requireArgCount("sort", args, 1, 3);
    const Values v = read("sort", args, 0);
    std::size_t dim = defaultDim(v.dims);
    bool descending = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (qxGetClassID(args[i]) == qxCHAR_CLASS) {
            const std::string mode = support::textArg("sort", args, i);
            if (mode != "ascend" && mode != "descend")
                fail("sort", "badMode", "The sort order must be 'ascend' or 'descend', not '" + mode + "'.");
            descending = mode == "descend";
        } else {
            dim = dimArg("sort", args, i);
        }
    }
    std::vector<qxSize> d = v.dims;
    d.resize(std::max(d.size(), dim), 1);
    qxSize inner = 1, outer = 1;
    const qxSize len = d[dim - 1];
    for (std::size_t k = 0; k < dim - 1; ++k) inner *= d[k];
    for (std::size_t k = dim; k < d.size(); ++k) outer *= d[k];

    const std::vector<qxSize> dims = trimDims(v.dims);
    Array out = sameShape(args[0], dims);
    std::vector<double> where(v.n);
    std::vector<qxSize> order(len);
    Key key{v, descending};
    Ticker tick(ctx);
    for (qxSize o = 0; o < outer; ++o)
        for (qxSize i = 0; i < inner; ++i) {
            const qxSize base = o * len * inner + i;
            for (qxSize k = 0; k < len; ++k) order[k] = base + k * inner;
            std::stable_sort(order.begin(), order.end(), key);
            for (qxSize k = 0; k < len; ++k) {
                copyElement(args[0], order[k], out.get(), base + k * inner);
                where[base + k * inner] = static_cast<double>((order[k] - base) / inner + 1);
            }
            tick.tick(len * 20 + 1);  // sorting costs some n log n
        }
    Results r;
    r.push_back(std::move(out));
    if (nargout > 1) r.push_back(fromDoubles(dims, qxDOUBLE_CLASS, where.data(), nullptr));
    return r;
}

Results fn_unique(CallContext&, int, const Args& args) {
    support::requireArgCount("unique", args, 1, 1);
    const Values v = read("unique", args, 0);
    std::vector<qxSize> order(v.n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), Key{v, false});
    std::vector<qxSize> keep;
    for (qxSize k = 0; k < v.n; ++k) {
        const qxSize i = order[k];
        const bool nan = std::isnan(v.re[i]) || (v.im && std::isnan(v.im[i]));
        if (!keep.empty() && !nan) {
            const qxSize j = keep.back();
            if (v.re[i] == v.re[j] && (!v.im || v.im[i] == v.im[j])) continue;
        }
        keep.push_back(i);  // every NaN is distinct
    }
    const bool row = v.dims.size() == 2 && v.dims[0] == 1;
    const qxSize k = keep.size();
    Array out = sameShape(args[0], row ? std::vector<qxSize>{1, k} : std::vector<qxSize>{k, 1});
    for (qxSize i = 0; i < k; ++i) copyElement(args[0], keep[i], out.get(), i);
    return support::one(std::move(out));
}

}  // namespace

VELDRA_ENGINE_FUNCTION(zeros, 1, fn_zeros);
VELDRA_ENGINE_FUNCTION(ones, 1, fn_ones);
VELDRA_ENGINE_FUNCTION(eye, 1, fn_eye);
VELDRA_ENGINE_FUNCTION(linspace, 1, fn_linspace);
VELDRA_ENGINE_FUNCTION(span, 1, fn_span);
VELDRA_ENGINE_FUNCTION(random, 1, fn_random);
VELDRA_ENGINE_FUNCTION(transpose, 1, fn_transpose);
VELDRA_ENGINE_FUNCTION(flatten, 1, fn_flatten);
VELDRA_ENGINE_FUNCTION(hcat, 1, fn_hcat);
VELDRA_ENGINE_FUNCTION(vcat, 1, fn_vcat);
VELDRA_ENGINE_FUNCTION(find, 1, fn_find);
VELDRA_ENGINE_FUNCTION(sort, 2, fn_sort);
VELDRA_ENGINE_FUNCTION(unique, 1, fn_unique);

}  // namespace veldra::engine
