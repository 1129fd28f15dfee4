#include <convert/block_type.hpp>

#include <cstring>
#include <new>

namespace PythonQxarray {

using veldra::PyRef;

namespace {

struct EngineBlock {
    PyObject_HEAD
    qxArray* array;  // owned: a shared copy
    bool imag;       // the part exported
    int ndim;
    Py_ssize_t* shape;    // PyMem-owned: ndim dimensions, ndim strides, items, bytes
    Py_ssize_t* strides;  // points into shape's allocation
};

PyTypeObject BlockType = {};

thread_local bool tlsNumpyResults = false;

const char* formatOf(int classID) {
    switch (classID) {
    case qxDOUBLE_CLASS: return "d";
    case qxSINGLE_CLASS: return "f";
    case qxINT8_CLASS: return "b";
    case qxUINT8_CLASS: return "B";
    case qxINT16_CLASS: return "h";
    case qxUINT16_CLASS: return "H";
    case qxINT32_CLASS: return "i";
    case qxUINT32_CLASS: return "I";
    case qxINT64_CLASS: return "q";
    case qxUINT64_CLASS: return "Q";
    case qxLOGICAL_CLASS: return "?";
    default: return nullptr;
    }
}

void blockDealloc(PyObject* self) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    qxDestroyArray(b->array);
    PyMem_Free(b->shape);
    Py_TYPE(self)->tp_free(self);
}

char emptyData = 0;  // what an empty view points to

void* dataOf(const EngineBlock* b) {
    void* p = b->imag ? qxGetImagData(b->array) : qxGetData(b->array);
    return p != nullptr ? p : &emptyData;
}

// Read-only; consumers that take no strides or no format get the elements
// as one flat run (column-major order) or as bytes.
int blockGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "engine results are read-only; copy them to write");
        view->obj = nullptr;
        return -1;
    }
    const Py_ssize_t width = static_cast<Py_ssize_t>(qxGetElementSize(b->array));
    const Py_ssize_t count = static_cast<Py_ssize_t>(qxGetNumberOfElements(b->array));
    view->buf = dataOf(b);
    view->obj = Py_NewRef(self);
    view->len = count * width;
    view->readonly = 1;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    const bool withFormat = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    view->itemsize = withFormat ? width : 1;
    view->format = withFormat ? const_cast<char*>(formatOf(qxGetClassID(b->array))) : nullptr;
    if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES && withFormat) {
        view->ndim = b->ndim;
        view->shape = b->shape;
        view->strides = b->strides;
    } else {
        // One dimension: C-contiguous whichever way it is read.
        view->ndim = 1;
        // The flat count of items, or of bytes without a format.
        view->shape = (flags & PyBUF_ND) == PyBUF_ND ? b->shape + 2 * b->ndim + (withFormat ? 0 : 1) : nullptr;
        view->strides = nullptr;
    }
    return 0;
}

PyBufferProcs kBuffer = {};

// New reference; `a` is shared, not taken.
PyObject* newBlock(const qxArray* a, bool imag) {
    matrix::unique_array_ptr copy(matrix::detail::shared_copy(a));
    const qxSize ndim = qxGetNumberOfDimensions(copy.get());
    const qxSize* dims = qxGetDimensions(copy.get());
    auto* shape = static_cast<Py_ssize_t*>(PyMem_Malloc(sizeof(Py_ssize_t) * (2 * ndim + 2)));
    if (!shape) return PyErr_NoMemory();
    Py_ssize_t stride = static_cast<Py_ssize_t>(qxGetElementSize(copy.get()));
    for (qxSize i = 0; i < ndim; ++i) {
        shape[i] = static_cast<Py_ssize_t>(dims[i]);
        shape[ndim + i] = stride;
        stride *= shape[i];
    }
    shape[2 * ndim] = static_cast<Py_ssize_t>(qxGetNumberOfElements(copy.get()));
    shape[2 * ndim + 1] = shape[2 * ndim] * static_cast<Py_ssize_t>(qxGetElementSize(copy.get()));
    auto* b = PyObject_New(EngineBlock, &BlockType);
    if (!b) {
        PyMem_Free(shape);
        return nullptr;
    }
    b->array = copy.release();
    b->imag = imag;
    b->ndim = static_cast<int>(ndim);
    b->shape = shape;
    b->strides = shape + ndim;
    return reinterpret_cast<PyObject*>(b);
}

