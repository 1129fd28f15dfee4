// Function values, engine object arrays and references to their elements.
#include "array_impl.hpp"

#include <qx/vdutil.hpp>

#include <utility>

using namespace qx::impl;

qxArray* qxCreateFunctionHandle(const char* name) {
    if (!name || name[0] == '\0') return nullptr;
    try {
        std::string copy(name);
        Shape shape;
        shape.two[0] = shape.two[1] = 1;
        Record* a = newRecord(qxFUNCTION_CLASS, 0, shape);
        if (!a) return nullptr;
        if (!addExtra(a)) {
            qxDestroyArray(a);
            return nullptr;
        }
        a->extra->functionName = std::move(copy);
        return a;
    } catch (...) {
        return nullptr;
    }
}

const char* qxGetFunctionName(const qxArray* a) {
    return a && a->cls == qxFUNCTION_CLASS ? full(a)->extra->functionName.c_str() : nullptr;
}

namespace qx {

namespace {
// The ids of object arrays: retained with the session while the list lives.
struct IdList {
    IdList(const std::uint64_t* first, qxSize n, std::shared_ptr<const ObjectSession> s)
        : ids(first, first + n), session(std::move(s)) {
        if (session && !ids.empty()) session->retain(ids.data(), ids.size());
    }
    ~IdList() {
        if (session && !ids.empty()) session->release(ids.data(), ids.size());
    }
    IdList(const IdList&) = delete;
    IdList& operator=(const IdList&) = delete;
    std::vector<std::uint64_t> ids;
    std::shared_ptr<const ObjectSession> session;
};
}  // namespace

qxArray* createObjectArray(qxSize ndim, const qxSize* dims, const std::uint64_t* ids,
                           std::shared_ptr<const ObjectSession> session) {
    try {
        Shape shape;
        if (!normalizeDims(ndim, dims, &shape)) return nullptr;
        const qxSize numel = shape.numel;
        if (numel > 0 && !ids) return nullptr;
        std::size_t bytes = 0;
        if (!byteCount(numel, sizeof(std::uint64_t), &bytes)) return nullptr;
        auto list = std::make_shared<IdList>(ids, numel, session);
        Record* a = newRecord(qxOBJECT_CLASS, 0, shape);
        if (!a) return nullptr;
        if (!addExtra(a)) {
            qxDestroyArray(a);
            return nullptr;
        }
        a->extra->ids = std::shared_ptr<const std::vector<std::uint64_t>>(list, &list->ids);
        a->extra->session = std::move(session);
        return a;
    } catch (...) {
        return nullptr;
    }
}

const std::uint64_t* objectIds(const qxArray* a) {
    const Extra* x = a && a->cls == qxOBJECT_CLASS ? full(a)->extra : nullptr;
    if (!x || !x->ids || x->ids->empty()) return nullptr;
    return x->ids->data();
}

std::shared_ptr<const ObjectSession> objectSession(const qxArray* a) {
    const Extra* x = a && a->cls == qxOBJECT_CLASS ? full(a)->extra : nullptr;
    return x ? x->session : nullptr;
}

}  // namespace qx

namespace vdutil::matrixref {

bool refIsRef(const qxArray* a) {
    const Extra* x = a && a->cls == qxOBJECT_CLASS ? full(a)->extra : nullptr;
    return x && x->session && x->session->alive();
}

qxArray* refElementIndexRef(const qxArray* a, const std::vector<qxSize>& indices) {
    if (!refIsRef(a) || indices.size() != ndimOf(a)) return nullptr;
    const qxSize* dims = dimsOf(a);
    // Column-major: the first index varies fastest.
    qxSize linear = 0;
    qxSize stride = 1;
    for (std::size_t k = 0; k < indices.size(); ++k) {
        if (indices[k] >= dims[k]) return nullptr;
        linear += indices[k] * stride;  // bounded by numel, which fits
        stride *= dims[k];
    }
    const Extra& x = *full(a)->extra;
    if (!x.ids || linear >= x.ids->size()) return nullptr;
    const std::uint64_t id = (*x.ids)[linear];
    const qxSize one[2] = {1, 1};
    return qx::createObjectArray(2, one, &id, x.session);
}

}  // namespace vdutil::matrixref
