#pragma once
// Reading the arguments of the call functions: handles, counts, time-outs.
// Each returns false with a Python exception set when the argument is not
// of its kind (TypeError with the given catalog key) or out of range
// (OverflowError: values never wrap).
#include <module/messages.hpp>
#include <module/pyref.hpp>

#include <platform/engine_api.hpp>

#include <vector>

namespace veldra {

// An int in 0 .. 2**64-1 (a long in the 2.7 build, as handles come back).
bool readHandle(PyObject* o, const MessageId& notInt, engine_api::Handle& handle);
// An int in the signed 32-bit range (the 2.7 build: a Python 2 int).
bool readInt32(PyObject* o, const MessageId& notInt, int& value);
// An int (signed 32-bit range) or a float; None too when `noneAs` is given.
bool readTimeout(PyObject* o, double& timeout, const double* noneAs = nullptr);
// The first `count` (1 or 3) handles of a call's handle tuple; a missing item
// is reported with the key of its position.
bool readHandleTuple(PyObject* o, std::size_t count, std::vector<engine_api::Handle>& handles);
// Item i of the positional tuple, or nullptr with TypeError `missing`.
PyObject* positional(PyObject* args, Py_ssize_t i, const MessageId& missing);

}  // namespace veldra
