#include <convert/block_type.hpp>

#include <core/errors.hpp>

#include <qx/block.hpp>
#include <veldra/protocol/shared_blocks.hpp>

#include <sys/sysinfo.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace PythonQxarray {

using veldra::PyRef;

namespace {

// Two kinds: a view of an engine result (read-only), and an own block that
// zeros()/empty() made to be written here, writable until it is sent.
struct EngineBlock {
    PyObject_HEAD qxArray* array;  // owned: a shared copy
    bool imag;                     // the part exported
    bool flat;                     // a typed array's buffer: one dimension, array.array's typecode
    bool own;                      // made here to be written
    bool shared;                   // own, and sent since: the engine may hold it, so read-only
    char format[2];                // the item format, one struct code
    int ndim;
    Py_ssize_t exports;          // buffer exports alive
    Py_ssize_t writableExports;  // of which writable
    Py_ssize_t* shape;           // PyMem-owned: ndim dimensions, ndim strides, items, bytes
    Py_ssize_t* strides;         // points into shape's allocation
};

PyTypeObject BlockType = {};

thread_local bool tlsNumpyResults = false;

const char* formatOf(int classID) {
    switch (classID) {
    case qxDOUBLE_CLASS:
        return "d";
    case qxSINGLE_CLASS:
        return "f";
    case qxINT8_CLASS:
        return "b";
    case qxUINT8_CLASS:
        return "B";
    case qxINT16_CLASS:
        return "h";
    case qxUINT16_CLASS:
        return "H";
    case qxINT32_CLASS:
        return "i";
    case qxUINT32_CLASS:
        return "I";
    case qxINT64_CLASS:
        return "q";
    case qxUINT64_CLASS:
        return "Q";
    case qxLOGICAL_CLASS:
        return "?";
    default:
        return nullptr;
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

// Marks the exports that may write, for blockReleaseBuffer.
char writableExport = 0;

// Moves an own block onto a private copy of its elements, of the same
// engine dimensions, so that what was sent keeps its values.  Only while
// nothing exports it: no view sees the move.  False with an error set.
bool unshare(EngineBlock* b) {
    const qxArray* a = b->array;
    matrix::unique_array_ptr copy(
        qxCreateNumericArrayForOverwrite(qxGetNumberOfDimensions(a), qxGetDimensions(a), qxGetClassID(a), qxREAL));
    if (!copy) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(qxGetData(copy.get()), dataOf(b),
                static_cast<std::size_t>(qxGetNumberOfElements(a)) * qxGetElementSize(a));
    qxDestroyArray(b->array);
    b->array = copy.release();
    b->imag = false;
    b->shared = false;
    return true;
}

// Whether the elements may be written now: 1 for an own block not shared
// (a shared one is first moved onto a private copy when nothing exports
// it), 0 when they stay read-only, -1 with an error set.
int makeWritable(EngineBlock* b) {
    if (!b->own || (b->shared && b->exports > 0)) return 0;
    if (b->shared && !unshare(b)) return -1;
    return 1;
}

void refuseWrite(const EngineBlock* b, PyObject* type) {
    PyErr_SetString(type, b->own ? "the elements are shared with the engine and still viewed read-only; write "
                                   "through the typed array, or drop those views first"
                                 : "engine results are read-only; copy them to write");
}

// Read-only for an engine result and a shared own block, writable for an
// own block otherwise (also when not asked, as array.array does); asking
// to write a shared one that nothing exports moves it onto a private copy
// first.  Consumers that take no strides or no format get the elements as
// one flat run (column-major order) or as bytes.
int blockGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        const int writable = makeWritable(b);
        if (writable == 0) refuseWrite(b, PyExc_BufferError);
        if (writable != 1) return -1;
    }
    const bool writable = b->own && !b->shared;
    const Py_ssize_t width = static_cast<Py_ssize_t>(qxGetElementSize(b->array));
    const Py_ssize_t count = static_cast<Py_ssize_t>(qxGetNumberOfElements(b->array));
    view->buf = dataOf(b);
    view->obj = Py_NewRef(self);
    view->len = count * width;
    view->readonly = writable ? 0 : 1;
    view->suboffsets = nullptr;
    view->internal = writable ? &writableExport : nullptr;
    const bool withFormat = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    view->itemsize = withFormat ? width : 1;
    view->format = withFormat ? b->format : nullptr;
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
    ++b->exports;
    if (writable) ++b->writableExports;
    return 0;
}

void blockReleaseBuffer(PyObject* self, Py_buffer* view) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    --b->exports;
    if (view->internal == &writableExport) --b->writableExports;
}

