// Array lifetime, numeric and char creation, and the generic readers.
#include "array_impl.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace {

// Live records are counted per thread, so that making or destroying an array
// touches no shared cache line and takes no locked instruction (a list of a
// million numbers is a million of each).  Each thread owns a counter it
// alone writes; qxLiveArrayCount adds them up.  A thread's count may go
// negative (arrays made in one thread and destroyed in another); the sum is
// exact once the threads are done.
struct LiveCounter {
    std::atomic<std::int64_t> count{0};
    LiveCounter* next = nullptr;
};

struct LiveRegistry {
    std::mutex mutex;
    LiveCounter* counters = nullptr;
    std::atomic<std::int64_t> retired{0};  // counts of threads gone, and of exiting ones
};

LiveRegistry& liveRegistry() {
    static LiveRegistry* registry = new LiveRegistry;  // never destroyed: arrays outlive static destruction
    return *registry;
}

// Plain pointers, so that reading them takes one instruction and no guard.
__attribute__((tls_model("initial-exec"))) thread_local LiveCounter* threadCounter = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool threadExiting = false;

// Folds the thread's counter into the retired count when the thread ends.
struct CounterOwner {
    LiveCounter* counter = nullptr;
    ~CounterOwner() {
        threadExiting = true;
        threadCounter = nullptr;
        if (!counter) return;
        LiveRegistry& r = liveRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.retired.fetch_add(counter->count.load(std::memory_order_relaxed), std::memory_order_relaxed);
        for (LiveCounter** p = &r.counters; *p; p = &(*p)->next) {
            if (*p == counter) {
                *p = counter->next;
                break;
            }
        }
        delete counter;
    }
};
thread_local CounterOwner threadCounterOwner;

__attribute__((noinline)) void countSlow(std::int64_t delta) noexcept {
    LiveRegistry& r = liveRegistry();
    if (!threadExiting) {
        // Registering allocates; without memory, or once the thread is
        // ending, the shared count serves.
        auto* counter = new (std::nothrow) LiveCounter;
        if (counter) {
            std::lock_guard<std::mutex> lock(r.mutex);
            counter->next = r.counters;
            r.counters = counter;
            threadCounterOwner.counter = counter;
            threadCounter = counter;
            counter->count.store(delta, std::memory_order_relaxed);
            return;
        }
    }
    r.retired.fetch_add(delta, std::memory_order_relaxed);
}

inline void count(std::int64_t delta) noexcept {
    if (LiveCounter* c = threadCounter) {
        // This thread's alone: a plain add, atomic only for the readers.
        c->count.store(c->count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
        return;
    }
    countSlow(delta);
}

}  // namespace

