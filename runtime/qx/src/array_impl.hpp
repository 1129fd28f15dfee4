#pragma once
// The layout of qxArray, shared by the library's translation units only.
#include <qx/block.hpp>
#include <qx/qx.hpp>

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

// Normalises dimensions: pads to two, drops trailing singletons beyond two.
// False on a null pointer with ndim > 0 or an element count that overflows.
bool normalizeDims(qxSize ndim, const qxSize* dims, std::vector<qxSize>* out, qxSize* numel);

// A block of at least `bytes` (> 0) zeroed bytes from the process-wide
// allocator; nullptr when it yields nothing usable.
std::shared_ptr<Block> allocateBlock(std::size_t bytes);

// Bytes per element of a numeric, logical or char class; 0 for the rest.
std::size_t classElementSize(qxClassID cls);
inline bool isNumericClass(qxClassID c) { return c >= qxDOUBLE_CLASS && c <= qxUINT64_CLASS; }

SlotTable allocateSlots(qxSize count);  // nullptr for count 0 or exhaustion

}  // namespace qx::impl

struct qxArray {
    qxArray(qxClassID c, std::vector<qxSize> d, qxSize n);
    ~qxArray();
    qxArray(const qxArray&) = delete;
    qxArray& operator=(const qxArray&) = delete;

    qxClassID cls;
    std::vector<qxSize> dims;  // always at least two
    qxSize numel;
    bool complex = false;
    bool sparse = false;

    std::shared_ptr<qx::Block> real;
    std::shared_ptr<qx::Block> imag;

    // Sparse: row indices (nzmax) and column starts (n + 1), both qxSize.
    std::shared_ptr<qx::Block> ir;
    std::shared_ptr<qx::Block> jc;
    qxSize nzmax = 0;

    // Cells: numel slots.  Structs: numel * fields.size() slots, element-major.
    qx::impl::SlotTable slots;
    qxSize slotCount = 0;
    // Shared, immutable names: c_str() stays valid as fields are added, copies
    // share them, and an array without fields allocates nothing for them.
    std::vector<std::shared_ptr<const std::string>> fields;

    std::string functionName;

    std::shared_ptr<const std::vector<std::uint64_t>> ids;
    std::shared_ptr<const qx::ObjectSession> session;
};

namespace qx::impl {
struct ArrayDeleter {
    void operator()(qxArray* a) const noexcept { delete a; }
};
// Constructs without throwing; nullptr on exhaustion.
qxArray* newArray(qxClassID cls, std::vector<qxSize> dims, qxSize numel) noexcept;
// A shared copy; nullptr on exhaustion.
qxArray* sharedCopy(const qxArray* a) noexcept;
}  // namespace qx::impl
