#include <object/object_type.hpp>

#include <core/entry.hpp>
#include <core/errors.hpp>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace veldra {

namespace {

using Dims = std::vector<qxSize>;
using Owner = matrix::unique_array_ptr;

VeldraObject* as(PyObject* self) {
    return reinterpret_cast<VeldraObject*>(self);
}

bool isWhole(const VeldraObject* o) {
    return o->index.empty();
}

// A zero-filled instance with its lists constructed; nullptr on failure.
VeldraObject* allocate() {
    PyObject* self = VeldraObjectType.tp_alloc(&VeldraObjectType, 0);
    if (!self) return nullptr;
    VeldraObject* o = as(self);
    new (&o->ownedRoot) Owner();
    new (&o->element) Owner();
    new (&o->index) Dims();
    new (&o->dims) Dims();
    new (&o->subDims) Dims();
    new (&o->source) PyRef();
    return o;
}

void objectDealloc(PyObject* self) {
    VeldraObject* o = as(self);
    // The element reference goes before the root it points into; element
    // objects keep the object they were indexed from, and so the root they
    // share, alive until they go.
    o->element.~Owner();
    o->ownedRoot.~Owner();
    o->root = nullptr;
    o->index.~Dims();
    o->dims.~Dims();
    o->subDims.~Dims();
    o->source.~PyRef();
    Py_TYPE(self)->tp_free(self);
}

const Dims& shownDims(const VeldraObject* o) {
    return isWhole(o) ? o->dims : o->subDims;
}

Py_ssize_t objectLength(PyObject* self) {
    const Dims& d = shownDims(as(self));
    return d.empty() ? 0 : static_cast<Py_ssize_t>(d.front());
}

PyObject* objectItem(PyObject* self, Py_ssize_t i) {
    const VeldraObject* o = as(self);
    const std::size_t k = o->index.size();
    if (k == o->dims.size() || i < 0 || static_cast<long long>(i) >= static_cast<long long>(o->dims[k])) {
        setErrorFromMessage(PyExc_IndexError, msg::qxarray::IndexExceedsDim());
        return nullptr;
    }
    VeldraObject* item = allocate();
    if (!item) return nullptr;
    PyRef owner = PyRef::steal(reinterpret_cast<PyObject*>(item));
    item->root = o->root;
    item->index = o->index;
    item->index.push_back(static_cast<qxSize>(i));
    item->dims = o->dims;
    item->subDims.assign(o->dims.begin() + static_cast<std::ptrdiff_t>(k + 1), o->dims.end());
    item->source = PyRef::borrow(self);
    if (item->index.size() == item->dims.size()) {
        item->subDims = {1, 1};
        if (vdutil::matrixref::refIsRef(item->root))
            item->element.reset(vdutil::matrixref::refElementIndexRef(item->root, item->index));
        if (!item->element) {
            setErrorFromMessage(PyExc_SystemError, msg::qxarray::ReferenceDoesNotExist());
            return nullptr;
        }
    }
    return owner.release();
}

PyObject* objectSize(PyObject* self, void*) {
    const Dims& d = shownDims(as(self));
    PyRef t = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(d.size())));
    if (!t) return nullptr;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] > static_cast<qxSize>(std::numeric_limits<std::int32_t>::max())) {
            PyErr_SetString(PyExc_OverflowError, "a dimension of the VELDRA object does not fit 32 bits");
            return nullptr;
        }
        PyObject* v = compat::intFromSize(d[i]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), v);
    }
    return t.release();
}

std::string dimsText(const Dims& d) {
    std::string text;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (i) text += "-by-";
        text += std::to_string(d[i]);
    }
    return text;
}

