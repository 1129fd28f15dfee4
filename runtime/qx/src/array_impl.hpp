#pragma once
// The layout of qxArray, shared by the library's translation units only.
//
// Every record starts with the qxArray head: class and flags.
//
// A 1-by-1 logical, char or numeric array (kUnit) is the head and its element
// right after it (real part, then imaginary part), nothing else: 16 bytes for
// a real double.  Lists of a million numbers become a million of these.
//
// Every other array is a Record of 48 bytes: the head, a payload, the
// rare-kind record and the dimensions.  The payload depends on the class:
//   logical, char, numeric   element data of at most kLocalBytes (real part,
//                            then imaginary part; kLocal), or else the shared
//                            real element block (the imaginary block, if
//                            any, is in Extra);
//   cell, struct             the owned slot table;
//   function, object         nothing (all of it is in Extra).
#include <qx/block.hpp>
#include <qx/qx.hpp>

#include "small_alloc.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace qx::impl {

// True (and *out set) when a * b fits in qxSize.
inline bool mulSize(qxSize a, qxSize b, qxSize* out) {
    return !__builtin_mul_overflow(a, b, out);
}

// Byte count of `count` elements of `elemSize` bytes, or false when it does
// not fit what a single allocation can address.
bool byteCount(qxSize count, std::size_t elemSize, std::size_t* out);

// Element data up to this many bytes, real and imaginary parts together,
// lives in the record.
constexpr std::size_t kLocalBytes = 16;

// Normalised dimensions on their way into a record.  Two are kept by value;
// more go to a table from smallAlloc laid out as [ndim, numel, d0, d1, ...],
// which the record takes over.
struct Shape {
    Shape() noexcept = default;
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;
    ~Shape() {
        if (wide) smallFree(wide);
    }
    qxSize ndim() const noexcept { return wide ? wide[0] : 2; }
    const qxSize* data() const noexcept { return wide ? wide + 2 : two; }

    qxSize two[2] = {0, 0};
    qxSize* wide = nullptr;
    qxSize numel = 0;
};

bool normalizeDimsSlow(qxSize ndim, const qxSize* dims, Shape* out) noexcept;

// Normalises dimensions: pads to two, drops trailing singletons beyond two.
// False on a null pointer with ndim > 0, an element count that overflows or,
// for more than two dimensions, no memory for them.
inline bool normalizeDims(qxSize ndim, const qxSize* dims, Shape* out) noexcept {
    if (ndim != 2 || !dims) return normalizeDimsSlow(ndim, dims, out);
    // The product of the non-zero dimensions must fit, so that every partial
    // product (qxGetN) does too, even in an empty array.
    const qxSize m = dims[0], n = dims[1];
    qxSize numel = 0;
    if (!mulSize(m == 0 ? 1 : m, n == 0 ? 1 : n, &numel)) return false;
    out->two[0] = m;
    out->two[1] = n;
    out->numel = (m == 0 || n == 0) ? 0 : numel;
    return true;
}

// A block of at least `bytes` (> 0) zeroed bytes from the process-wide
// allocator; nullptr when it yields nothing usable.
// With `zeroed` false, the block may hold old bytes (see allocateForOverwrite).
std::shared_ptr<Block> allocateBlock(std::size_t bytes, bool zeroed = true);

// Bytes per element of a numeric, logical or char class; 0 for the rest.
inline std::size_t classElementSize(qxClassID cls) noexcept {
    static constexpr unsigned char kSizes[] = {0, 0, 0, 1, 2, 0, 8, 4, 1, 1, 2, 2, 4, 4, 8, 8, 0, 0};
    const auto i = static_cast<unsigned>(cls);
    return i < sizeof kSizes ? kSizes[i] : 0;
}
inline bool isNumericClass(qxClassID c) noexcept {
    return c >= qxDOUBLE_CLASS && c <= qxUINT64_CLASS;
}
// Classes whose elements live in element blocks (or in the record).
inline bool isElementClass(qxClassID c) noexcept {
    return classElementSize(c) != 0;
}
inline bool isSlotClass(qxClassID c) noexcept {
    return c == qxCELL_CLASS || c == qxSTRUCT_CLASS;
}

// A zeroed slot table (calloc'd, so that a large one costs nothing until
// written); nullptr for count 0 or exhaustion.
qxArray** allocateSlots(qxSize count) noexcept;

// What only sparse, struct, function and object arrays, and complex arrays
// with element blocks, carry, kept apart so that the numeric arrays and cells
// most values become stay small.
struct Extra : SmallObject {
    // The imaginary block of a complex array whose data is not in the record.
    std::shared_ptr<qx::Block> imag;
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

struct qxArray {
    enum Flag : std::uint8_t {
        kComplex = 1,  // marked complex
        kSparse = 2,
        kLocal = 4,  // element data in the record
        kWide = 8,   // more than two dimensions, in dims.wide
        kUnit = 16,  // 1-by-1 with its element after the head (kLocal too)
    };

