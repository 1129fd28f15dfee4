// The package's typed arrays to numeric and logical engine arrays.
#include <convert/array_buffer.hpp>
#include <convert/block_type.hpp>
#include <convert/to_array_converters.hpp>

#include <core/errors.hpp>

#include <cstring>
#include <limits>
#include <vector>

namespace PythonQxarray {

using matrix::unique_array_ptr;
using veldra::PyRef;
using veldra::TypedArray;

namespace {

void refuse() {
    veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::TypedArrayMismatch());
}

// Whether a buffer's items are the engine class's elements: same width and
// the same kind of number (float, signed or unsigned integer).
bool itemsMatch(const Py_buffer& view, qxClassID classID, std::size_t width) {
    if (static_cast<std::size_t>(view.itemsize) != width || view.format == nullptr) return false;
    const char* f = view.format;
    if (*f == '@' || *f == '=' || *f == '<') ++f;  // native order, as array.array reports
    if (f[0] == '\0' || f[1] != '\0') return false;
    const char code = f[0];
    switch (classID) {
    case qxDOUBLE_CLASS:
    case qxSINGLE_CLASS:
        return code == 'd' || code == 'f';
    case qxLOGICAL_CLASS:
        return code == 'B' || code == '?' || code == 'b';
    case qxINT8_CLASS:
    case qxINT16_CLASS:
    case qxINT32_CLASS:
    case qxINT64_CLASS:
        return code == 'b' || code == 'h' || code == 'i' || code == 'l' || code == 'q';
    default:
        return code == 'B' || code == 'H' || code == 'I' || code == 'L' || code == 'Q';
    }
}

// The dimensions in the "size" attribute, as 64-bit values.  False with an
// error set when they are not a tuple of non-negative integers.
bool readSize(PyObject* typedArray, std::vector<qxSize>& dims) {
    PyRef size = PyRef::steal(PyObject_GetAttrString(typedArray, "size"));
    if (!size) return false;
    if (!PyTuple_Check(size.get())) {
        refuse();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(size.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(size.get(), i);
        if (!veldra::compat::isInteger(item)) {
            refuse();
            return false;
        }
        const long long d = PyLong_AsLongLong(item);
        if (d == -1 && PyErr_Occurred()) return false;
        if (d < 0) {
            refuse();
            return false;
        }
        dims.push_back(static_cast<qxSize>(d));
    }
    return true;
}

// Copies the buffer held in attribute `name` into `block`: exactly `count`
// items of the array's element class, else refused.
bool copyBuffer(PyObject* typedArray, const char* name, void* block, qxSize count, qxClassID classID,
                std::size_t width) {
    PyRef data = PyRef::steal(PyObject_GetAttrString(typedArray, name));
    if (!data) return false;
    HeldBuffer buffer;
    if (!buffer.getArray(data.get())) return false;
    const Py_buffer& view = buffer.view();
    if (!itemsMatch(view, classID, width) || static_cast<qxSize>(view.len) / width != count ||
        static_cast<qxSize>(view.len) % width != 0) {
        refuse();
        return false;
    }
    std::memcpy(block, view.buf, static_cast<std::size_t>(view.len));
    return true;
}

// A typed array still over the blocks of the engine array it arrived as
// goes back as that array.  Nullptr (no error) when it does not, or with an
// error set when its buffers cannot be read.
qxArray* sameArray(PyObject* typedArray, qxClassID classID, bool isComplex, const std::vector<qxSize>& dims,
                   bool& failed) {
    PyRef real = PyRef::steal(PyObject_GetAttrString(typedArray, isComplex ? "_real" : "_data"));
    PyRef imag = isComplex ? PyRef::steal(PyObject_GetAttrString(typedArray, "_imag")) : PyRef();
    failed = !real || (isComplex && !imag);
    if (failed) return nullptr;
    return sharedTypedArray(real.get(), imag.get(), classID, dims);
}

qxArray* copyData(PyObject* typedArray, qxClassID classID, bool isComplex) {
    PyRef owned = PyRef::steal(typedArray);
    if (!owned) return nullptr;
    std::vector<qxSize> dims;
    if (!readSize(owned.get(), dims)) return nullptr;
    bool failed = false;
    if (qxArray* same = sameArray(owned.get(), classID, isComplex, dims, failed)) return same;
    if (failed) return nullptr;
    // Every element is copied in below, or the array is dropped.
    unique_array_ptr a = newArrayForOverwrite(dims, classID, isComplex);
    if (!a) return nullptr;
    const qxSize count = qxGetNumberOfElements(a.get());
    if (count == 0) return a.release();
    const std::size_t width = qxGetElementSize(a.get());
    if (isComplex) {
        if (!copyBuffer(owned.get(), "_real", qxGetData(a.get()), count, classID, width) ||
            !copyBuffer(owned.get(), "_imag", qxGetImagData(a.get()), count, classID, width))
            return nullptr;
    } else if (!copyBuffer(owned.get(), "_data", qxGetData(a.get()), count, classID, width)) {
        return nullptr;
    }
    return a.release();
}

}  // namespace

PyObject* ConvertPyVdArray::makeTypedCopy(PyObject* value, PyObject* cls, bool isComplex) {
    PyRef args = PyRef::steal(PyTuple_Pack(1, value));
    if (!args) return nullptr;
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "is_complex", isComplex ? Py_True : Py_False));
    if (!kwargs) return nullptr;
    return PyObject_Call(cls, args.get(), kwargs.get());
}

