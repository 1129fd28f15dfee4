#include "numerics/common.hpp"

#include <fl/except.hpp>
#include <qx/element.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace veldra::engine::num {

using support::ordinal;

bool isInteger(qxClassID c) {
    return c >= qxINT8_CLASS && c <= qxUINT64_CLASS;
}

bool isText(const qxArray* a) {
    return qxGetClassID(a) == qxCHAR_CLASS && qxGetNumberOfDimensions(a) == 2 && (qxGetM(a) == 1 || qxIsEmpty(a));
}

namespace {

// n elements of class c at src as doubles.
void widenClass(qxClassID c, const void* src, double* dst, qxSize n) {
    qx::visitElementType(c, [&](auto t) {
        using T = decltype(t);
        const T* s = static_cast<const T*>(src);
        for (qxSize i = 0; i < n; ++i) dst[i] = static_cast<double>(s[i]);
    });
}

// n doubles into class c: logical is "not zero", integers and char round and
// saturate.
void narrowClass(qxClassID c, const double* src, void* dst, qxSize n) {
    qx::visitElementType(c, [&](auto t) {
        using T = decltype(t);
        T* d = static_cast<T*>(dst);
        if (c == qxLOGICAL_CLASS) {
            for (qxSize i = 0; i < n; ++i) d[i] = src[i] != 0;
        } else {
            for (qxSize i = 0; i < n; ++i) d[i] = qx::elementCast<T>(src[i]);
        }
    });
}

}  // namespace

Values describeArray(const char* fn, const qxArray* a, std::size_t i) {
    const qxClassID c = qxGetClassID(a);
    const bool ok = (qxIsNumeric(a) || c == qxLOGICAL_CLASS || c == qxCHAR_CLASS) && !qxIsSparse(a);
    if (!ok)
        fail(fn, "wrongClass",
             "The " + ordinal(i) + " argument of " + fn + " must be a full numeric, logical or char array, not " +
                 (qxIsSparse(a) ? std::string("a sparse array") : std::string(support::className(c))) + ".");
    Values v;
    v.cls = c;
    v.dims = matrix::get_dimensions(a);
    v.n = qxGetNumberOfElements(a);
    if (v.n != 0 && c == qxDOUBLE_CLASS) {
        v.re = static_cast<const double*>(qxGetData(a));
        if (qxIsComplex(a)) v.im = static_cast<const double*>(qxGetImagData(a));
    }
    return v;
}

void widen(Values& v, const qxArray* a) {
    if (v.n == 0 || v.re) return;
    v.reBuf.resize(v.n);
    widenClass(v.cls, qxGetData(a), v.reBuf.data(), v.n);
    v.re = v.reBuf.data();
    if (qxIsComplex(a)) {
        v.imBuf.resize(v.n);
        widenClass(v.cls, qxGetImagData(a), v.imBuf.data(), v.n);
        v.im = v.imBuf.data();
    }
}

Values readArray(const char* fn, const qxArray* a, std::size_t i) {
    Values v = describeArray(fn, a, i);
    widen(v, a);
    return v;
}

Values read(const char* fn, const Args& args, std::size_t i) {
    return readArray(fn, args.at(i), i);
}

qxClassID arithmeticClass(qxClassID c) {
    return (c == qxLOGICAL_CLASS || c == qxCHAR_CLASS) ? qxDOUBLE_CLASS : c;
}

qxClassID combine(const char* fn, qxClassID a, qxClassID b) {
    a = arithmeticClass(a);
    b = arithmeticClass(b);
    if (a == b) return a;
    if (isInteger(a) && isInteger(b))
        fail(fn, "mixedIntegers",
             std::string("Integers of different classes (") + support::className(a) + " and " + support::className(b) +
                 ") cannot be combined in " + fn + ".");
    if (isInteger(a)) return a;
    if (isInteger(b)) return b;
    return qxSINGLE_CLASS;  // single with double
}

// Large blocks are fresh, untouched mappings: asking for huge pages before
// the first write cuts the cost of faulting them in several times over.
void preferHugePages(void* p, std::size_t bytes) {
    constexpr std::size_t kHuge = std::size_t(2) << 20;
    if (!p || bytes < 4 * kHuge) return;
    const auto start = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto stop = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (stop > start) madvise(reinterpret_cast<void*>(start), stop - start, MADV_HUGEPAGE);
}

namespace {

Array withHugePages(Array a) {
    const std::size_t bytes = qxGetNumberOfElements(a.get()) * qxGetElementSize(a.get());
    preferHugePages(qxGetData(a.get()), bytes);
    preferHugePages(qxGetImagData(a.get()), bytes);
    return a;
}

}  // namespace

Array create(const std::vector<qxSize>& dims, qxClassID cls, bool complex) {
    return withHugePages(
        support::checked(qxCreateNumericArray(dims.size(), dims.data(), cls, complex ? qxCOMPLEX : qxREAL)));
}

Array createForOverwrite(const std::vector<qxSize>& dims, qxClassID cls, bool complex) {
    return withHugePages(support::checked(
        qxCreateNumericArrayForOverwrite(dims.size(), dims.data(), cls, complex ? qxCOMPLEX : qxREAL)));
}

void store(qxArray* out, const double* re, const double* im, qxSize n) {
    if (n == 0) return;
    const qxClassID c = qxGetClassID(out);
    narrowClass(c, re, qxGetData(out), n);
    if (im && qxGetImagData(out)) narrowClass(c, im, qxGetImagData(out), n);
}

Array fromDoubles(const std::vector<qxSize>& dims, qxClassID cls, const double* re, const double* im) {
    const qxSize n = count(dims);
    bool complex = false;
    if (im && cls != qxLOGICAL_CLASS)
        for (qxSize i = 0; i < n && !complex; ++i) complex = im[i] != 0 || std::isnan(im[i]);
    // store() writes every element.
    Array out = createForOverwrite(dims, cls, complex);
    store(out.get(), re, complex ? im : nullptr, n);
    return out;
}

std::vector<qxSize> trimDims(std::vector<qxSize> dims) {
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    while (dims.size() < 2) dims.push_back(1);
    return dims;
}

qxSize count(const std::vector<qxSize>& dims) {
    qxSize n = 1;
    for (qxSize d : dims) n *= d;
    return n;
}

std::size_t defaultDim(const std::vector<qxSize>& dims) {
    for (std::size_t d = 0; d < dims.size(); ++d)
        if (dims[d] != 1) return d + 1;
    return 1;
}

std::size_t dimArg(const char* fn, const Args& args, std::size_t i) {
    double v = 0;
    if (!support::realScalarValue(args.at(i), &v) || !(v >= 1) || v != std::floor(v) || v > 64)
        fail(fn, "badDimension",
             "The " + ordinal(i) + " argument of " + std::string(fn) + " must be a dimension (a positive integer).");
    return static_cast<std::size_t>(v);
}

}  // namespace veldra::engine::num