    qxArray(qxClassID c, std::uint8_t f) noexcept : cls(static_cast<std::uint8_t>(c)), flags(f) {}
    qxArray(const qxArray&) = delete;
    qxArray& operator=(const qxArray&) = delete;

    qxClassID classID() const noexcept { return static_cast<qxClassID>(cls); }
    bool has(Flag f) const noexcept { return (flags & f) != 0; }

    std::uint8_t cls;
    std::uint8_t flags;
};

namespace qx::impl {

// Where the element of a unit record starts; 8-aligned, as the records are.
constexpr std::size_t kUnitHead = 8;
static_assert(sizeof(qxArray) <= kUnitHead, "the head must leave room before the element");

// The bytes allocated for a unit record of a class with `elementSize`-byte elements.
inline std::size_t unitRecordBytes(std::size_t elementSize, bool complex) noexcept {
    return kUnitHead + (complex ? 2 : 1) * elementSize;
}
inline unsigned char* unitData(const qxArray* a) noexcept {
    return const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(a)) + kUnitHead;
}

// Every array that is not a unit.
struct Record : qxArray {
    Record(qxClassID c, std::uint8_t f) noexcept : qxArray(c, f) {}
    ~Record() {}

    union Payload {
        Payload() noexcept : slots(nullptr) {}
        ~Payload() {}
        unsigned char local[kLocalBytes];
        std::shared_ptr<qx::Block> real;
        qxArray** slots;  // owned, std::free
    } payload;
    Extra* extra = nullptr;  // owned; see Extra
    union {
        qxSize two[2];
        qxSize* wide;  // owned, smallFree: [ndim, numel, d0, d1, ...]
    } dims;
};

static_assert(sizeof(Record) == 48, "a record is meant to fill a 48-byte allocation");

// Records of arrays known not to be units (cells, structs, sparse, ...).
inline Record* full(qxArray* a) noexcept {
    return static_cast<Record*>(a);
}
inline const Record* full(const qxArray* a) noexcept {
    return static_cast<const Record*>(a);
}

inline const qxSize* unitDims() noexcept {
    static constexpr qxSize kOneByOne[2] = {1, 1};
    return kOneByOne;
}
inline qxSize numelOf(const qxArray* a) noexcept {
    if (a->has(qxArray::kUnit)) return 1;
    const Record* r = full(a);
    return a->has(qxArray::kWide) ? r->dims.wide[1] : r->dims.two[0] * r->dims.two[1];
}
inline qxSize ndimOf(const qxArray* a) noexcept {
    return a->has(qxArray::kWide) ? full(a)->dims.wide[0] : 2;
}
inline const qxSize* dimsOf(const qxArray* a) noexcept {
    if (a->has(qxArray::kUnit)) return unitDims();
    const Record* r = full(a);
    return a->has(qxArray::kWide) ? r->dims.wide + 2 : r->dims.two;
}
inline Extra* extraOf(const qxArray* a) noexcept {
    return a->has(qxArray::kUnit) ? nullptr : full(a)->extra;
}
// True when the payload holds a (possibly empty) shared real block.
inline bool holdsBlock(const qxArray* a) noexcept {
    return !a->has(qxArray::kLocal) && isElementClass(a->classID());
}

// The field count of a struct (0 for other arrays).
inline std::size_t fieldCount(const qxArray* s) noexcept {
    return s->cls == qxSTRUCT_CLASS && full(s)->extra ? full(s)->extra->fields.size() : 0;
}
// Cells: numel slots.  Structs: numel * field count slots, element-major.
inline qxSize slotCount(const qxArray* a) noexcept {
    if (a->cls == qxCELL_CLASS) return numelOf(a);
    if (a->cls == qxSTRUCT_CLASS) return numelOf(a) * fieldCount(a);  // fits: the table exists
    return 0;
}

// Counting of live records (qxLiveArrayCount).
void countCreated() noexcept;
void countDestroyed(std::size_t records) noexcept;

// A record of class `cls` with dimensions taken over from `shape`, an empty
// payload (no block, no slot table; zeroed bytes with kLocal) and no Extra.
// nullptr on exhaustion, `shape` then left as it was.
Record* newRecord(qxClassID cls, std::uint8_t flags, Shape& shape) noexcept;

// A zeroed 1-by-1 array of an element class (real or complex); nullptr on exhaustion.
qxArray* newUnit(qxClassID cls, bool complex) noexcept;

// Frees `a` and all it owns; the number of records freed.  Not counted.
std::size_t releaseTree(qxArray* a) noexcept;

// Gives `a` an Extra; false on exhaustion.
bool addExtra(Record* a) noexcept;

// A shared copy; nullptr on exhaustion.
qxArray* sharedCopy(const qxArray* a) noexcept;

}  // namespace qx::impl
