#pragma once
// Helpers the engine functions share: argument checks, argument reading and
// result making.  Every check throws ExecutionFailure with an identifier
// "veldra:<function>:<what>".
#include "functions/function.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace veldra::engine::support {

[[noreturn]] void fail(const char* fn, const char* what, const std::string& message);

// Between min and max arguments (max < 0: no upper bound).
void requireArgCount(const char* fn, const Args& args, std::size_t min, long max);

// Argument `i` (0-based) as UTF-8 text; it must be a char row (or empty char).
std::string textArg(const char* fn, const Args& args, std::size_t i);

// Argument `i` as a real scalar of any numeric class (full or sparse).
double realScalarArg(const char* fn, const Args& args, std::size_t i);

// Argument `i` as a non-negative integer count of any real numeric class.
qxSize countArg(const char* fn, const Args& args, std::size_t i);

// The value of a 1-by-1 real numeric array; false for anything else.
bool realScalarValue(const qxArray* a, double* out);

// Owning wrappers that turn a failed creation into fl::except::OutOfMemory.
Array checked(qxArray* a);
Array sharedCopy(const qxArray* a);
Array scalarDouble(double v);
Array scalarLogical(bool v);
Array text(const std::string& utf8);
// A single result.
Results one(Array a);

// "1st", "2nd" ... for messages.
std::string ordinal(std::size_t i);

// The conventional class name ("double", "cell", "function", "object").
const char* className(qxClassID c);
// The class named, or qxUNKNOWN_CLASS.
qxClassID classFromName(const std::string& name);

// Product of dimensions; false on overflow.
bool product(const std::vector<qxSize>& dims, qxSize* out);

}  // namespace veldra::engine::support