namespace qx::impl {

void countCreated() noexcept {
    count(1);
}
void countDestroyed(std::size_t records) noexcept {
    count(-static_cast<std::int64_t>(records));
}

bool normalizeDimsSlow(qxSize ndim, const qxSize* dims, Shape* out) noexcept {
    if (ndim > 0 && !dims) return false;
    // Only the dimensions up to the last non-singleton one beyond the second matter.
    qxSize keep = ndim;
    while (keep > 2 && dims[keep - 1] == 1) --keep;
    // The product of the non-zero dimensions must fit, so that every partial
    // product (qxGetN) does too, even in an empty array.
    qxSize nonzero = 1;
    bool empty = ndim == 0;
    for (qxSize i = 0; i < keep; ++i) {
        if (dims[i] == 0) empty = true;
        else if (!mulSize(nonzero, dims[i], &nonzero)) return false;
    }
    const qxSize numel = empty ? 0 : nonzero;
    if (keep > 2) {
        // keep * 8 fits: the dimensions themselves are in memory.
        auto* table = static_cast<qxSize*>(smallAlloc(static_cast<std::size_t>(keep + 2) * sizeof(qxSize)));
        if (!table) return false;
        table[0] = keep;
        table[1] = numel;
        std::memcpy(table + 2, dims, static_cast<std::size_t>(keep) * sizeof(qxSize));
        if (out->wide) smallFree(out->wide);
        out->wide = table;
    } else {
        if (out->wide) smallFree(out->wide);
        out->wide = nullptr;
        out->two[0] = out->two[1] = ndim == 0 ? 0 : 1;
        for (qxSize i = 0; i < keep; ++i) out->two[i] = dims[i];
    }
    out->numel = numel;
    return true;
}

Record* newRecord(qxClassID cls, std::uint8_t flags, Shape& shape) noexcept {
    void* p = smallAlloc(sizeof(Record));
    if (!p) return nullptr;
    auto* a = ::new (p) Record(cls, flags);
    if (shape.wide) {
        a->flags |= qxArray::kWide;
        a->dims.wide = shape.wide;
        shape.wide = nullptr;
    } else {
        a->dims.two[0] = shape.two[0];
        a->dims.two[1] = shape.two[1];
    }
    if (flags & qxArray::kLocal) std::memset(a->payload.local, 0, sizeof a->payload.local);
    else if (isElementClass(cls)) ::new (&a->payload.real) std::shared_ptr<qx::Block>();
    countCreated();
    return a;
}

qxArray* newUnit(qxClassID cls, bool complex) noexcept {
    const std::size_t bytes = unitRecordBytes(classElementSize(cls), complex);
    void* p = smallAlloc(bytes);
    if (!p) return nullptr;
    std::memset(static_cast<unsigned char*>(p) + kUnitHead, 0, bytes - kUnitHead);
    const std::uint8_t flags = qxArray::kUnit | qxArray::kLocal | (complex ? qxArray::kComplex : 0);
    qxArray* a = ::new (p) qxArray(cls, flags);
    countCreated();
    return a;
}

namespace {

// Frees what a record that is no unit owns besides its members, and the record.
void releaseRecord(Record* a) noexcept {
    if (holdsBlock(a)) a->payload.real.~shared_ptr();
    delete a->extra;
    if (a->has(qxArray::kWide)) smallFree(a->dims.wide);
    a->~Record();
    smallFree(a);
}

}  // namespace

std::size_t releaseTree(qxArray* a) noexcept {
    if (a->has(qxArray::kUnit)) {
        smallFree(a);  // the head is trivially destructible
        return 1;
    }
    std::size_t records = 1;
    Record* r = full(a);
    if (isSlotClass(a->classID()) && r->payload.slots) {
        qxArray** slots = r->payload.slots;
        const qxSize n = slotCount(a);
        for (qxSize i = 0; i < n; ++i) {
            // Members are visited for their flags only; fetching a few ahead
            // keeps the walk from waiting on each of them in turn.
            if (i + 16 < n) __builtin_prefetch(slots[i + 16]);
            qxArray* member = slots[i];
            if (!member) continue;
            if (member->has(qxArray::kUnit)) {  // the bulk of big cells
                smallFree(member);
                ++records;
            } else {
                records += releaseTree(member);
            }
        }
        std::free(slots);
    }
    releaseRecord(r);
    return records;
}

bool addExtra(Record* a) noexcept {
    if (a->extra) return true;
    try {
        a->extra = new Extra;
        return true;
    } catch (...) {
        return false;
    }
}

qxArray* sharedCopy(const qxArray* a) noexcept {
    if (!a) return nullptr;
    if (a->has(qxArray::kUnit)) {
        // A few bytes: copied, so the copy owes nothing to `a`.
        qxArray* copy = newUnit(a->classID(), a->has(qxArray::kComplex));
        if (copy) {
            const std::size_t bytes = unitRecordBytes(classElementSize(a->classID()), a->has(qxArray::kComplex));
            std::memcpy(unitData(copy), unitData(a), bytes - kUnitHead);
        }
        return copy;
    }
    const Record* from = full(a);
    Shape shape;
    if (a->has(qxArray::kWide)) {
        const std::size_t bytes = static_cast<std::size_t>(from->dims.wide[0] + 2) * sizeof(qxSize);
        shape.wide = static_cast<qxSize*>(smallAlloc(bytes));
        if (!shape.wide) return nullptr;
        std::memcpy(shape.wide, from->dims.wide, bytes);
    } else {
        shape.two[0] = from->dims.two[0];
        shape.two[1] = from->dims.two[1];
    }
    Record* copy = newRecord(a->classID(), a->flags & ~qxArray::kWide, shape);
    if (!copy) return nullptr;
    if (a->has(qxArray::kLocal)) {
        std::memcpy(copy->payload.local, from->payload.local, sizeof from->payload.local);
        return copy;
    }
    if (holdsBlock(a)) copy->payload.real = from->payload.real;
    // The Extra before the slots: a struct's slot count follows its fields.
    if (from->extra) {
        try {
            copy->extra = new Extra(*from->extra);
        } catch (...) {
            qxDestroyArray(copy);
            return nullptr;
        }
    }
    if (isSlotClass(a->classID()) && from->payload.slots) {
        const qxSize n = slotCount(a);
        copy->payload.slots = allocateSlots(n);
        if (!copy->payload.slots) {
            qxDestroyArray(copy);
            return nullptr;
        }
        for (qxSize i = 0; i < n; ++i) {
            if (!from->payload.slots[i]) continue;
            copy->payload.slots[i] = sharedCopy(from->payload.slots[i]);
            if (!copy->payload.slots[i]) {
                qxDestroyArray(copy);
                return nullptr;
            }
        }
    }
    return copy;
}

}  // namespace qx::impl