PyBufferProcs kBuffer = {};

// New reference; `a` is shared, not taken.  A flat block exports the
// elements as one run, whatever the array's dimensions; an own one is
// flat, and writable.
PyObject* newBlock(const qxArray* a, bool imag, bool flat = false, bool own = false) {
    matrix::unique_array_ptr copy(matrix::detail::shared_copy(a));
    const qxSize ndim = flat ? 1 : qxGetNumberOfDimensions(copy.get());
    const qxSize* dims = qxGetDimensions(copy.get());
    const qxSize count = qxGetNumberOfElements(copy.get());
    auto* shape = static_cast<Py_ssize_t*>(PyMem_Malloc(sizeof(Py_ssize_t) * (2 * ndim + 2)));
    if (!shape) return PyErr_NoMemory();
    Py_ssize_t stride = static_cast<Py_ssize_t>(qxGetElementSize(copy.get()));
    for (qxSize i = 0; i < ndim; ++i) {
        shape[i] = static_cast<Py_ssize_t>(flat ? count : dims[i]);
        shape[ndim + i] = stride;
        stride *= shape[i];
    }
    shape[2 * ndim] = static_cast<Py_ssize_t>(count);
    shape[2 * ndim + 1] = shape[2 * ndim] * static_cast<Py_ssize_t>(qxGetElementSize(copy.get()));
    auto* b = PyObject_New(EngineBlock, &BlockType);
    if (!b) {
        PyMem_Free(shape);
        return nullptr;
    }
    const bool logical = qxGetClassID(copy.get()) == qxLOGICAL_CLASS;
    b->array = copy.release();
    b->imag = imag;
    b->flat = flat;
    b->own = own;
    b->shared = false;
    b->exports = 0;
    b->writableExports = 0;
    // Typed logical arrays keep bytes 0 and 1 under array.array's 'B'.
    b->format[0] = flat && logical ? 'B' : formatOf(qxGetClassID(b->array))[0];
    b->format[1] = '\0';
    b->ndim = static_cast<int>(ndim);
    b->shape = shape;
    b->strides = shape + ndim;
    return reinterpret_cast<PyObject*>(b);
}

Py_ssize_t countOf(const EngineBlock* b) {
    return b->shape[2 * b->ndim];
}
Py_ssize_t widthOf(const EngineBlock* b) {
    return static_cast<Py_ssize_t>(qxGetElementSize(b->array));
}

// What array.array's element access needs; the 2.7 build never hands
// these blocks to typed arrays (its typed arrays read array.array alone).
#ifndef VELDRA_PY2

template <typename T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Element i (in range) as array.array gives it.
PyObject* itemAt(const EngineBlock* b, Py_ssize_t i) {
    const char* p = static_cast<const char*>(dataOf(b)) + i * widthOf(b);
    switch (b->format[0]) {
    case 'd':
        return PyFloat_FromDouble(load<double>(p));
    case 'f':
        return PyFloat_FromDouble(load<float>(p));
    case 'b':
        return PyLong_FromLong(load<std::int8_t>(p));
    case 'B':
        return PyLong_FromLong(load<std::uint8_t>(p));
    case '?':
        return PyBool_FromLong(load<std::uint8_t>(p));
    case 'h':
        return PyLong_FromLong(load<std::int16_t>(p));
    case 'H':
        return PyLong_FromLong(load<std::uint16_t>(p));
    case 'i':
        return PyLong_FromLong(load<std::int32_t>(p));
    case 'I':
        return PyLong_FromUnsignedLong(load<std::uint32_t>(p));
    case 'q':
        return PyLong_FromLongLong(load<std::int64_t>(p));
    default:
        return PyLong_FromUnsignedLongLong(load<std::uint64_t>(p));
    }
}

Py_ssize_t blockLength(PyObject* self) {
    return countOf(reinterpret_cast<EngineBlock*>(self));
}

PyObject* blockItem(PyObject* self, Py_ssize_t i) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    if (i < 0 || i >= countOf(b)) {
        PyErr_SetString(PyExc_IndexError, "array index out of range");
        return nullptr;
    }
    return itemAt(b, i);
}

