// Sparse matrices in compressed-column form.
#include "array_impl.hpp"

#include <utility>

using namespace qx::impl;

namespace {

qxArray* createSparse(qxSize m, qxSize n, qxSize nzmax, qxClassID cls, bool complex) {
    qxSize numel = 0;
    if (!mulSize(m, n, &numel)) return nullptr;
    if (nzmax == 0) nzmax = 1;
    qxSize columnStarts = n + 1;
    if (columnStarts == 0) return nullptr;
    std::size_t irBytes = 0, jcBytes = 0, valueBytes = 0;
    if (!byteCount(nzmax, sizeof(qxSize), &irBytes) ||
        !byteCount(columnStarts, sizeof(qxSize), &jcBytes) ||
        !byteCount(nzmax, classElementSize(cls), &valueBytes))
        return nullptr;
    auto ir = allocateBlock(irBytes);
    auto jc = allocateBlock(jcBytes);
    auto re = allocateBlock(valueBytes);
    if (!ir || !jc || !re) return nullptr;
    std::shared_ptr<qx::Block> im;
    if (complex) {
        im = allocateBlock(valueBytes);
        if (!im) return nullptr;
    }
    const qxSize two[2] = {m, n};
    Dims dims;
    dims.assign(two, 2);
    qxArray* a = newArray(cls, std::move(dims), numel, true);
    if (!a) return nullptr;
    a->sparse = true;
    a->complex = complex;
    a->extra->nzmax = nzmax;
    a->extra->ir = std::move(ir);
    a->extra->jc = std::move(jc);
    a->real = std::move(re);
    a->imag = std::move(im);
    return a;
}

}  // namespace

qxArray* qxCreateSparse(qxSize m, qxSize n, qxSize nzmax, qxComplexity complexity) {
    if (complexity != qxREAL && complexity != qxCOMPLEX) return nullptr;
    return createSparse(m, n, nzmax, qxDOUBLE_CLASS, complexity == qxCOMPLEX);
}

qxArray* qxCreateSparseLogicalMatrix(qxSize m, qxSize n, qxSize nzmax) {
    return createSparse(m, n, nzmax, qxLOGICAL_CLASS, false);
}

qxSize* qxGetIr(const qxArray* a) {
    return a && a->sparse ? static_cast<qxSize*>(a->extra->ir->data()) : nullptr;
}

qxSize* qxGetJc(const qxArray* a) {
    return a && a->sparse ? static_cast<qxSize*>(a->extra->jc->data()) : nullptr;
}

qxSize qxGetNzmax(const qxArray* a) { return a && a->sparse ? a->extra->nzmax : 0; }
