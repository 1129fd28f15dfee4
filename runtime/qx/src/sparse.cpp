// Sparse matrices in compressed-column form.
#include "array_impl.hpp"

#include <utility>

using namespace qx::impl;

namespace {

qxArray* createSparse(qxSize m, qxSize n, qxSize nzmax, qxClassID cls, bool complex) {
    qxSize numel = 0;
    if (!mulSize(m, n, &numel)) return nullptr;  // numelOf multiplies the two unchecked
    if (nzmax == 0) nzmax = 1;
    qxSize columnStarts = n + 1;
    if (columnStarts == 0) return nullptr;
    std::size_t irBytes = 0, jcBytes = 0, valueBytes = 0;
    if (!byteCount(nzmax, sizeof(qxSize), &irBytes) || !byteCount(columnStarts, sizeof(qxSize), &jcBytes) ||
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
    Shape shape;
    shape.two[0] = m;
    shape.two[1] = n;
    Record* a = newRecord(cls, qxArray::kSparse | (complex ? qxArray::kComplex : 0), shape);
    if (!a) return nullptr;
    if (!addExtra(a)) {
        qxDestroyArray(a);
        return nullptr;
    }
    a->extra->nzmax = nzmax;
    a->extra->ir = std::move(ir);
    a->extra->jc = std::move(jc);
    a->extra->imag = std::move(im);
    a->payload.real = std::move(re);
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
    return a && a->has(qxArray::kSparse) ? static_cast<qxSize*>(full(a)->extra->ir->data()) : nullptr;
}

qxSize* qxGetJc(const qxArray* a) {
    return a && a->has(qxArray::kSparse) ? static_cast<qxSize*>(full(a)->extra->jc->data()) : nullptr;
}

qxSize qxGetNzmax(const qxArray* a) {
    return a && a->has(qxArray::kSparse) ? full(a)->extra->nzmax : 0;
}