template <typename T>
void storeValue(char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// An integer item in the range of T, as array.array takes it: an index, else
// TypeError; out of range, OverflowError.
template <typename T>
int storeInteger(char* p, PyObject* value) {
    PyRef n = PyRef::steal(PyNumber_Index(value));
    if (!n) return -1;
    bool fits = false;
    if (std::numeric_limits<T>::is_signed) {
        const long long v = PyLong_AsLongLong(n.get());
        if (v == -1 && PyErr_Occurred()) return -1;
        fits = v >= static_cast<long long>(std::numeric_limits<T>::min()) &&
               v <= static_cast<long long>(std::numeric_limits<T>::max());
        if (fits) storeValue(p, static_cast<T>(v));
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(n.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        fits = v <= static_cast<unsigned long long>(std::numeric_limits<T>::max());
        if (fits) storeValue(p, static_cast<T>(v));
    }
    if (!fits) PyErr_SetString(PyExc_OverflowError, "value out of range for the block's items");
    return fits ? 0 : -1;
}

// Writes element i (in range) of a writable block as array.array would.
int storeAt(EngineBlock* b, Py_ssize_t i, PyObject* value) {
    char* p = static_cast<char*>(dataOf(b)) + i * widthOf(b);
    switch (b->format[0]) {
    case 'd':
    case 'f': {
        const double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return -1;
        if (b->format[0] == 'd') storeValue(p, v);
        else storeValue(p, static_cast<float>(v));
        return 0;
    }
    case 'b':
        return storeInteger<std::int8_t>(p, value);
    case 'B':
        return storeInteger<std::uint8_t>(p, value);
    case 'h':
        return storeInteger<std::int16_t>(p, value);
    case 'H':
        return storeInteger<std::uint16_t>(p, value);
    case 'i':
        return storeInteger<std::int32_t>(p, value);
    case 'I':
        return storeInteger<std::uint32_t>(p, value);
    case 'q':
        return storeInteger<std::int64_t>(p, value);
    default:
        return storeInteger<std::uint64_t>(p, value);
    }
}

// b[i] = v, in place: an own block only (a shared one moves onto a private
// copy first when nothing exports it).  Items only, as the typed arrays
// write them; no deletion, no slices.
int blockAssignItem(PyObject* self, Py_ssize_t i, PyObject* value) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the items of an engine block cannot be deleted");
        return -1;
    }
    if (i < 0 || i >= countOf(b)) {
        PyErr_SetString(PyExc_IndexError, "array assignment index out of range");
        return -1;
    }
    const int writable = makeWritable(b);
    if (writable == 0) refuseWrite(b, b->own ? PyExc_BufferError : PyExc_TypeError);
    return writable == 1 ? storeAt(b, i, value) : -1;
}

int blockAssignSubscript(PyObject* self, PyObject* key, PyObject* value) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    if (PySlice_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "engine blocks take items, not slices, to write");
        return -1;
    }
    const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return -1;
    return blockAssignItem(self, i < 0 ? i + countOf(b) : i, value);
}

// An empty array.array of the block's typecode.
PyObject* newArrayOfType(const EngineBlock* b) {
    PyRef module = PyRef::steal(PyImport_ImportModule("array"));
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), "array", "s", b->format[0] == '?' ? "B" : b->format);
}

// A slice is a new array.array holding a copy: writable, and no longer
// tied to the block.
PyObject* sliceOf(EngineBlock* b, PyObject* slice) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t n = PySlice_AdjustIndices(countOf(b), &start, &stop, step);
    const Py_ssize_t width = widthOf(b);
    const char* base = static_cast<const char*>(dataOf(b));
    PyRef out = PyRef::steal(newArrayOfType(b));
    if (!out || n == 0) return out.release();
    PyRef bytes;
    if (step == 1) {
        bytes = PyRef::steal(PyMemoryView_FromMemory(const_cast<char*>(base + start * width), n * width, PyBUF_READ));
    } else {
        bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, n * width));
        if (bytes) {
            char* to = PyBytes_AS_STRING(bytes.get());
            for (Py_ssize_t k = 0; k < n; ++k) std::memcpy(to + k * width, base + (start + k * step) * width, width);
        }
    }
    if (!bytes) return nullptr;
    PyRef done = PyRef::steal(PyObject_CallMethod(out.get(), "frombytes", "O", bytes.get()));
    return done ? out.release() : nullptr;
}

