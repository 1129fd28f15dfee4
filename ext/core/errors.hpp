#pragma once
// Error reporting: every failure becomes a pending Python exception of a
// fixed class, its text looked up in the catalogs by key or taken from the
// engine's own exception.
#include <core/messages.hpp>
#include <core/pyref.hpp>

#include <platform/fl.hpp>

#include <cassert>
#include <string>

namespace veldra {

// Looks the message up in the global locale and makes it the pending
// exception of `cls`, replacing any exception already pending.
void setErrorFromMessage(PyObject* cls, const MessageId& id);
// The same with a text at hand: wide (UTF-16) or narrow (UTF-8).
void setErrorFromText(PyObject* cls, const fl::ustring& text);
void setErrorFromNarrowText(PyObject* cls, const std::string& text);

// Thrown inside the module when a Python exception is already pending; the
// module function's boundary returns its failure value for it.  Throw it
// with the interpreter lock held.
struct PythonErrorSet {
    PythonErrorSet() noexcept { assert(PyErr_Occurred() != nullptr && "PythonErrorSet without a pending error"); }
};

// The module function getMessage(key): the "VELDRA:PythonEngine" text of a
// key (core/errors.cpp).
PyObject* getMessageImpl(PyObject* self, PyObject* args);

}  // namespace veldra