PyObject* numpyModule() { return PyImport_ImportModule("numpy"); }

}  // namespace

bool readyBlockType() {
    if (BlockType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&BlockType), 1);
    kBuffer.bf_getbuffer = blockGetBuffer;
    BlockType.tp_name = "veldra.engine.EngineBlock";
    BlockType.tp_doc = "The elements of an engine result, read-only (the base of its NumPy array).";
    BlockType.tp_basicsize = sizeof(EngineBlock);
    BlockType.tp_flags = Py_TPFLAGS_DEFAULT
#ifdef VELDRA_PY2
                         | Py_TPFLAGS_HAVE_NEWBUFFER
#endif
        ;
    BlockType.tp_dealloc = blockDealloc;
    BlockType.tp_as_buffer = &kBuffer;
    BlockType.tp_new = nullptr;
    return PyType_Ready(&BlockType) == 0;
}

PyObject* numpyFromArray(const qxArray* a) {
    PyRef np = PyRef::steal(numpyModule());
    if (!np) return nullptr;
    PyRef real = PyRef::steal(newBlock(a, false));
    if (!real) return nullptr;
    PyRef view = PyRef::steal(PyObject_CallMethod(np.get(), "asarray", "O", real.get()));
    if (!view || !qxIsComplex(a)) return view.release();
    PyRef imagBlock = PyRef::steal(newBlock(a, true));
    if (!imagBlock) return nullptr;
    PyRef imag = PyRef::steal(PyObject_CallMethod(np.get(), "asarray", "O", imagBlock.get()));
    if (!imag) return nullptr;
    PyRef shape = PyRef::steal(PyObject_GetAttrString(view.get(), "shape"));
    if (!shape) return nullptr;
    const char* dtype = qxGetClassID(a) == qxSINGLE_CLASS ? "complex64"
                        : qxGetClassID(a) == qxDOUBLE_CLASS ? "complex128" : nullptr;
    PyRef out;
    if (dtype != nullptr) {
        out = PyRef::steal(PyObject_CallMethod(np.get(), "empty", "Os", shape.get(), dtype));
        if (!out || PyObject_SetAttrString(out.get(), "real", view.get()) < 0 ||
            PyObject_SetAttrString(out.get(), "imag", imag.get()) < 0)
            return nullptr;
    } else {
        // Complex integers have no NumPy dtype: complex doubles of their values.
        PyRef j = PyRef::steal(PyComplex_FromDoubles(0.0, 1.0));
        PyRef scaled = j ? PyRef::steal(PyNumber_Multiply(imag.get(), j.get())) : PyRef();
        if (!scaled) return nullptr;
        out = PyRef::steal(PyNumber_Add(view.get(), scaled.get()));
    }
    return out.release();
}

qxArray* sharedEngineArray(PyObject* value, const Py_buffer& view, qxClassID classID, bool isComplex) {
    if (isComplex) return nullptr;
    // The chain of bases up to the block: ndarray -> (memoryview ->) block.
    PyRef current = PyRef::borrow(value);
    for (int depth = 0; depth < 8 && current && Py_TYPE(current.get()) != &BlockType; ++depth) {
        if (PyMemoryView_Check(current.get())) {
            current = PyRef::borrow(PyMemoryView_GET_BUFFER(current.get())->obj);
            continue;
        }
        PyObject* base = PyObject_GetAttrString(current.get(), "base");
        if (!base) PyErr_Clear();
        current = PyRef::steal(base);
    }
    if (!current || Py_TYPE(current.get()) != &BlockType) return nullptr;
    const auto* b = reinterpret_cast<const EngineBlock*>(current.get());
    const qxArray* a = b->array;
    if (b->imag || qxIsComplex(a) || qxGetClassID(a) != classID || view.buf != dataOf(b) ||
        view.ndim != b->ndim)
        return nullptr;
    for (int i = 0; i < view.ndim; ++i)
        if (view.shape[i] != b->shape[i] || (b->shape[i] > 1 && view.strides[i] != b->strides[i])) return nullptr;
    return matrix::detail::shared_copy(a);
}

bool numpyResults() { return tlsNumpyResults; }

NumpyResults::NumpyResults(bool on) : saved_(tlsNumpyResults) { tlsNumpyResults = on; }
NumpyResults::~NumpyResults() { tlsNumpyResults = saved_; }

}  // namespace PythonQxarray
