#pragma once
// The module functions, by the file that defines them.
#include <module/pyref.hpp>

namespace veldra {

// module/errors.cpp
PyObject* getMessage(PyObject* self, PyObject* args);

}  // namespace veldra