PyObject* blockSubscript(PyObject* self, PyObject* key) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    if (PySlice_Check(key)) return sliceOf(b, key);
    const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return blockItem(self, i < 0 ? i + countOf(b) : i);
}

PyObject* blockToList(PyObject* self, PyObject*) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    const Py_ssize_t n = countOf(b);
    PyRef list = PyRef::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = itemAt(b, i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject* blockToBytes(PyObject* self, PyObject*) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    return PyBytes_FromStringAndSize(static_cast<const char*>(dataOf(b)), countOf(b) * widthOf(b));
}

PyObject* blockBufferInfo(PyObject* self, PyObject*) {
    auto* b = reinterpret_cast<EngineBlock*>(self);
    return Py_BuildValue("(Nn)", PyLong_FromVoidPtr(dataOf(b)), countOf(b));
}

PyObject* blockMakeWritable(PyObject* self, PyObject*) {
    const int writable = makeWritable(reinterpret_cast<EngineBlock*>(self));
    return writable < 0 ? nullptr : PyBool_FromLong(writable);
}

// A new own block holding a copy of the elements, with the same engine
// dimensions.
PyObject* blockOwnCopy(PyObject* self, PyObject*) {
    const auto* b = reinterpret_cast<EngineBlock*>(self);
    const qxArray* a = b->array;
    matrix::unique_array_ptr copy(
        qxCreateNumericArrayForOverwrite(qxGetNumberOfDimensions(a), qxGetDimensions(a), qxGetClassID(a), qxREAL));
    if (!copy) return PyErr_NoMemory();
    std::memcpy(qxGetData(copy.get()), dataOf(b), static_cast<std::size_t>(countOf(b) * widthOf(b)));
    return newBlock(copy.get(), false, true, true);
}

PyObject* blockOwn(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<EngineBlock*>(self)->own);
}

PyObject* blockShared(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<EngineBlock*>(self)->shared);
}

PyObject* blockItemsize(PyObject* self, void*) {
    return PyLong_FromSsize_t(widthOf(reinterpret_cast<EngineBlock*>(self)));
}

PyObject* blockTypecode(PyObject* self, void*) {
    const auto* b = reinterpret_cast<EngineBlock*>(self);
    return PyUnicode_FromString(b->format[0] == '?' ? "B" : b->format);
}

// Item by item, as array.array compares: same length and equal values
// (NaN equals nothing).  Same-typed integers compare as bytes.
int equalItems(EngineBlock* b, const Py_buffer& other, PyObject* otherObject) {
    const Py_ssize_t n = countOf(b);
    const Py_ssize_t width = widthOf(b);
    const char* f = other.format != nullptr ? other.format : "B";
    if (*f == '@') ++f;
    if (other.itemsize <= 0 || other.len / other.itemsize != n) return 0;
    if (f[0] == b->format[0] && f[1] == '\0' && other.itemsize == width) {
        const char* p = static_cast<const char*>(dataOf(b));
        const char* q = static_cast<const char*>(other.buf);
        if (f[0] == 'd') {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (load<double>(p + 8 * i) != load<double>(q + 8 * i)) return 0;
            return 1;
        }
        if (f[0] == 'f') {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (load<float>(p + 4 * i) != load<float>(q + 4 * i)) return 0;
            return 1;
        }
        return std::memcmp(p, q, static_cast<std::size_t>(n * width)) == 0 ? 1 : 0;
    }
    // Different item types: by value.
    PyRef mine = PyRef::steal(blockToList(reinterpret_cast<PyObject*>(b), nullptr));
    PyRef theirs = PyRef::steal(PyObject_CallMethod(otherObject, "tolist", nullptr));
    if (!mine || !theirs) return -1;
    return PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
}

