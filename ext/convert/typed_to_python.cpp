// Numeric and logical arrays that are not 1-by-1 to the package's typed arrays.
#include <convert/array_buffer.hpp>
#include <convert/block_type.hpp>
#include <convert/to_python_converters.hpp>

#include <core/errors.hpp>

#include <cstring>

namespace PythonQxarray {

using veldra::PyRef;
using veldra::TypedArray;

namespace {

// The array's dimensions as a tuple of ints, first dimension first (Python 2
// ints in the 2.7 build).
PyObject* sizeTuple(const qxArray* a) {
    const qxSize n = qxGetNumberOfDimensions(a);
    const qxSize* dims = qxGetDimensions(a);
    PyRef t = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!t) return nullptr;
    for (qxSize i = 0; i < n; ++i) {
        PyObject* d = veldra::compat::intFromSize(dims[i]);
        if (!d) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), d);
    }
    return t.release();
}

// Writes `bytes` bytes from `block` into the buffer held in attribute `name`
// of the new typed array, which must hold exactly that many bytes in items of
// the element width; refused otherwise, so nothing is written past it.
bool fill(PyObject* typed, const char* name, const void* block, std::size_t bytes, std::size_t width) {
    PyRef data = PyRef::steal(PyObject_GetAttrString(typed, name));
    if (!data) return false;
    Py_buffer view{};
    if (!getArrayBuffer(data.get(), &view, true)) return false;
    const bool fits = static_cast<std::size_t>(view.itemsize) == width && static_cast<std::size_t>(view.len) == bytes;
    if (fits) std::memcpy(view.buf, block, bytes);
    PyBuffer_Release(&view);
    if (!fits) veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::TypedArrayResultMismatch());
    return fits;
}

// A typed array whose buffers view the blocks of `a`, with no copy.
PyObject* buildOver(const qxArray* a, TypedArray cls, PyObject* size, bool isComplex) {
    PyRef real = PyRef::steal(typedBuffer(a, false));
    if (!real) return nullptr;
    PyRef imag = isComplex ? PyRef::steal(typedBuffer(a, true)) : PyRef::borrow(Py_None);
    if (!imag) return nullptr;
    return PyObject_CallMethod(veldra::state().typedArray(cls), "_over_buffers", "OOO", size, real.get(), imag.get());
}

PyObject* build(const qxArray* a, TypedArray cls, bool isComplex) {
    PyRef size = PyRef::steal(sizeTuple(a));
    if (!size) return nullptr;
    if (viewsBlocks(a)) return buildOver(a, cls, size.get(), isComplex);
    PyRef kwargs = PyRef::steal(isComplex ? Py_BuildValue("{s:O,s:O}", "size", size.get(), "is_complex", Py_True)
                                          : Py_BuildValue("{s:O}", "size", size.get()));
    if (!kwargs) return nullptr;
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    PyRef typed = PyRef::steal(PyObject_Call(veldra::state().typedArray(cls), empty.get(), kwargs.get()));
    if (!typed || qxIsEmpty(a)) return typed.release();

    const std::size_t width = qxGetElementSize(a);
    const std::size_t bytes = static_cast<std::size_t>(qxGetNumberOfElements(a)) * width;
    if (isComplex) {
        if (!fill(typed.get(), "_real", qxGetData(a), bytes, width) ||
            !fill(typed.get(), "_imag", qxGetImagData(a), bytes, width))
            return nullptr;
    } else if (!fill(typed.get(), "_data", qxGetData(a), bytes, width)) {
        return nullptr;
    }
    return typed.release();
}

}  // namespace

PyObject* ConvertToPyVdArray::makeTypedArray(const qxArray* a, TypedArray cls) {
    return build(a, cls, false);
}

PyObject* ConvertToPyVdArray::makeComplexTypedArray(const qxArray* a, TypedArray cls) {
    return build(a, cls, true);
}

PyObject* ConvertToPyVdArray::convertNumeric(ArrayHolder& holder, bool release, TypedArray cls, bool refuseSparse) {
    const qxArray* a = take(holder, release);
    if (refuseSparse && qxIsSparse(a)) {
        veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedVeldraType());
        return nullptr;
    }
    if (numpyResults()) return numpyFromArray(a);
    return qxIsComplex(a) ? makeComplexTypedArray(a, cls) : makeTypedArray(a, cls);
}

PyObject* DoubleToPyVdDouble::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Double, true);
}
PyObject* SingleToPyVdSingle::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Single, false);
}
PyObject* Int8ToPyVdInt8::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Int8, false);
}
PyObject* Uint8ToPyVdUint8::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Uint8, false);
}
PyObject* Int16ToPyVdInt16::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Int16, false);
}
PyObject* Uint16ToPyVdUint16::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Uint16, false);
}
PyObject* Int32ToPyVdInt32::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Int32, false);
}
PyObject* Uint32ToPyVdUint32::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Uint32, false);
}
PyObject* LogicalToPyVdLogical::convert(ArrayHolder& h, bool r) const {
    return convertNumeric(h, r, TypedArray::Logical, true);
}

PyObject* Int64ToPyVdInt64::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (numpyResults()) return numpyFromArray(a);  // NumPy holds 64-bit integers exactly
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::Int64ArrayNotSupported());
    return nullptr;
}

PyObject* Uint64ToPyVdUint64::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (numpyResults()) return numpyFromArray(a);  // NumPy holds 64-bit integers exactly
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::Uint64ArrayNotSupported());
    return nullptr;
}

}  // namespace PythonQxarray
