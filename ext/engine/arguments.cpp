#include <engine/arguments.hpp>

#include <core/errors.hpp>

#include <limits>

namespace veldra {

bool readHandle(PyObject* o, MessageFn notInt, engine_api::Handle& handle) {
    if (!PyLong_Check(o)) {
        setErrorFromMessage(PyExc_TypeError, notInt());
        return false;
    }
    const unsigned long long h = PyLong_AsUnsignedLongLong(o);  // OverflowError when out of range
    if (h == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    handle = h;
    return true;
}

bool readInt32(PyObject* o, MessageFn notInt, int& value) {
    if (!compat::isSmallInt(o)) {
        setErrorFromMessage(PyExc_TypeError, notInt());
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
        PyErr_SetString(PyExc_OverflowError, "the value does not fit a signed 32-bit integer");
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

bool readTimeout(PyObject* o, double& timeout, const double* noneAs) {
    if (compat::isSmallInt(o)) {
        int v = 0;
        if (!readInt32(o, msg::engine::TimtoutShouldBeIntFloat, v)) return false;
        timeout = v;
        return true;
    }
    if (PyFloat_Check(o)) {
        timeout = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (o == Py_None && noneAs != nullptr) {
        timeout = *noneAs;
        return true;
    }
    setErrorFromMessage(PyExc_TypeError, msg::engine::TimtoutShouldBeIntFloat());
    return false;
}

bool readHandleTuple(PyObject* o, std::size_t count, std::vector<engine_api::Handle>& handles) {
    if (!PyTuple_Check(o)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::HandleShouldBeTuple());
        return false;
    }
    const MessageFn keys[] = {msg::engine::HandleToResultShouldBeLI, msg::engine::HandleToConOutShouldBeLI,
                              msg::engine::HandleToConErrShouldBeLI};
    handles.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<Py_ssize_t>(i) >= PyTuple_GET_SIZE(o)) {
            setErrorFromMessage(PyExc_TypeError, keys[i]());
            return false;
        }
        if (!readHandle(PyTuple_GET_ITEM(o, static_cast<Py_ssize_t>(i)), keys[i], handles[i])) return false;
    }
    return true;
}

PyObject* positional(PyObject* args, Py_ssize_t i, MessageFn missing) {
    if (i >= PyTuple_GET_SIZE(args)) {
        setErrorFromMessage(PyExc_TypeError, missing());
        return nullptr;
    }
    return PyTuple_GET_ITEM(args, i);
}

}  // namespace veldra
