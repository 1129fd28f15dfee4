#pragma once
// The Python type veldra.object: an opaque wrapper of references to engine
// objects.  Instances are made only by the module (from engine results and by
// indexing); the type has no constructor.
#include <core/pyref.hpp>

#include <platform/qx.hpp>

#include <vector>

namespace veldra {

// The C++ members are constructed when an instance is made (the type's
// allocation zero-fills the rest) and destroyed in its dealloc.
struct VeldraObject {
    PyObject_HEAD
        // The wrapped reference array, owned by a whole object.
        matrix::unique_array_ptr ownedRoot;
    // The reference array: ownedRoot's for a whole object; an element or
    // sub-array shares its source's and keeps it alive through `source`.
    qxArray* root;
    // The reference to the one element a complete index selects.
    matrix::unique_array_ptr element;
    std::vector<qxSize> index;    // zero-based indices applied so far
    std::vector<qxSize> dims;     // all dimensions of root
    std::vector<qxSize> subDims;  // dimensions still to index; empty for a whole object
    PyRef source;                 // the instance indexed from, or empty
};

extern PyTypeObject VeldraObjectType;

// Readies the type; false with a Python error set on failure.
bool readyObjectType();

// A whole object wrapping `root` (a reference array, taken over).  New
// reference; nullptr with a Python error set.
PyObject* newWholeObject(matrix::unique_array_ptr root);

}  // namespace veldra
