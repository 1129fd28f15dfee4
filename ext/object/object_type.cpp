#include <object/object_type.hpp>

#include <new>

namespace veldra {

namespace {

void objectDealloc(PyObject* self) {
    auto* o = reinterpret_cast<VeldraObject*>(self);
    if (o->source == nullptr) {
        qxDestroyArray(o->root);
    } else if (o->element != nullptr) {
        qxDestroyArray(o->element);
    }
    o->root = nullptr;
    o->element = nullptr;
    using Dims = std::vector<qxSize>;
    o->index.~Dims();
    o->dims.~Dims();
    o->subDims.~Dims();
    Py_CLEAR(o->source);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

// Filled by readyObjectType; a static type lives as long as the process.
PyTypeObject VeldraObjectType = {};

bool readyObjectType() {
    if (VeldraObjectType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&VeldraObjectType), 1);
    VeldraObjectType.tp_name = "veldra.object";
    VeldraObjectType.tp_doc = "VELDRA object";
    VeldraObjectType.tp_basicsize = sizeof(VeldraObject);
    VeldraObjectType.tp_itemsize = 0;
    VeldraObjectType.tp_flags = Py_TPFLAGS_DEFAULT;
    VeldraObjectType.tp_dealloc = objectDealloc;
    VeldraObjectType.tp_new = nullptr;
    return PyType_Ready(&VeldraObjectType) == 0;
}

}  // namespace veldra
