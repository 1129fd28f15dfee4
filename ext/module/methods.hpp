#pragma once
// The module's function tables: every function with the policy its entry<>
// translates failures by.
#include <core/pyref.hpp>

namespace veldra {

// The module's own functions, ending with an empty entry.
PyMethodDef* moduleMethods();

// Adds the private companions `_batch` (the many-calls paths) and `_views`
// (memoryview of typed arrays) to `module`; false with an error set on
// failure.
bool addCompanions(PyObject* module);

}  // namespace veldra
