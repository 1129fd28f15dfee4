#pragma once
// The element types of the array classes and the conversions between them,
// written once for every place that works on raw element blocks.
#include <qx/qx.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

namespace qx {

// Calls f with a value of the element type of class c (numeric classes,
// logical as qxLogical, char as qxChar).  False, without calling f, for the
// classes that hold no plain elements (cell, struct, function, object).
template <class F>
bool visitElementType(qxClassID c, F&& f) {
    switch (c) {
    case qxDOUBLE_CLASS:
        f(double{});
        return true;
    case qxSINGLE_CLASS:
        f(float{});
        return true;
    case qxLOGICAL_CLASS:
        f(qxLogical{});
        return true;
    case qxCHAR_CLASS:
        f(qxChar{});
        return true;
    case qxINT8_CLASS:
        f(std::int8_t{});
        return true;
    case qxUINT8_CLASS:
        f(std::uint8_t{});
        return true;
    case qxINT16_CLASS:
        f(std::int16_t{});
        return true;
    case qxUINT16_CLASS:
        f(std::uint16_t{});
        return true;
    case qxINT32_CLASS:
        f(std::int32_t{});
        return true;
    case qxUINT32_CLASS:
        f(std::uint32_t{});
        return true;
    case qxINT64_CLASS:
        f(std::int64_t{});
        return true;
    case qxUINT64_CLASS:
        f(std::uint64_t{});
        return true;
    default:
        return false;
    }
}

// A floating value as the integer type D: rounds half away from zero and
// saturates at D's range; NaN becomes 0.
template <class D>
D saturatingCast(double v) {
    static_assert(std::is_integral_v<D>, "an integer element type");
    if (std::isnan(v)) return 0;
    const double r = std::round(v);
    // One past the largest value: a power of two, exact in a double.
    const double above = std::ldexp(1.0, std::numeric_limits<D>::digits);
    if (r >= above) return std::numeric_limits<D>::max();
    if (r < static_cast<double>(std::numeric_limits<D>::min())) return std::numeric_limits<D>::min();
    return static_cast<D>(r);
}

// An integer as the integer type D, saturating; compared in 64 bits without
// sign mix-ups.
template <class D, class S>
D saturatingIntegerCast(S v) {
    if constexpr (std::is_signed_v<S>) {
        if (v < 0) {
            if constexpr (std::is_unsigned_v<D>) {
                return 0;
            } else {
                const auto x = static_cast<std::int64_t>(v);
                return x < static_cast<std::int64_t>(std::numeric_limits<D>::min()) ? std::numeric_limits<D>::min()
                                                                                    : static_cast<D>(x);
            }
        }
    }
    const auto u = static_cast<std::uint64_t>(v);
    return u > static_cast<std::uint64_t>(std::numeric_limits<D>::max()) ? std::numeric_limits<D>::max()
                                                                         : static_cast<D>(u);
}

// One element of type S as type D: floating targets take the value as it is,
// integer targets round and saturate.
template <class D, class S>
D elementCast(S v) {
    if constexpr (std::is_floating_point_v<D>) return static_cast<D>(v);
    else if constexpr (std::is_floating_point_v<S>) return saturatingCast<D>(static_cast<double>(v));
    else return saturatingIntegerCast<D>(v);
}

}  // namespace qx
