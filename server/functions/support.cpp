#include "functions/support.hpp"

#include <fl/except.hpp>
#include <fl/i18n/convert.hpp>
#include <qx/element.hpp>

#include <cmath>
#include <cstring>

namespace veldra::engine::support {

void fail(const char* fn, const char* what, const std::string& message) {
    throw ExecutionFailure(std::string("veldra:") + fn + ":" + what, message);
}

std::string ordinal(std::size_t i) {
    const std::size_t n = i + 1;
    const char* suffix = "th";
    if (n % 100 < 11 || n % 100 > 13) {
        if (n % 10 == 1) suffix = "st";
        else if (n % 10 == 2) suffix = "nd";
        else if (n % 10 == 3) suffix = "rd";
    }
    return std::to_string(n) + suffix;
}

void requireArgCount(const char* fn, const Args& args, std::size_t min, long max) {
    const std::size_t n = args.size();
    if (n >= min && (max < 0 || n <= static_cast<std::size_t>(max))) return;
    std::string expected;
    if (max < 0) expected = "at least " + std::to_string(min);
    else if (static_cast<std::size_t>(max) == min) expected = std::to_string(min);
    else expected = std::to_string(min) + " to " + std::to_string(max);
    fail(fn, "wrongArgumentCount",
         std::string(fn) + " takes " + expected + (expected == "1" ? " argument" : " arguments") + ", " +
             std::to_string(n) + (n == 1 ? " was" : " were") + " given.");
}

std::string textArg(const char* fn, const Args& args, std::size_t i) {
    const qxArray* a = args.at(i);
    const bool row = qxGetNumberOfDimensions(a) == 2 && (qxGetM(a) == 1 || qxIsEmpty(a));
    if (qxGetClassID(a) != qxCHAR_CLASS || !row)
        fail(fn, "wrongClass", "The " + ordinal(i) + " argument of " + fn + " must be text (a char row).");
    return matrix::get_string(a);
}

namespace {

double elementAsDouble(const void* data, qxClassID c, qxSize i) {
    double value = std::nan("");
    qx::visitElementType(c, [&](auto t) { value = static_cast<double>(static_cast<const decltype(t)*>(data)[i]); });
    return value;
}

}  // namespace

bool realScalarValue(const qxArray* a, double* out) {
    if (!qxIsNumeric(a) || !qxIsScalar(a) || qxIsComplex(a)) return false;
    const void* data = qxGetData(a);
    if (!data) return false;
    if (qxIsSparse(a)) {
        const qxSize* jc = qxGetJc(a);
        *out = jc && jc[1] > 0 ? elementAsDouble(data, qxGetClassID(a), 0) : 0.0;
        return true;
    }
    *out = elementAsDouble(data, qxGetClassID(a), 0);
    return true;
}

double realScalarArg(const char* fn, const Args& args, std::size_t i) {
    double v = 0;
    if (!realScalarValue(args.at(i), &v))
        fail(fn, "wrongClass", "The " + ordinal(i) + " argument of " + fn + " must be a real numeric scalar.");
    return v;
}

qxSize countArg(const char* fn, const Args& args, std::size_t i) {
    const qxArray* a = args.at(i);
    const std::string bad = "The " + ordinal(i) + " argument of " + fn + " must be a non-negative integer.";
    // 64-bit integers are read exactly; a double cannot hold all of them.
    if (qxIsScalar(a) && !qxIsSparse(a) && !qxIsComplex(a) && qxGetData(a)) {
        if (qxGetClassID(a) == qxUINT64_CLASS) return *static_cast<const std::uint64_t*>(qxGetData(a));
        if (qxGetClassID(a) == qxINT64_CLASS) {
            const std::int64_t v = *static_cast<const std::int64_t*>(qxGetData(a));
            if (v < 0) fail(fn, "badValue", bad);
            return static_cast<qxSize>(v);
        }
    }
    const double v = realScalarArg(fn, args, i);
    if (!(v >= 0) || v != std::floor(v) || v >= 18446744073709551616.0) fail(fn, "badValue", bad);
    return static_cast<qxSize>(v);
}

Array checked(qxArray* a) {
    if (!a) throw fl::except::bad_alloc();
    return Array(a);
}

Array sharedCopy(const qxArray* a) {
    return checked(matrix::detail::shared_copy(a));
}

Array scalarDouble(double v) {
    Array a = checked(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    *static_cast<double*>(qxGetData(a.get())) = v;
    return a;
}

Array scalarLogical(bool v) {
    Array a = checked(qxCreateNumericMatrix(1, 1, qxLOGICAL_CLASS, qxREAL));
    *static_cast<qxLogical*>(qxGetData(a.get())) = v ? 1 : 0;
    return a;
}

Results one(Array a) {
    Results out;
    out.push_back(std::move(a));
    return out;
}

Array text(const std::string& utf8) {
    return matrix::create(fl::i18n::to_ustring(utf8));
}

namespace {
struct ClassName {
    qxClassID id;
    const char* name;
};
constexpr ClassName kClassNames[] = {
    {qxCELL_CLASS, "cell"},         {qxSTRUCT_CLASS, "struct"}, {qxLOGICAL_CLASS, "logical"},
    {qxCHAR_CLASS, "char"},         {qxVOID_CLASS, "void"},     {qxDOUBLE_CLASS, "double"},
    {qxSINGLE_CLASS, "single"},     {qxINT8_CLASS, "int8"},     {qxUINT8_CLASS, "uint8"},
    {qxINT16_CLASS, "int16"},       {qxUINT16_CLASS, "uint16"}, {qxINT32_CLASS, "int32"},
    {qxUINT32_CLASS, "uint32"},     {qxINT64_CLASS, "int64"},   {qxUINT64_CLASS, "uint64"},
    {qxFUNCTION_CLASS, "function"}, {qxOBJECT_CLASS, "object"},
};
}  // namespace

const char* className(qxClassID c) {
    for (const auto& e : kClassNames)
        if (e.id == c) return e.name;
    return "unknown";
}

qxClassID classFromName(const std::string& name) {
    for (const auto& e : kClassNames)
        if (name == e.name) return e.id;
    return qxUNKNOWN_CLASS;
}

bool product(const std::vector<qxSize>& dims, qxSize* out) {
    qxSize p = 1;
    for (qxSize d : dims)
        if (d == 0) p = 0;
    for (qxSize d : dims)
        if (__builtin_mul_overflow(p, d, &p)) return false;
    *out = p;
    return true;
}

}  // namespace veldra::engine::support
