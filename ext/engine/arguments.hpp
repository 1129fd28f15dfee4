#pragma once
// Reading the arguments of the call functions: handles, counts, time-outs.
// Each returns false with a Python exception set when the argument is not
// of its kind (TypeError with the given catalog key) or out of range
// (OverflowError: values never wrap).
#include <core/errors.hpp>
#include <core/messages.hpp>
#include <core/pyref.hpp>

#include <platform/engine_api.hpp>

#include <vector>

namespace veldra {

// The catalog message of an argument error, made only when there is one
// (a message id holds strings): msg::engine::HandleShouldBeTuple, say.
using MessageFn = MessageId (*)();

// An int in 0 .. 2**64-1 (a long in the 2.7 build, as handles come back).
bool readHandle(PyObject* o, MessageFn notInt, engine_api::Handle& handle);
// An int in the signed 32-bit range (the 2.7 build: a Python 2 int).
bool readInt32(PyObject* o, MessageFn notInt, int& value);
// An int (signed 32-bit range) or a float; None too when `noneAs` is given.
bool readTimeout(PyObject* o, double& timeout, const double* noneAs = nullptr);
// The first `count` (1 or 3) handles of a call's handle tuple; a missing item
// is reported with the key of its position.
bool readHandleTuple(PyObject* o, std::size_t count, std::vector<engine_api::Handle>& handles);
// Item i of the positional tuple, or nullptr with TypeError `missing`.
PyObject* positional(PyObject* args, Py_ssize_t i, MessageFn missing);

// Visits the keywords of a call (none when `kwargs` is null) in their
// order; each must be a str (TypeError KeywordShouldBeStr).  "out" and "err"
// given other than None go to `stream(isErr, value)`, every other keyword
// (None too) to `other(key, value)`.  Both return false with a Python error
// set to stop the scan, which then returns false.
template <class Stream, class Other>
bool scanKeywords(PyObject* kwargs, Stream&& stream, Other&& other) {
    if (kwargs == nullptr) return true;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!compat::isKeyword(key)) {
            setErrorFromMessage(PyExc_TypeError, msg::engine::KeywordShouldBeStr());
            return false;
        }
        const bool isErr = compat::keywordIs(key, "err");
        if (isErr || compat::keywordIs(key, "out")) {
            if (value != Py_None && !stream(isErr, value)) return false;
        } else if (!other(key, value)) {
            return false;
        }
    }
    return true;
}

}  // namespace veldra
