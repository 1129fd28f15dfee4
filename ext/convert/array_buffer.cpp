#include <convert/array_buffer.hpp>

#include <core/errors.hpp>

#include <cstdint>
#include <cstring>

namespace PythonQxarray {

#ifdef VELDRA_PY2

namespace {

// A typecode as a buffer format string, which lives as long as the module.
char* formatOf(char code) {
    static char formats[][2] = {{'b', 0}, {'B', 0}, {'h', 0}, {'H', 0}, {'i', 0}, {'I', 0},
                                {'l', 0}, {'L', 0}, {'f', 0}, {'d', 0}, {'c', 0}, {'u', 0}};
    for (auto& f : formats)
        if (f[0] == code) return f;
    return nullptr;
}

// An unsigned 64-bit value from an int or a long, as buffer_info gives it.
bool readAddress(PyObject* o, unsigned long long& address) {
    if (PyInt_Check(o)) {
        const long v = PyInt_AS_LONG(o);
        if (v < 0) return false;
        address = static_cast<unsigned long long>(v);
        return true;
    }
    if (!PyLong_Check(o)) return false;
    address = PyLong_AsUnsignedLongLong(o);
    return !PyErr_Occurred();
}

}  // namespace

bool getArrayBuffer(PyObject* o, Py_buffer* view, bool) {
    using veldra::PyRef;
    if (PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_HEAPTYPE) || std::strcmp(Py_TYPE(o)->tp_name, "array.array") != 0) {
        PyErr_SetString(PyExc_TypeError, "a typed array's buffer must be an array.array");
        return false;
    }
    PyRef info = PyRef::steal(PyObject_CallMethod(o, const_cast<char*>("buffer_info"), nullptr));
    PyRef itemsize = PyRef::steal(PyObject_GetAttrString(o, "itemsize"));
    PyRef typecode = PyRef::steal(PyObject_GetAttrString(o, "typecode"));
    if (!info || !itemsize || !typecode) return false;
    unsigned long long address = 0;
    const Py_ssize_t count = PyTuple_Check(info.get()) && PyTuple_GET_SIZE(info.get()) == 2
                                 ? PyInt_AsSsize_t(PyTuple_GET_ITEM(info.get(), 1))
                                 : -1;
    const Py_ssize_t width = PyInt_AsSsize_t(itemsize.get());
    char* format = PyString_Check(typecode.get()) && PyString_GET_SIZE(typecode.get()) == 1
                       ? formatOf(PyString_AS_STRING(typecode.get())[0])
                       : nullptr;
    if (count < 0 || width <= 0 || format == nullptr || !readAddress(PyTuple_GET_ITEM(info.get(), 0), address)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "unreadable array.array buffer");
        return false;
    }
    std::memset(view, 0, sizeof(*view));
    view->buf = reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
    view->obj = Py_NewRef(o);
    view->len = count * width;
    view->itemsize = width;
    view->format = format;
    view->ndim = 1;
    return true;
}

#else

bool getArrayBuffer(PyObject* o, Py_buffer* view, bool writable) {
    return PyObject_GetBuffer(o, view, (writable ? PyBUF_WRITABLE : 0) | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
}

#endif

matrix::unique_array_ptr newArrayForOverwrite(const std::vector<qxSize>& dims, qxClassID classID, bool isComplex) {
    qxSize nonzero = 1;
    for (qxSize d : dims) {
        if (d != 0 && __builtin_mul_overflow(nonzero, d, &nonzero)) {
            veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::TypedArraySizeTooLarge());
            return nullptr;
        }
    }
    matrix::unique_array_ptr a(
        qxCreateNumericArrayForOverwrite(dims.size(), dims.data(), classID, isComplex ? qxCOMPLEX : qxREAL));
    if (!a) throw fl::except::bad_alloc();
    return a;
}

}  // namespace PythonQxarray