// "<veldra.object 2-by-3>"; an element or sub-array says where it was taken
// from, and references into an engine that has gone say so.
PyObject* objectRepr(PyObject* self) {
    const VeldraObject* o = as(self);
    std::string text = "<veldra.object " + dimsText(shownDims(o));
    if (!isWhole(o)) {
        text += ", a";
        for (qxSize i : o->index) text += "[" + std::to_string(i) + "]";
        text += " of a " + dimsText(o->dims);
    }
    if (!vdutil::matrixref::refIsRef(o->root)) text += ", of an engine that has gone";
    return compat::textFromAscii(text + ">");
}

PyObject* objectCompare(PyObject* self, PyObject* other, int op) {
    if (std::strcmp(Py_TYPE(other)->tp_name, "veldra.object") != 0) {
        setErrorFromMessage(PyExc_TypeError, msg::qxarray::CompareObjectOnly());
        return nullptr;
    }
    switch (op) {
    case Py_LT:
        setErrorFromMessage(PyExc_TypeError, msg::qxarray::ObjectCantLessThan());
        return nullptr;
    case Py_LE:
        setErrorFromMessage(PyExc_TypeError, msg::qxarray::ObjectCantLessEqual());
        return nullptr;
    case Py_GT:
        setErrorFromMessage(PyExc_TypeError, msg::qxarray::ObjectCantGreaterThan());
        return nullptr;
    case Py_GE:
        setErrorFromMessage(PyExc_TypeError, msg::qxarray::ObjectCantGreaterEqual());
        return nullptr;
    default:
        break;
    }
    const VeldraObject* a = as(self);
    const VeldraObject* b = as(other);
    const bool equal = a->root == b->root && a->element.get() == b->element.get() && a->dims == b->dims &&
                       a->subDims == b->subDims && a->index == b->index;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// An engine reference means nothing outside the engine it came from, so
// pickling (and with it copying to another process) is refused up front
// rather than failing later with a generic "cannot pickle".
PyObject* objectReduce(PyObject*, PyObject*) {
    setErrorFromMessage(PyExc_TypeError, msg::qxarray::ObjectNotPicklable());
    return nullptr;
}

// The slots are entered through entry<>, as the module functions are: a
// failure to allocate is MemoryError, nothing thrown reaches the interpreter.
PyMethodDef kMethods[] = {
    {"__reduce_ex__", entry<&objectReduce>, METH_O, nullptr},
    {"__reduce__", entry<&objectReduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods kSequence = {};
PyGetSetDef kGetSet[] = {
    {"size", entry<&objectSize>, nullptr, "dimensions of the 'veldra.object' object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// Filled by readyObjectType; a static type lives as long as the process.
PyTypeObject VeldraObjectType = {};

bool readyObjectType() {
    if (VeldraObjectType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&VeldraObjectType), 1);
    kSequence.sq_length = entry<&objectLength>;
    kSequence.sq_item = entry<&objectItem>;
    VeldraObjectType.tp_name = "veldra.object";
    VeldraObjectType.tp_doc = "VELDRA object";
    VeldraObjectType.tp_basicsize = sizeof(VeldraObject);
    VeldraObjectType.tp_itemsize = 0;
    VeldraObjectType.tp_flags = Py_TPFLAGS_DEFAULT;
    VeldraObjectType.tp_dealloc = objectDealloc;
    VeldraObjectType.tp_as_sequence = &kSequence;
    VeldraObjectType.tp_getset = kGetSet;
    VeldraObjectType.tp_methods = kMethods;
    VeldraObjectType.tp_richcompare = entry<&objectCompare>;
    VeldraObjectType.tp_repr = entry<&objectRepr>;
    VeldraObjectType.tp_hash = PyObject_HashNotImplemented;
    VeldraObjectType.tp_new = nullptr;
    return PyType_Ready(&VeldraObjectType) == 0;
}

PyObject* newWholeObject(matrix::unique_array_ptr root) {
    VeldraObject* o = allocate();
    if (!o) return nullptr;
    const qxSize n = qxGetNumberOfDimensions(root.get());
    const qxSize* d = qxGetDimensions(root.get());
    o->dims.assign(d, d + n);
    o->root = root.get();
    o->ownedRoot = std::move(root);
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace veldra
