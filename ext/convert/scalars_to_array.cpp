// Numbers, booleans, text, bytes, refusals and veldra.object values.
#include <convert/to_array_converters.hpp>

#include <core/errors.hpp>
#include <object/object_type.hpp>

#include <platform/i18n.hpp>

#include <cstring>

namespace PythonQxarray {

using matrix::unique_array_ptr;
using veldra::PyRef;

namespace {

// One record and nothing else: the elements of long lists take this path.
template <class T>
qxArray* scalar(qxClassID classID, T value) {
    qxArray* a = qxCreateScalar(classID, &value, nullptr);
    if (!a) throw fl::except::bad_alloc();
    return a;
}

qxArray* bytesArray(const char* data, Py_ssize_t n, bool column) {
    const auto count = static_cast<qxSize>(n);
    qxArray* a = column ? matrix::detail::create_numeric(count, 1, qxUINT8_CLASS, qxREAL)
                        : matrix::detail::create_numeric(1, count, qxUINT8_CLASS, qxREAL);
    if (n > 0) std::memcpy(qxGetData(a), data, static_cast<std::size_t>(n));
    return a;
}

qxArray* int64Scalar(PyObject* value) {
    // Out of range: -1 with OverflowError pending, which fails the call.
    return scalar<std::int64_t>(qxINT64_CLASS, PyLong_AsLongLong(value));
}

}  // namespace

qxArray* PyFloatToDouble::convert(PyObject* value) const {
    qxArray* a = qxCreateDoubleScalar(PyFloat_AS_DOUBLE(value));
    if (!a) throw fl::except::bad_alloc();
    return a;
}

qxArray* PyComplexToDouble::convert(PyObject* value) const {
    const double re = PyComplex_RealAsDouble(value), im = PyComplex_ImagAsDouble(value);
    qxArray* a = qxCreateScalar(qxDOUBLE_CLASS, &re, &im);
    if (!a) throw fl::except::bad_alloc();
    return a;
}

qxArray* PyIntToInt64::convert(PyObject* value) const {
    return int64Scalar(value);
}
qxArray* PyLongToInt64::convert(PyObject* value) const {
    return int64Scalar(value);
}

qxArray* PyBoolToLogical::convert(PyObject* value) const {
    return scalar<qxLogical>(qxLOGICAL_CLASS, value == Py_True ? 1 : 0);
}

namespace {

// Text to a char array of its UTF-16 code units (no byte-order mark).
qxArray* textToChar(PyObject* value) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF16String(value));
    if (!encoded) return nullptr;
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return nullptr;
    if (size >= 2) {  // the byte-order mark
        bytes += 2;
        size -= 2;
    }
    fl::ustring units(static_cast<std::size_t>(size) / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), bytes, units.size() * sizeof(fl::uchar));
    return matrix::create(units.data(), units.size()).release();
}

}  // namespace

#ifdef VELDRA_PY2
// A byte string: its bytes (NULs included) read as narrow text.
qxArray* PyStrToChar::convert(PyObject* value) const {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyString_AsStringAndSize(value, &bytes, &size) < 0) return nullptr;
    const fl::ustring units = fl::i18n::to_ustring(std::string(bytes, static_cast<std::size_t>(size)));
    return matrix::create(units.data(), units.size()).release();
}

qxArray* PyUnicodeToChar::convert(PyObject* value) const {
    return textToChar(value);
}
#else
qxArray* PyStrToChar::convert(PyObject* value) const {
    return textToChar(value);
}
#endif

qxArray* PyBytesToUint8::convert(PyObject* value) const {
    return bytesArray(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), true);
}

qxArray* PyByteArrayToUint8::convert(PyObject* value) const {
    return bytesArray(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value), false);
}

qxArray* PyNoneToError::convert(PyObject*) const {
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::NoneNotSupported());
    return nullptr;
}

qxArray* PyMVToError::convert(PyObject*) const {
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::MVNotSupported());
    return nullptr;
}

qxArray* NullToError::convert(PyObject*) const {
    return nullptr;
}

qxArray* PyObjectToRef::convert(PyObject* value) const {
    const auto* o = reinterpret_cast<const veldra::VeldraObject*>(value);
    const qxArray* source = nullptr;
    if (o->index.empty()) {
        source = o->root;
    } else if (o->index.size() == o->dims.size()) {
        source = o->element.get();
    } else {
        veldra::setErrorFromMessage(PyExc_IndexError, veldra::msg::qxarray::NumIndexEqualToNumDim());
        return nullptr;
    }
    unique_array_ptr copy(matrix::detail::shared_copy(source));
    if (!copy || !vdutil::matrixref::refIsRef(copy.get())) {
        veldra::setErrorFromMessage(PyExc_SystemError, veldra::msg::qxarray::ReferenceDoesNotExist());
        return nullptr;
    }
    return copy.release();
}

}  // namespace PythonQxarray
