#pragma once
// Shared by the numerics tests: arrays of any class and shape, and reading
// results back as doubles.
#include "test_functions_support.hpp"

#include <cmath>
#include <complex>
#include <vector>

namespace numtest {

using fntest::Args;
using fntest::Array;
using fntest::Results;

inline std::vector<qxSize> dimsOf(const qxArray* a) {
    return matrix::get_dimensions(a);
}

template <class T>
void fill(void* dst, const std::vector<double>& v) {
    for (std::size_t i = 0; i < v.size(); ++i) static_cast<T*>(dst)[i] = static_cast<T>(v[i]);
}

inline void fillClass(qxClassID c, void* dst, const std::vector<double>& v) {
    switch (c) {
    case qxDOUBLE_CLASS:
        fill<double>(dst, v);
        break;
    case qxSINGLE_CLASS:
        fill<float>(dst, v);
        break;
    case qxLOGICAL_CLASS:
        fill<qxLogical>(dst, v);
        break;
    case qxCHAR_CLASS:
        fill<qxChar>(dst, v);
        break;
    case qxINT8_CLASS:
        fill<std::int8_t>(dst, v);
        break;
    case qxUINT8_CLASS:
        fill<std::uint8_t>(dst, v);
        break;
    case qxINT16_CLASS:
        fill<std::int16_t>(dst, v);
        break;
    case qxUINT16_CLASS:
        fill<std::uint16_t>(dst, v);
        break;
    case qxINT32_CLASS:
        fill<std::int32_t>(dst, v);
        break;
    case qxUINT32_CLASS:
        fill<std::uint32_t>(dst, v);
        break;
    case qxINT64_CLASS:
        fill<std::int64_t>(dst, v);
        break;
    case qxUINT64_CLASS:
        fill<std::uint64_t>(dst, v);
        break;
    default:
        ADD_FAILURE() << "fillClass: unsupported class";
    }
}

// An array of the given shape and class from column-major values.
inline Array arr(std::vector<qxSize> dims, const std::vector<double>& re, qxClassID c = qxDOUBLE_CLASS,
                 const std::vector<double>& im = {}) {
    Array a(c == qxCHAR_CLASS ? qxCreateCharArray(dims.size(), dims.data())
                              : qxCreateNumericArray(dims.size(), dims.data(), c, im.empty() ? qxREAL : qxCOMPLEX));
    EXPECT_EQ(qxGetNumberOfElements(a.get()), re.size());
    if (!re.empty()) fillClass(c, qxGetData(a.get()), re);
    if (!im.empty()) fillClass(c, qxGetImagData(a.get()), im);
    return a;
}
inline Array row(const std::vector<double>& v, qxClassID c = qxDOUBLE_CLASS) {
    return arr({1, v.size()}, v, c);
}
inline Array col(const std::vector<double>& v, qxClassID c = qxDOUBLE_CLASS) {
    return arr({v.size(), 1}, v, c);
}

template <class T>
std::vector<double> widen(const void* p, std::size_t n) {
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(static_cast<const T*>(p)[i]);
    return out;
}

inline std::vector<double> block(const qxArray* a, bool imag) {
    const void* p = imag ? qxGetImagData(a) : qxGetData(a);
    const std::size_t n = qxGetNumberOfElements(a);
    if (!p) return imag ? std::vector<double>() : std::vector<double>(n, 0.0);
    switch (qxGetClassID(a)) {
    case qxDOUBLE_CLASS:
        return widen<double>(p, n);
    case qxSINGLE_CLASS:
        return widen<float>(p, n);
    case qxLOGICAL_CLASS:
        return widen<qxLogical>(p, n);
    case qxCHAR_CLASS:
        return widen<qxChar>(p, n);
    case qxINT8_CLASS:
        return widen<std::int8_t>(p, n);
    case qxUINT8_CLASS:
        return widen<std::uint8_t>(p, n);
    case qxINT16_CLASS:
        return widen<std::int16_t>(p, n);
    case qxUINT16_CLASS:
        return widen<std::uint16_t>(p, n);
    case qxINT32_CLASS:
        return widen<std::int32_t>(p, n);
    case qxUINT32_CLASS:
        return widen<std::uint32_t>(p, n);
    case qxINT64_CLASS:
        return widen<std::int64_t>(p, n);
    case qxUINT64_CLASS:
        return widen<std::uint64_t>(p, n);
    default:
        return {};
    }
}
inline std::vector<double> re(const qxArray* a) {
    return block(a, false);
}
inline std::vector<double> im(const qxArray* a) {
    return block(a, true);
}

// Element-by-element closeness, relative to the larger magnitude.
inline ::testing::AssertionResult near(const std::vector<double>& got, const std::vector<double>& want,
                                       double tol = 1e-9) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        const double g = got[i], w = want[i];
        if (std::isnan(w) && std::isnan(g)) continue;
        if (std::isinf(w) && g == w) continue;
        if (!(std::fabs(g - w) <= tol * std::max(1.0, std::fabs(w))))
            return ::testing::AssertionFailure() << "element " << i << ": " << g << " != " << w;
    }
    return ::testing::AssertionSuccess();
}

class NumTest : public fntest::FnTest {
protected:
    // The result of a one-result call as a new array.
    Array fn(const std::string& name, std::initializer_list<const qxArray*> args) { return call1(name, args); }
    // The largest |x - y| of two real double arrays of the same size.
    double maxDiff(const qxArray* x, const qxArray* y) {
        const std::vector<double> a = re(x), b = re(y), ai = im(x), bi = im(y);
        EXPECT_EQ(a.size(), b.size());
        double d = 0;
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
            d = std::max(d, std::fabs(a[i] - b[i]));
            const double xi = ai.empty() ? 0 : ai[i], yi = bi.empty() ? 0 : bi[i];
            d = std::max(d, std::fabs(xi - yi));
        }
        return d;
    }
};

}  // namespace numtest
