// 1-by-1 numeric and logical arrays to Python numbers and booleans.
#include <convert/to_python_converters.hpp>

#include <core/errors.hpp>

#include <cstdint>

namespace PythonQxarray {

namespace {

template <class T>
T first(const void* block) {
    return *static_cast<const T*>(block);
}

// complex when the array holds an imaginary block, else `real(value)`.
template <class T, class MakeReal>
PyObject* number(const qxArray* a, MakeReal real) {
    const T re = first<T>(qxGetData(a));
    if (qxIsComplex(a))
        return PyComplex_FromDoubles(static_cast<double>(re), static_cast<double>(first<T>(qxGetImagData(a))));
    return real(re);
}

// The ...ToPyInt classes: an int in every build (in the 2.7 build the short
// int; the ...ToPyLong classes give a long there).
PyObject* smallInt(long v) {
#ifdef VELDRA_PY2
    return PyInt_FromLong(v);
#else
    return PyLong_FromLong(v);
#endif
}

PyObject* refuseSparse() {
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedVeldraType());
    return nullptr;
}

}  // namespace

PyObject* DoubleToPyFloat::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (qxIsSparse(a)) return refuseSparse();
    return number<double>(a, [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* SingleToPyFloat::convert(ArrayHolder& holder, bool release) const {
    return number<float>(take(holder, release), [](float v) { return PyFloat_FromDouble(v); });
}

PyObject* Int8ToPyInt::convert(ArrayHolder& holder, bool release) const {
    return number<std::int8_t>(take(holder, release), [](std::int8_t v) { return smallInt(v); });
}

PyObject* Uint8ToPyInt::convert(ArrayHolder& holder, bool release) const {
    return number<std::uint8_t>(take(holder, release), [](std::uint8_t v) { return smallInt(v); });
}

PyObject* Int16ToPyInt::convert(ArrayHolder& holder, bool release) const {
    return number<std::int16_t>(take(holder, release), [](std::int16_t v) { return smallInt(v); });
}

PyObject* Uint16ToPyInt::convert(ArrayHolder& holder, bool release) const {
    return number<std::uint16_t>(take(holder, release), [](std::uint16_t v) { return smallInt(v); });
}

PyObject* Int32ToPyInt::convert(ArrayHolder& holder, bool release) const {
    return number<std::int32_t>(take(holder, release), [](std::int32_t v) { return smallInt(v); });
}

PyObject* Uint32ToPyLong::convert(ArrayHolder& holder, bool release) const {
    return number<std::uint32_t>(take(holder, release), [](std::uint32_t v) { return PyLong_FromUnsignedLong(v); });
}

PyObject* Int64ToPyLong::convert(ArrayHolder& holder, bool release) const {
    return number<std::int64_t>(take(holder, release), [](std::int64_t v) { return PyLong_FromLongLong(v); });
}

PyObject* Uint64ToPyLong::convert(ArrayHolder& holder, bool release) const {
    return number<std::uint64_t>(take(holder, release), [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

PyObject* LogicalToPyBool::convert(ArrayHolder& holder, bool release) const {
    const qxArray* a = take(holder, release);
    if (qxIsSparse(a)) return refuseSparse();
    return PyBool_FromLong(first<qxLogical>(qxGetData(a)));
}

}  // namespace PythonQxarray
