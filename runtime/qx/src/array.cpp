// Array lifetime, numeric and char creation, and the generic readers.
#include "array_impl.hpp"

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

namespace {
std::atomic<std::size_t> liveArrays{0};
}

qxArray::qxArray(qxClassID c, qx::impl::Dims&& d, qxSize n)
    : cls(c), numel(n), dims(std::move(d)) {
    liveArrays.fetch_add(1, std::memory_order_relaxed);
}

qxArray::~qxArray() {
    for (qxSize i = 0; i < slotCount; ++i) qxDestroyArray(slots[i]);
    liveArrays.fetch_sub(1, std::memory_order_relaxed);
}

namespace qx::impl {

bool normalizeDims(qxSize ndim, const qxSize* dims, Dims* out, qxSize* numel) {
    if (ndim > 0 && !dims) return false;
    // Only the dimensions up to the last non-singleton one beyond the second matter.
    qxSize keep = ndim;
    while (keep > 2 && dims[keep - 1] == 1) --keep;
    // The product of the non-zero dimensions must fit, so that every partial
    // product (qxGetN) does too, even in an empty array.
    qxSize nonzero = 1;
    bool empty = ndim == 0;
    for (qxSize i = 0; i < keep; ++i) {
        if (dims[i] == 0)
            empty = true;
        else if (!mulSize(nonzero, dims[i], &nonzero))
            return false;
    }
    if (keep > 2) {
        out->assign(dims, keep);
    } else {
        qxSize two[2] = {1, 1};
        if (ndim == 0) two[0] = two[1] = 0;
        for (qxSize i = 0; i < keep; ++i) two[i] = dims[i];
        out->assign(two, 2);
    }
    *numel = empty ? 0 : nonzero;
    return true;
}

std::size_t classElementSize(qxClassID cls) {
    switch (cls) {
        case qxLOGICAL_CLASS:
        case qxINT8_CLASS:
        case qxUINT8_CLASS:
            return 1;
        case qxCHAR_CLASS:
        case qxINT16_CLASS:
        case qxUINT16_CLASS:
            return 2;
        case qxSINGLE_CLASS:
        case qxINT32_CLASS:
        case qxUINT32_CLASS:
            return 4;
        case qxDOUBLE_CLASS:
        case qxINT64_CLASS:
        case qxUINT64_CLASS:
            return 8;
        default:
            return 0;
    }
}

qxArray* newArray(qxClassID cls, Dims&& dims, qxSize numel, bool withExtra) noexcept {
    try {
        std::unique_ptr<Extra> extra;
        if (withExtra) extra.reset(new Extra);
        qxArray* a = new qxArray(cls, std::move(dims), numel);
        a->extra = std::move(extra);
        return a;
    } catch (...) {
        return nullptr;
    }
}

qxArray* sharedCopy(const qxArray* a) noexcept {
    if (!a) return nullptr;
    try {
        Dims dims(a->dims);
        std::unique_ptr<qxArray, ArrayDeleter> copy(new qxArray(a->cls, std::move(dims), a->numel));
        copy->complex = a->complex;
        copy->sparse = a->sparse;
        copy->real = a->real;
        copy->imag = a->imag;
        if (a->extra) copy->extra.reset(new Extra(*a->extra));
        if (a->slotCount > 0) {
            copy->slots = allocateSlots(a->slotCount);
            if (!copy->slots) return nullptr;
            copy->slotCount = a->slotCount;
            for (qxSize i = 0; i < a->slotCount; ++i) {
                if (!a->slots[i]) continue;
                copy->slots[i] = sharedCopy(a->slots[i]);
                if (!copy->slots[i]) return nullptr;
            }
        }
        return copy.release();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace qx::impl

using namespace qx::impl;

namespace {

qxArray* createElementArray(qxSize ndim, const qxSize* dims, qxClassID cls, bool complex) {
    Dims d;
    qxSize numel = 0;
    try {
        if (!normalizeDims(ndim, dims, &d, &numel)) return nullptr;
    } catch (...) {
        return nullptr;
    }
    std::size_t bytes = 0;
    if (!byteCount(numel, classElementSize(cls), &bytes)) return nullptr;
    std::shared_ptr<qx::Block> re, im;
    if (bytes > 0) {
        re = allocateBlock(bytes);
        if (!re) return nullptr;
        if (complex) {
            im = allocateBlock(bytes);
            if (!im) return nullptr;
        }
    }
    qxArray* a = newArray(cls, std::move(d), numel);
    if (!a) return nullptr;
    a->complex = complex;
    a->real = std::move(re);
    a->imag = std::move(im);
    return a;
}

}  // namespace

qxArray* qxCreateNumericArray(qxSize ndim, const qxSize* dims, qxClassID classID,
                              qxComplexity complexity) {
    if (complexity != qxREAL && complexity != qxCOMPLEX) return nullptr;
    if (classID == qxLOGICAL_CLASS) {
        if (complexity == qxCOMPLEX) return nullptr;
    } else if (!isNumericClass(classID)) {
        return nullptr;
    }
    return createElementArray(ndim, dims, classID, complexity == qxCOMPLEX);
}

qxArray* qxCreateNumericMatrix(qxSize m, qxSize n, qxClassID classID, qxComplexity complexity) {
    const qxSize dims[2] = {m, n};
    return qxCreateNumericArray(2, dims, classID, complexity);
}

qxArray* qxCreateCharArray(qxSize ndim, const qxSize* dims) {
    return createElementArray(ndim, dims, qxCHAR_CLASS, false);
}

void qxDestroyArray(qxArray* array) { delete array; }

std::size_t qxGetClassElementSize(qxClassID classID) { return qx::impl::classElementSize(classID); }

void* qxCalloc(std::size_t n, std::size_t size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(n, size, &bytes)) return nullptr;
    return std::calloc(n, size);
}

void qxFree(void* p) { std::free(p); }

qxClassID qxGetClassID(const qxArray* a) { return a ? a->cls : qxUNKNOWN_CLASS; }

bool qxIsSparse(const qxArray* a) { return a && a->sparse; }

bool qxIsComplex(const qxArray* a) { return a && a->complex && a->imag; }

bool qxIsNumeric(const qxArray* a) { return a && isNumericClass(a->cls); }

bool qxIsEmpty(const qxArray* a) { return a && a->numel == 0; }

bool qxIsScalar(const qxArray* a) {
    return a && a->dims.size() == 2 && a->dims[0] == 1 && a->dims[1] == 1;
}

qxSize qxGetNumberOfDimensions(const qxArray* a) { return a ? a->dims.size() : 0; }

const qxSize* qxGetDimensions(const qxArray* a) { return a ? a->dims.data() : nullptr; }

qxSize qxGetM(const qxArray* a) { return a ? a->dims[0] : 0; }

qxSize qxGetN(const qxArray* a) {
    if (!a) return 0;
    qxSize n = 1;
    for (std::size_t i = 1; i < a->dims.size(); ++i) n *= a->dims[i];  // bounded by numel
    return n;
}

qxSize qxGetNumberOfElements(const qxArray* a) { return a ? a->numel : 0; }

std::size_t qxGetElementSize(const qxArray* a) { return a ? classElementSize(a->cls) : 0; }

void* qxGetData(const qxArray* a) { return a && a->real ? a->real->data() : nullptr; }

void* qxGetImagData(const qxArray* a) { return a && a->imag ? a->imag->data() : nullptr; }

bool qxSetDimensions(qxArray* a, const qxSize* dims, qxSize ndim) {
    if (!a) return false;
    Dims d;
    qxSize numel = 0;
    try {
        if (!normalizeDims(ndim, dims, &d, &numel)) return false;
    } catch (...) {
        return false;
    }
    if (numel != a->numel) return false;
    // The compressed columns are laid out for the current column count.
    if (a->sparse && d != a->dims) return false;
    a->dims = std::move(d);
    return true;
}

std::size_t qxLiveArrayCount() { return liveArrays.load(std::memory_order_relaxed); }
