// Char arrays to str, cells to lists, structs to dicts, engine objects to
// veldra.object.
#include <convert/to_python_converters.hpp>

#include <core/errors.hpp>
#include <core/text.hpp>
#include <object/object_type.hpp>

namespace PythonQxarray {

using veldra::PyRef;

namespace {

// Two dimensions, and rows or columns (or both) at most 1.
bool isVector(const qxArray* a) {
    return qxGetNumberOfDimensions(a) == 2 && (qxGetM(a) <= 1 || qxGetN(a) <= 1);
}

// What an unset cell slot or struct field becomes: an empty veldra.double.
PyObject* emptyDouble() {
    PyRef empty = PyRef::steal(PyList_New(0));
    if (!empty) return nullptr;
    return PyObject_CallFunctionObjArgs(veldra::state().typedArray(veldra::TypedArray::Double), empty.get(), nullptr);
}

PyObject* member(qxArray* element) {
    return element ? elementToPyObject(element) : emptyDouble();
}

}  // namespace

PyObject* CharToPyStr::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (!isVector(a)) {
        veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::CharArrayFromVeldra());
        return nullptr;
    }
    const fl::ustring text = matrix::get_ustring(a);
    return veldra::engineTextToStr(text);
}

PyObject* CellToPyList::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (!isVector(a)) {
        veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::CellArrayFromVeldra());
        return nullptr;
    }
    const qxSize n = qxGetNumberOfElements(a);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (qxSize i = 0; i < n; ++i) {
        PyObject* item = member(qxGetCell(a, i));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* StructToPyDict::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (qxGetNumberOfElements(a) != 1) {
        veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::StructArrayFromVeldra());
        return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const int fields = qxGetNumberOfFields(a);
    for (int f = 0; f < fields; ++f) {
#ifdef VELDRA_PY2
        PyRef key = PyRef::steal(PyString_FromString(qxGetFieldNameByNumber(a, f)));
#else
        PyRef key = PyRef::steal(PyUnicode_FromString(qxGetFieldNameByNumber(a, f)));
#endif
        if (!key) return nullptr;
        PyRef value = PyRef::steal(member(qxGetFieldByNumber(a, 0, f)));
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* OpaqueToPyObject::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = holder.get();
    if (!vdutil::matrixref::refIsRef(a)) {
        veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedVeldraType());
        return nullptr;
    }
    // Taken over from a caller-owned holder, the array is released here once
    // the instance holds its own shared copy.
    ArrayHolder taken(release ? nullptr : holder.release());
    if (release) holder.release();
    matrix::unique_array_ptr copy(matrix::detail::shared_copy(a));
    if (!copy) throw fl::except::bad_alloc();
    return veldra::newWholeObject(std::move(copy));
}

}  // namespace PythonQxarray