using namespace qx::impl;

namespace {

qxArray* createElementArray(qxSize ndim, const qxSize* dims, qxClassID cls, bool complex, bool zeroed = true) {
    Shape shape;
    if (!normalizeDims(ndim, dims, &shape)) return nullptr;
    if (shape.numel == 1 && !shape.wide) return newUnit(cls, complex);
    std::size_t bytes = 0;
    if (!byteCount(shape.numel, classElementSize(cls), &bytes)) return nullptr;
    const std::uint8_t complexFlag = complex ? qxArray::kComplex : 0;
    if (bytes > 0 && bytes <= kLocalBytes / (complex ? 2 : 1))
        return newRecord(cls, complexFlag | qxArray::kLocal, shape);
    std::shared_ptr<qx::Block> re, im;
    if (bytes > 0) {
        re = allocateBlock(bytes, zeroed);
        if (!re) return nullptr;
        if (complex) {
            im = allocateBlock(bytes, zeroed);
            if (!im) return nullptr;
        }
    }
    Record* a = newRecord(cls, complexFlag, shape);
    if (!a) return nullptr;
    if (im) {
        if (!addExtra(a)) {
            qxDestroyArray(a);
            return nullptr;
        }
        a->extra->imag = std::move(im);
    }
    a->payload.real = std::move(re);
    return a;
}

bool scalarClass(qxClassID cls, bool complex) {
    return isNumericClass(cls) || (cls == qxLOGICAL_CLASS && !complex);
}

}  // namespace

qxArray* qxCreateNumericArray(qxSize ndim, const qxSize* dims, qxClassID classID, qxComplexity complexity) {
    if (complexity != qxREAL && complexity != qxCOMPLEX) return nullptr;
    if (!scalarClass(classID, complexity == qxCOMPLEX)) return nullptr;
    return createElementArray(ndim, dims, classID, complexity == qxCOMPLEX);
}

qxArray* qxCreateNumericArrayForOverwrite(qxSize ndim, const qxSize* dims, qxClassID classID, qxComplexity complexity) {
    if (complexity != qxREAL && complexity != qxCOMPLEX) return nullptr;
    if (!scalarClass(classID, complexity == qxCOMPLEX)) return nullptr;
    return createElementArray(ndim, dims, classID, complexity == qxCOMPLEX, false);
}

qxArray* qxCreateNumericMatrix(qxSize m, qxSize n, qxClassID classID, qxComplexity complexity) {
    const qxSize dims[2] = {m, n};
    return qxCreateNumericArray(2, dims, classID, complexity);
}

qxArray* qxCreateScalar(qxClassID classID, const void* real, const void* imag) {
    if (!scalarClass(classID, imag != nullptr)) return nullptr;
    qxArray* a = newUnit(classID, imag != nullptr);
    if (!a) return nullptr;
    const std::size_t size = classElementSize(classID);
    if (real) std::memcpy(unitData(a), real, size);
    if (imag) std::memcpy(unitData(a) + size, imag, size);
    return a;
}

qxArray* qxCreateDoubleScalar(double value) {
    void* p = smallAlloc(unitRecordBytes(sizeof value, false));
    if (!p) return nullptr;
    qxArray* a = ::new (p) qxArray(qxDOUBLE_CLASS, qxArray::kUnit | qxArray::kLocal);
    std::memcpy(unitData(a), &value, sizeof value);
    countCreated();
    return a;
}

qxArray* qxCreateCharArray(qxSize ndim, const qxSize* dims) {
    return createElementArray(ndim, dims, qxCHAR_CLASS, false);
}

void qxDestroyArray(qxArray* array) {
    if (array) countDestroyed(releaseTree(array));
}

std::size_t qxGetClassElementSize(qxClassID classID) {
    return qx::impl::classElementSize(classID);
}

void* qxCalloc(std::size_t n, std::size_t size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(n, size, &bytes)) return nullptr;
    return std::calloc(n, size);
}

