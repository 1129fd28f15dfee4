#pragma once
// Shared by the numeric functions: reading arguments as double blocks, the
// class rules of mixed operands, and writing double results back into any
// numeric class.
#include "functions/support.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace veldra::engine::num {

using support::fail;

// A numeric, logical or char argument seen as doubles.  Double arrays are
// read in place; other classes are converted once.
struct Values {
    qxClassID cls = qxDOUBLE_CLASS;  // the argument's own class
    std::vector<qxSize> dims;
    qxSize n = 0;
    const double* re = nullptr;
    const double* im = nullptr;  // nullptr when real
    std::vector<double> reBuf, imBuf;

    bool complex() const { return im != nullptr; }
};

// Throws veldra:<fn>:wrongClass for cells, structs, functions, objects and
// sparse arrays.
Values read(const char* fn, const Args& args, std::size_t i);
Values readArray(const char* fn, const qxArray* a, std::size_t i);
// As readArray, but only double arrays have their elements set (in place):
// for code that reads the other classes in their own type, else widens.
Values describeArray(const char* fn, const qxArray* a, std::size_t i);
// The elements of `a` (described in v) as doubles, when v has none yet.
void widen(Values& v, const qxArray* a);

bool isInteger(qxClassID c);
// Class of a result computed from operands of classes a and b: logical and
// char count as double, integer wins over floating point, single over
// double; two different integer classes fail with veldra:<fn>:mixedIntegers.
qxClassID combine(const char* fn, qxClassID a, qxClassID b);
// Logical and char become double; other classes stay.
qxClassID arithmeticClass(qxClassID c);

// A new zero-filled array.
Array create(const std::vector<qxSize>& dims, qxClassID cls, bool complex);
// The same for a result whose every element is written before it is read:
// a reused block is not cleared first.
Array createForOverwrite(const std::vector<qxSize>& dims, qxClassID cls, bool complex);
// Asks for huge pages for the part of [p, p + bytes) they can cover, for
// memory not yet written (a no-op for small blocks).
void preferHugePages(void* p, std::size_t bytes);
// Writes n doubles into an array of any numeric or logical class: integers
// round half away from zero and saturate, NaN becomes 0.
void store(qxArray* out, const double* re, const double* im, qxSize n);
// A new array from double blocks; imaginary parts that are all zero are dropped.
Array fromDoubles(const std::vector<qxSize>& dims, qxClassID cls, const double* re, const double* im);

// Dimensions without trailing singleton dimensions past the second.
std::vector<qxSize> trimDims(std::vector<qxSize> dims);
qxSize count(const std::vector<qxSize>& dims);

// The dimension to work along: the 1-based argument, or the first one that
// is not 1.
std::size_t dimArg(const char* fn, const Args& args, std::size_t i);
std::size_t defaultDim(const std::vector<qxSize>& dims);

// Text (a char row) or nullptr-equivalent: true when args[i] is a char row.
bool isText(const qxArray* a);

// Calls ctx.checkInterrupt() every `every` steps.
class Ticker {
public:
    Ticker(CallContext& ctx, qxSize every = 1u << 20) : ctx_(ctx), every_(every) {}
    void tick(qxSize work = 1) {
        done_ += work;
        if (done_ >= every_) {
            done_ = 0;
            ctx_.checkInterrupt();
        }
    }

private:
    CallContext& ctx_;
    qxSize every_;
    qxSize done_ = 0;
};

}  // namespace veldra::engine::num
