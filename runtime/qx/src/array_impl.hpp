#pragma once
// The layout of qxArray, shared by the library's translation units only.
#include <qx/block.hpp>
#include <qx/qx.hpp>

#include "small_alloc.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace qx::impl {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Owned member arrays of a cell or struct.  calloc'd so that a large table
// costs nothing until written.
using SlotTable = std::unique_ptr<qxArray*[], FreeDeleter>;

// True (and *out set) when a * b fits in qxSize.
inline bool mulSize(qxSize a, qxSize b, qxSize* out) { return !__builtin_mul_overflow(a, b, out); }

// Byte count of `count` elements of `elemSize` bytes, or false when it does
// not fit what a single allocation can address.
bool byteCount(qxSize count, std::size_t elemSize, std::size_t* out);

// Dimensions of an array: always at least two; two live inline, so that the
// scalars and vectors containers are full of allocate nothing for them.
class Dims {
public:
    Dims() noexcept = default;
    Dims(const Dims& other) { assign(other.data(), other.size()); }  // throws std::bad_alloc
    Dims& operator=(const Dims&) = delete;
    Dims(Dims&& other) noexcept { *this = std::move(other); }
    Dims& operator=(Dims&& other) noexcept {
        n_ = other.n_;
        inline_[0] = other.inline_[0];
        inline_[1] = other.inline_[1];
        heap_ = std::move(other.heap_);
        return *this;
    }
    // Copies n (>= 2) values; throws std::bad_alloc.
    void assign(const qxSize* d, std::size_t n) {
        if (n <= 2) {
            heap_.reset();
            inline_[0] = d[0];
            inline_[1] = d[1];
        } else {
            std::unique_ptr<qxSize[]> more(new qxSize[n]);
            for (std::size_t i = 0; i < n; ++i) more[i] = d[i];
            heap_ = std::move(more);
        }
        n_ = n;
    }
    std::size_t size() const noexcept { return n_; }
    const qxSize* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    qxSize operator[](std::size_t i) const noexcept { return data()[i]; }
    bool operator==(const Dims& o) const noexcept {
        if (n_ != o.n_) return false;
        for (std::size_t i = 0; i < n_; ++i)
            if ((*this)[i] != o[i]) return false;
        return true;
    }
    bool operator!=(const Dims& o) const noexcept { return !(*this == o); }

private:
    std::size_t n_ = 2;
    qxSize inline_[2] = {0, 0};
    std::unique_ptr<qxSize[]> heap_;
};

// Normalises dimensions: pads to two, drops trailing singletons beyond two.
// False on a null pointer with ndim > 0 or an element count that overflows.
// Throws std::bad_alloc for more than two dimensions when memory runs out.
bool normalizeDims(qxSize ndim, const qxSize* dims, Dims* out, qxSize* numel);

// A block of at least `bytes` (> 0) zeroed bytes from the process-wide
// allocator; nullptr when it yields nothing usable.
std::shared_ptr<Block> allocateBlock(std::size_t bytes);

// Bytes per element of a numeric, logical or char class; 0 for the rest.
std::size_t classElementSize(qxClassID cls);
inline bool isNumericClass(qxClassID c) { return c >= qxDOUBLE_CLASS && c <= qxUINT64_CLASS; }

SlotTable allocateSlots(qxSize count);  // nullptr for count 0 or exhaustion

}  // namespace qx::impl

namespace qx::impl {
// What only sparse, struct, function and object arrays carry, kept apart so
// that the numeric arrays and cells most values become stay small.
struct Extra : SmallObject {
    // Sparse: row indices (nzmax) and column starts (n + 1), both qxSize.
    std::shared_ptr<qx::Block> ir;
    std::shared_ptr<qx::Block> jc;
    qxSize nzmax = 0;
    // Struct field names, shared and immutable: c_str() stays valid as fields
    // are added, and copies share them.
    std::vector<std::shared_ptr<const std::string>> fields;
    std::string functionName;
    std::shared_ptr<const std::vector<std::uint64_t>> ids;
    std::shared_ptr<const qx::ObjectSession> session;
};
}  // namespace qx::impl

struct qxArray : qx::impl::SmallObject {
    qxArray(qxClassID c, qx::impl::Dims&& d, qxSize n);
    ~qxArray();
    qxArray(const qxArray&) = delete;
    qxArray& operator=(const qxArray&) = delete;

    qxClassID cls;
    bool complex = false;
    bool sparse = false;
    qxSize numel;
    qx::impl::Dims dims;

    std::shared_ptr<qx::Block> real;
    std::shared_ptr<qx::Block> imag;

    // Cells: numel slots.  Structs: numel * field count slots, element-major.
    qx::impl::SlotTable slots;
    qxSize slotCount = 0;

    // Present for sparse, struct, function and object arrays only.
    std::unique_ptr<qx::impl::Extra> extra;
};

namespace qx::impl {
struct ArrayDeleter {
    void operator()(qxArray* a) const noexcept { delete a; }
};
// Constructs without throwing; nullptr on exhaustion.
// `withExtra` gives it the record sparse, struct, function and object arrays need.
qxArray* newArray(qxClassID cls, Dims&& dims, qxSize numel, bool withExtra = false) noexcept;
// The field count of a struct (0 for other arrays).
inline std::size_t fieldCount(const qxArray* s) noexcept { return s->extra ? s->extra->fields.size() : 0; }
// A shared copy; nullptr on exhaustion.
qxArray* sharedCopy(const qxArray* a) noexcept;
}  // namespace qx::impl
