#pragma once
// The Python type veldra.object: an opaque wrapper of references to engine
// objects.  Instances are made only by the module (from engine results and by
// indexing); the type has no constructor.
#include <module/pyref.hpp>

#include <platform/qx.hpp>

#include <vector>

namespace veldra {

struct VeldraObject {
    PyObject_HEAD
    // The wrapped reference array.  Owned by a whole object; element objects
    // share their source's and keep the source alive through `source`.
    qxArray* root;
    // The reference to the one element a complete index selects; owned.
    qxArray* element;
    std::vector<qxSize> index;    // zero-based indices applied so far
    std::vector<qxSize> dims;     // all dimensions of root
    std::vector<qxSize> subDims;  // dimensions still to index; empty for a whole object
    PyObject* source;             // the instance indexed from (strong), or nullptr
};

extern PyTypeObject VeldraObjectType;

// Readies the type; false with a Python error set on failure.
bool readyObjectType();

// A whole object wrapping `root` (a reference array, taken over).  New
// reference; nullptr with a Python error set.
PyObject* newWholeObject(matrix::unique_array_ptr root);

}  // namespace veldra