PyObject* blockRichCompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    bool comparable = Py_TYPE(other) == &BlockType;
    if (!comparable) {
        PyRef module = PyRef::steal(PyImport_ImportModule("array"));
        PyRef type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "array")) : PyRef();
        if (!type) return nullptr;
        comparable = PyType_Check(type.get()) && PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(type.get()));
    }
    if (!comparable) Py_RETURN_NOTIMPLEMENTED;
    Py_buffer view{};
    if (PyObject_GetBuffer(other, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const int equal = equalItems(reinterpret_cast<EngineBlock*>(self), view, other);
    PyBuffer_Release(&view);
    if (equal < 0) return nullptr;
    return PyBool_FromLong((equal == 1) == (op == Py_EQ));
}

PyObject* blockRepr(PyObject* self) {
    const auto* b = reinterpret_cast<EngineBlock*>(self);
    return PyUnicode_FromFormat("<%s block '%s' of %zd items>", b->own ? (b->shared ? "shared own" : "own") : "engine",
                                b->format, countOf(b));
}

PySequenceMethods kSequence = {};
PyMappingMethods kMapping = {};
PyMethodDef kMethods[] = {
    {"tolist", blockToList, METH_NOARGS, "The elements as a list."},
    {"tobytes", blockToBytes, METH_NOARGS, "The elements' bytes."},
    {"buffer_info", blockBufferInfo, METH_NOARGS, "(address, number of items), as array.array gives them."},
    {"make_writable", blockMakeWritable, METH_NOARGS,
     "Whether the items may be written in place now; a shared own block that nothing views first moves onto a "
     "private copy."},
    {"own_copy", blockOwnCopy, METH_NOARGS, "A new own block holding a copy of the items."},
    {nullptr, nullptr, 0, nullptr}};
PyGetSetDef kGetSet[] = {
    {"itemsize", blockItemsize, nullptr, "The width of one item in bytes.", nullptr},
    {"typecode", blockTypecode, nullptr, "The items' array.array typecode.", nullptr},
    {"own", blockOwn, nullptr, "Made here to be written (zeros/empty), not an engine result.", nullptr},
    {"shared", blockShared, nullptr, "Own, and sent to the engine since: read-only until moved onto a copy.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#endif  // VELDRA_PY2

PyObject* numpyModule() {
    return PyImport_ImportModule("numpy");
}

}  // namespace

bool readyBlockType() {
    if (BlockType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&BlockType), 1);
    kBuffer.bf_getbuffer = blockGetBuffer;
    kBuffer.bf_releasebuffer = blockReleaseBuffer;
    BlockType.tp_name = "veldra.engine.EngineBlock";
    BlockType.tp_doc =
        "The elements of a large typed array, read like an array.array: an engine result's, read-only (also the "
        "base of its NumPy array), or an own block made by zeros()/empty() in shared memory, written in place "
        "until it is sent and read-only for new views after that.";
    BlockType.tp_basicsize = sizeof(EngineBlock);
    BlockType.tp_flags = Py_TPFLAGS_DEFAULT
#ifdef VELDRA_PY2
                         | Py_TPFLAGS_HAVE_NEWBUFFER
#endif
        ;
    BlockType.tp_dealloc = blockDealloc;
    BlockType.tp_as_buffer = &kBuffer;
    BlockType.tp_new = nullptr;
#ifndef VELDRA_PY2
    kSequence.sq_length = blockLength;
    kSequence.sq_item = blockItem;
    kSequence.sq_ass_item = blockAssignItem;
    kMapping.mp_length = blockLength;
    kMapping.mp_subscript = blockSubscript;
    kMapping.mp_ass_subscript = blockAssignSubscript;
    BlockType.tp_as_sequence = &kSequence;
    BlockType.tp_as_mapping = &kMapping;
    BlockType.tp_richcompare = blockRichCompare;
    BlockType.tp_hash = PyObject_HashNotImplemented;
    BlockType.tp_repr = blockRepr;
    BlockType.tp_methods = kMethods;
    BlockType.tp_getset = kGetSet;
#endif
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
    const char* dtype = qxGetClassID(a) == qxSINGLE_CLASS   ? "complex64"
                        : qxGetClassID(a) == qxDOUBLE_CLASS ? "complex128"
                                                            : nullptr;
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

namespace {

// The block behind a part, of at least its elements' bytes.
std::shared_ptr<qx::Block> partBlock(const EngineBlock* b) {
    return b->imag ? qx::imagBlock(b->array) : qx::realBlock(b->array);
}

// Whether an own block may go to the engine as it is: no writable view of
// it is alive, which could change what the engine holds.
bool sendable(const EngineBlock* b, qxClassID classID, qxSize count) {
    return b->own && b->writableExports == 0 && qxGetClassID(b->array) == classID &&
           static_cast<qxSize>(countOf(b)) == count;
}

// An engine array of dimensions `dims` over own blocks (`imag` nullptr for
// a real one), which are shared from then on; nullptr, no error set, when
// they may not go as they are.  Owned by the caller.
qxArray* overOwnBlocks(EngineBlock* real, EngineBlock* imag, qxClassID classID, const std::vector<qxSize>& dims) {
    qxSize count = 1;
    for (qxSize d : dims)
        if (__builtin_mul_overflow(count, d, &count)) return nullptr;
    if (!sendable(real, classID, count) || (imag != nullptr && !sendable(imag, classID, count))) return nullptr;
    qxArray* a = qx::createArrayOverBlocks(dims.size(), dims.data(), classID, partBlock(real),
                                           imag != nullptr ? partBlock(imag) : nullptr);
    if (a != nullptr) {
        real->shared = true;
        if (imag != nullptr) imag->shared = true;
    }
    return a;
}

}  // namespace

qxArray* sharedEngineArray(PyObject* value, const Py_buffer& view, qxClassID classID, bool isComplex,
                           const std::vector<qxSize>& dims) {
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
    auto* b = reinterpret_cast<EngineBlock*>(current.get());
    if (view.buf != dataOf(b)) return nullptr;
    if (b->own) {
        // A whole own block in column-major order, whatever its shape.
        Py_ssize_t stride = view.itemsize;
        for (int i = 0; i < view.ndim; ++i) {
            if (view.shape[i] > 1 && view.strides[i] != stride) return nullptr;
            stride *= view.shape[i];
        }
        if (view.itemsize != widthOf(b)) return nullptr;
        return overOwnBlocks(b, nullptr, classID, dims);
    }
    const qxArray* a = b->array;
    if (b->imag || qxIsComplex(a) || qxGetClassID(a) != classID || view.ndim != b->ndim) return nullptr;
    for (int i = 0; i < view.ndim; ++i)
        if (view.shape[i] != b->shape[i] || (b->shape[i] > 1 && view.strides[i] != b->strides[i])) return nullptr;
    return matrix::detail::shared_copy(a);
}

bool viewsBlocks(const qxArray* a) {
#ifdef VELDRA_PY2
    (void)a;
    return false;
#else
    if (qxIsSparse(a) || qxIsEmpty(a)) return false;
    const auto real = qx::realBlock(a);
    if (!real || real->fd() < 0) return false;
    if (!qxIsComplex(a)) return true;
    const auto imag = qx::imagBlock(a);
    return imag && imag->fd() >= 0;
#endif
}

PyObject* typedBuffer(const qxArray* a, bool imag) {
    return newBlock(a, imag, true);
}

qxArray* sharedTypedArray(PyObject* real, PyObject* imag, qxClassID classID, const std::vector<qxSize>& dims) {
    if (Py_TYPE(real) != &BlockType || (imag != nullptr && Py_TYPE(imag) != &BlockType)) return nullptr;
    auto* r = reinterpret_cast<EngineBlock*>(real);
    auto* i = reinterpret_cast<EngineBlock*>(imag);
    if (r->own) return overOwnBlocks(r, i, classID, dims);
    const qxArray* a = r->array;
    if (!r->flat || r->imag || qxGetClassID(a) != classID || qxIsComplex(a) != (imag != nullptr)) return nullptr;
    if (imag != nullptr) {
        // Both parts of one engine array, each where it belongs.
        if (!i->flat || !i->imag || qxGetData(i->array) != qxGetData(a) || qxGetImagData(i->array) != qxGetImagData(a))
            return nullptr;
    }
    if (static_cast<std::size_t>(qxGetNumberOfDimensions(a)) != dims.size() ||
        !std::equal(dims.begin(), dims.end(), qxGetDimensions(a)))
        return nullptr;
    return matrix::detail::shared_copy(a);
}

bool numpyResults() {
    return tlsNumpyResults;
}

NumpyResults::NumpyResults(bool on) : saved_(tlsNumpyResults) {
    tlsNumpyResults = on;
}
NumpyResults::~NumpyResults() {
    tlsNumpyResults = saved_;
}

}  // namespace PythonQxarray

namespace veldra {

namespace {

#ifndef VELDRA_PY2
// Memory and swap together, the most one allocation could ever have.
qxSize machineBytes() {
    struct sysinfo info{};
    if (::sysinfo(&info) != 0) return std::numeric_limits<qxSize>::max();
    return (static_cast<qxSize>(info.totalram) + info.totalswap) * info.mem_unit;
}
#endif

qxClassID classNamed(const char* name) {
    static const struct {
        const char* name;
        qxClassID id;
    } kClasses[] = {{"double", qxDOUBLE_CLASS}, {"single", qxSINGLE_CLASS},  {"int8", qxINT8_CLASS},
                    {"uint8", qxUINT8_CLASS},   {"int16", qxINT16_CLASS},    {"uint16", qxUINT16_CLASS},
                    {"int32", qxINT32_CLASS},   {"uint32", qxUINT32_CLASS},  {"int64", qxINT64_CLASS},
                    {"uint64", qxUINT64_CLASS}, {"logical", qxLOGICAL_CLASS}};
    for (const auto& c : kClasses)
        if (std::strcmp(c.name, name) == 0) return c.id;
    return qxUNKNOWN_CLASS;
}

}  // namespace

PyObject* newBlocksImpl(PyObject*, PyObject* args) {
    const char* name = nullptr;
    PyObject* size = nullptr;
    int isComplex = 0, zeroed = 0;
    if (!PyArg_ParseTuple(args, "sO!ii", &name, &PyTuple_Type, &size, &isComplex, &zeroed)) return nullptr;
    const qxClassID classID = classNamed(name);
    if (classID == qxUNKNOWN_CLASS || (isComplex && classID == qxLOGICAL_CLASS)) {
        PyErr_Format(PyExc_ValueError, "no typed blocks of class %s%s", name, isComplex ? ", complex" : "");
        return nullptr;
    }
    std::vector<qxSize> dims;
    qxSize count = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(size); ++i) {
        const Py_ssize_t d = PyNumber_AsSsize_t(PyTuple_GET_ITEM(size, i), PyExc_OverflowError);
        if (d == -1 && PyErr_Occurred()) return nullptr;
        if (d < 0) {
            PyErr_SetString(PyExc_ValueError, "dimensions must not be negative");
            return nullptr;
        }
        dims.push_back(static_cast<qxSize>(d));
        // Past an index, as the constructors' repetition refuses it.
        if (__builtin_mul_overflow(count, static_cast<qxSize>(d), &count) ||
            count > static_cast<qxSize>(PY_SSIZE_T_MAX)) {
            setErrorFromMessage(PyExc_OverflowError, msg::qxarray::TypedArraySizeTooLarge());
            return nullptr;
        }
    }
    if (dims.size() < 2) {
        PyErr_SetString(PyExc_ValueError, "typed blocks need at least two dimensions");
        return nullptr;
    }
#ifdef VELDRA_PY2
    (void)zeroed;
    Py_RETURN_NONE;  // typed arrays read array.array alone there
#else
    // Smaller parts are ordinary memory on either side: array.array is as good.
    qxSize bytes = 0;
    const bool fits = !__builtin_mul_overflow(count, static_cast<qxSize>(qxGetClassElementSize(classID)), &bytes);
    if (fits && bytes < veldra::protocol::kSharedBlockThreshold) Py_RETURN_NONE;
    // Shared memory is claimed page by page as it is written: a block the
    // machine could never hold would be made, and the process killed on
    // the writes that fill it.  Refused here, as the heap refuses it.
    if (!fits || bytes > machineBytes() / (isComplex ? 2 : 1)) return PyErr_NoMemory();
    // The engine client installs the same allocator on first use; blocks
    // made before that must already be shared memory.
    static std::once_flag installed;
    std::call_once(installed, [] { veldra::protocol::installSharedMemoryAllocator(); });
    const qxComplexity complexity = isComplex ? qxCOMPLEX : qxREAL;
    matrix::unique_array_ptr a(zeroed
                                   ? qxCreateNumericArray(dims.size(), dims.data(), classID, complexity)
                                   : qxCreateNumericArrayForOverwrite(dims.size(), dims.data(), classID, complexity));
    if (!a) return PyErr_NoMemory();
    PyRef real = PyRef::steal(PythonQxarray::newBlock(a.get(), false, true, true));
    if (!real || !isComplex) return real.release();
    PyRef imag = PyRef::steal(PythonQxarray::newBlock(a.get(), true, true, true));
    if (!imag) return nullptr;
    return PyTuple_Pack(2, real.get(), imag.get());
#endif
}

}  // namespace veldra