int ConvertPyVdArray::copyWouldEqual(PyObject* value, PyObject* cls) {
    PyTypeObject* type = Py_TYPE(value);
    if (reinterpret_cast<PyObject*>(type) != cls || type->tp_new != PyBaseObject_Type.tp_new) return 0;
    PyRef init = PyRef::steal(veldra::compat::initFunction(cls));
    if (!init) return -1;
    return init.get() == veldra::state().typedArrayInit ? 1 : 0;
}

qxArray* ConvertPyVdArray::copyRealData(PyObject* typedArray, qxClassID classID) {
    return copyData(typedArray, classID, false);
}

qxArray* ConvertPyVdArray::copyComplexData(PyObject* typedArray, qxClassID classID) {
    return copyData(typedArray, classID, true);
}

qxArray* ConvertPyVdArray::convertNumeric(PyObject* value, TypedArray cls, qxClassID classID) {
    PyRef flag = PyRef::steal(PyObject_GetAttrString(value, "_is_complex"));
    if (!flag) return nullptr;
    const int isComplex = PyObject_IsTrue(flag.get());
    if (isComplex < 0) return nullptr;
    PyObject* type = veldra::state().typedArray(cls);
    const int direct = copyWouldEqual(value, type);
    if (direct < 0) return nullptr;
    PyObject* source = direct ? Py_NewRef(value) : makeTypedCopy(value, type, isComplex != 0);
    return isComplex ? copyComplexData(source, classID) : copyRealData(source, classID);
}

qxArray* PyVdDoubleToDouble::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Double, qxDOUBLE_CLASS);
}
qxArray* PyVdSingleToSingle::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Single, qxSINGLE_CLASS);
}
qxArray* PyVdInt8ToInt8::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Int8, qxINT8_CLASS);
}
qxArray* PyVdInt16ToInt16::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Int16, qxINT16_CLASS);
}
qxArray* PyVdInt32ToInt32::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Int32, qxINT32_CLASS);
}
qxArray* PyVdUint8ToUint8::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Uint8, qxUINT8_CLASS);
}
qxArray* PyVdUint16ToUint16::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Uint16, qxUINT16_CLASS);
}
qxArray* PyVdUint32ToUint32::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Uint32, qxUINT32_CLASS);
}
// 64-bit typed arrays travel as 64-bit engine arrays, so their values arrive exact.
qxArray* PyVdInt64ToInt64::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Int64, qxINT64_CLASS);
}
qxArray* PyVdUint64ToUint64::convert(PyObject* v) const {
    return convertNumeric(v, TypedArray::Uint64, qxUINT64_CLASS);
}

qxArray* PyVdLogicalToLogical::convert(PyObject* value) const {
    PyObject* cls = veldra::state().typedArray(TypedArray::Logical);
    const int direct = copyWouldEqual(value, cls);
    if (direct < 0) return nullptr;
    if (direct) return copyRealData(Py_NewRef(value), qxLOGICAL_CLASS);
    PyRef args = PyRef::steal(PyTuple_Pack(1, value));
    if (!args) return nullptr;
    return copyRealData(PyObject_Call(cls, args.get(), nullptr), qxLOGICAL_CLASS);
}

}  // namespace PythonQxarray