void qxFree(void* p) {
    std::free(p);
}

qxClassID qxGetClassID(const qxArray* a) {
    return a ? a->classID() : qxUNKNOWN_CLASS;
}

bool qxIsSparse(const qxArray* a) {
    return a && a->has(qxArray::kSparse);
}

bool qxIsComplex(const qxArray* a) {
    if (!a || !a->has(qxArray::kComplex)) return false;
    if (a->has(qxArray::kLocal)) return true;
    // An empty array has no blocks to tell: its flag alone keeps it complex.
    if (!a->has(qxArray::kSparse) && numelOf(a) == 0) return true;
    const Extra* x = full(a)->extra;
    return x && x->imag;
}

bool qxIsNumeric(const qxArray* a) {
    return a && isNumericClass(a->classID());
}

bool qxIsEmpty(const qxArray* a) {
    return a && numelOf(a) == 0;
}

bool qxIsScalar(const qxArray* a) {
    if (!a) return false;
    if (a->has(qxArray::kUnit)) return true;
    const Record* r = full(a);
    return !a->has(qxArray::kWide) && r->dims.two[0] == 1 && r->dims.two[1] == 1;
}

qxSize qxGetNumberOfDimensions(const qxArray* a) {
    return a ? ndimOf(a) : 0;
}

const qxSize* qxGetDimensions(const qxArray* a) {
    return a ? dimsOf(a) : nullptr;
}

qxSize qxGetM(const qxArray* a) {
    return a ? dimsOf(a)[0] : 0;
}

qxSize qxGetN(const qxArray* a) {
    if (!a) return 0;
    const qxSize* d = dimsOf(a);
    if (!a->has(qxArray::kWide)) return d[1];
    qxSize n = 1;
    for (qxSize i = 1; i < ndimOf(a); ++i) n *= d[i];  // bounded by the non-zero product, which fits
    return n;
}

qxSize qxGetNumberOfElements(const qxArray* a) {
    return a ? numelOf(a) : 0;
}

std::size_t qxGetElementSize(const qxArray* a) {
    return a ? classElementSize(a->classID()) : 0;
}

void* qxGetData(const qxArray* a) {
    if (!a) return nullptr;
    if (a->has(qxArray::kUnit)) return unitData(a);
    const Record* r = full(a);
    if (a->has(qxArray::kLocal)) return const_cast<unsigned char*>(r->payload.local);
    if (!holdsBlock(a) || !r->payload.real) return nullptr;
    return r->payload.real->data();
}

void* qxGetImagData(const qxArray* a) {
    if (!a || !a->has(qxArray::kComplex)) return nullptr;
    const std::size_t size = classElementSize(a->classID());
    if (a->has(qxArray::kUnit)) return unitData(a) + size;
    const Record* r = full(a);
    if (a->has(qxArray::kLocal))
        return const_cast<unsigned char*>(r->payload.local) + static_cast<std::size_t>(numelOf(a)) * size;
    return r->extra && r->extra->imag ? r->extra->imag->data() : nullptr;
}

bool qxSetDimensions(qxArray* a, const qxSize* dims, qxSize ndim) {
    if (!a) return false;
    Shape shape;
    if (!normalizeDims(ndim, dims, &shape)) return false;
    if (shape.numel != numelOf(a)) return false;
    // A unit stays 1-by-1: one element has no other normalised shape.
    if (a->has(qxArray::kUnit)) return true;
    Record* r = full(a);
    if (a->has(qxArray::kSparse)) {
        // The compressed columns are laid out for the current column count.
        return !shape.wide && shape.two[0] == r->dims.two[0] && shape.two[1] == r->dims.two[1];
    }
    if (a->has(qxArray::kWide)) smallFree(r->dims.wide);
    if (shape.wide) {
        r->flags |= qxArray::kWide;
        r->dims.wide = shape.wide;
        shape.wide = nullptr;
    } else {
        r->flags &= static_cast<std::uint8_t>(~qxArray::kWide);
        r->dims.two[0] = shape.two[0];
        r->dims.two[1] = shape.two[1];
    }
    return true;
}

std::size_t qxLiveArrayCount() {
    LiveRegistry& r = liveRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::int64_t live = r.retired.load(std::memory_order_relaxed);
    for (const LiveCounter* c = r.counters; c; c = c->next) live += c->count.load(std::memory_order_relaxed);
    return static_cast<std::size_t>(live);
}
