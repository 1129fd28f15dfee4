#include <convert/element_view.hpp>

#include <core/compat.hpp>

#include <cstring>
#include <new>
#include <vector>

namespace PythonQxarray {
namespace {

struct ElementView {
    PyObject_HEAD PyObject* base;  // owned: exports the items as one flat run
    char format[2];                // one struct character
    Py_ssize_t itemsize;
    Py_ssize_t count;  // items in all
    int ndim;
    Py_ssize_t* shape;  // ndim dimensions, then ndim strides (PyMem)
};

PyTypeObject ViewType = {};
PyBufferProcs kViewBuffer = {};

void viewDealloc(PyObject* self) {
    auto* v = reinterpret_cast<ElementView*>(self);
    Py_XDECREF(v->base);
    PyMem_Free(v->shape);
    Py_TYPE(self)->tp_free(self);
}

bool isContiguousBothWays(const ElementView* v) {
    int big = 0;
    for (int i = 0; i < v->ndim; ++i) big += v->shape[i] > 1;
    return big <= 1;
}

// The base's buffer is held for as long as the view is exported: its
// Py_buffer lives in `internal` and is released with the view.
int viewGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* v = reinterpret_cast<ElementView*>(self);
    view->obj = nullptr;
    const bool strided = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    if (shaped && !strided && !isContiguousBothWays(v)) {
        PyErr_SetString(PyExc_BufferError, "the elements are in column-major order: ask for strides");
        return -1;
    }
    auto* inner = static_cast<Py_buffer*>(PyMem_Malloc(sizeof(Py_buffer)));
    if (inner == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (PyObject_GetBuffer(v->base, inner, PyBUF_SIMPLE | (flags & PyBUF_WRITABLE)) < 0) {
        PyMem_Free(inner);
        return -1;
    }
    if (inner->len != v->count * v->itemsize) {
        PyBuffer_Release(inner);
        PyMem_Free(inner);
        PyErr_SetString(PyExc_BufferError, "the element buffer changed size");
        return -1;
    }
    const bool withFormat = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    view->buf = inner->buf;
    view->obj = Py_NewRef(self);
    view->len = inner->len;
    view->readonly = inner->readonly;
    view->itemsize = withFormat || shaped ? v->itemsize : 1;
    view->format = withFormat ? v->format : nullptr;
    view->suboffsets = nullptr;
    view->internal = inner;
    if (strided) {
        view->ndim = v->ndim;
        view->shape = v->shape;
        view->strides = v->shape + v->ndim;
    } else {
        // One flat run, of items (shaped) or of bytes.
        view->ndim = shaped ? v->ndim : 1;
        view->shape = shaped ? v->shape : nullptr;
        view->strides = nullptr;
    }
    return 0;
}

void viewReleaseBuffer(PyObject*, Py_buffer* view) {
    auto* inner = static_cast<Py_buffer*>(view->internal);
    if (inner == nullptr) return;
    PyBuffer_Release(inner);
    PyMem_Free(inner);
}

Py_ssize_t sizeOfFormat(char c) {
    switch (c) {
    case 'b':
    case 'B':
    case '?':
        return 1;
    case 'h':
    case 'H':
        return 2;
    case 'i':
    case 'I':
    case 'f':
        return 4;
    case 'q':
    case 'Q':
    case 'd':
        return 8;
    default:
        return 0;
    }
}

}  // namespace

bool readyElementViewType() {
    if (ViewType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&ViewType), 1);
    kViewBuffer.bf_getbuffer = viewGetBuffer;
    kViewBuffer.bf_releasebuffer = viewReleaseBuffer;
    ViewType.tp_name = "veldra.engine.ElementView";
    ViewType.tp_doc = "The elements of a typed array with its shape, for memoryview().";
    ViewType.tp_basicsize = sizeof(ElementView);
    ViewType.tp_flags = Py_TPFLAGS_DEFAULT
#ifdef VELDRA_PY2
                        | Py_TPFLAGS_HAVE_NEWBUFFER
#endif
        ;
    ViewType.tp_dealloc = viewDealloc;
    ViewType.tp_as_buffer = &kViewBuffer;
    return PyType_Ready(&ViewType) == 0;
}

}  // namespace PythonQxarray

namespace veldra {

PyObject* elementViewImpl(PyObject*, PyObject* args) {
    using PythonQxarray::ElementView;
    PyObject* base = nullptr;
    const char* format = nullptr;
    PyObject* dims = nullptr;
    if (!PyArg_ParseTuple(args, "OsO!", &base, &format, &PyTuple_Type, &dims)) return nullptr;
    const Py_ssize_t itemsize = std::strlen(format) == 1 ? PythonQxarray::sizeOfFormat(format[0]) : 0;
    if (itemsize == 0) {
        PyErr_Format(PyExc_ValueError, "no element format %s", format);
        return nullptr;
    }
    const Py_ssize_t ndim = PyTuple_GET_SIZE(dims);
    if (ndim < 1 || ndim > 64) {
        PyErr_SetString(PyExc_ValueError, "an element view has 1 to 64 dimensions");
        return nullptr;
    }
    std::vector<Py_ssize_t> shape(static_cast<std::size_t>(2 * ndim));
    Py_ssize_t count = 1, stride = itemsize;
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        const Py_ssize_t d = PyNumber_AsSsize_t(PyTuple_GET_ITEM(dims, i), PyExc_OverflowError);
        if (d == -1 && PyErr_Occurred()) return nullptr;
        if (d < 0 || (d > 0 && count > PY_SSIZE_T_MAX / itemsize / d)) {
            PyErr_SetString(PyExc_ValueError, "bad dimensions for an element view");
            return nullptr;
        }
        shape[static_cast<std::size_t>(i)] = d;
        shape[static_cast<std::size_t>(ndim + i)] = stride;  // column-major
        count *= d;
        stride *= d > 0 ? d : 1;
    }
    PyRef self = PyRef::steal(PyType_GenericAlloc(&PythonQxarray::ViewType, 0));
    if (!self) return nullptr;
    auto* v = reinterpret_cast<ElementView*>(self.get());
    v->shape = static_cast<Py_ssize_t*>(PyMem_Malloc(shape.size() * sizeof(Py_ssize_t)));
    if (v->shape == nullptr) return PyErr_NoMemory();
    std::memcpy(v->shape, shape.data(), shape.size() * sizeof(Py_ssize_t));
    v->base = Py_NewRef(base);
    v->format[0] = format[0];
    v->format[1] = '\0';
    v->itemsize = itemsize;
    v->count = count;
    v->ndim = static_cast<int>(ndim);
    return self.release();
}

}  // namespace veldra
