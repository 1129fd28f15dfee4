#pragma once
// A typed array's elements as one buffer of the array's own shape.
//
// The element buffer of a typed array (an array.array, or the block of a
// large engine result or of a large zeros()/empty() array) exports its
// elements as one flat run.  An element view re-exports that run with the
// array's dimensions and column-major strides, so that memoryview(a)
// indexes as the array does.  The view writes through to the elements when
// the buffer under it lets it (an array.array, an own block not sent), and
// is read-only over an engine result's block.
#include <core/pyref.hpp>

namespace PythonQxarray {

// Readies the type once; false with an error set.
bool readyElementViewType();

}  // namespace PythonQxarray

namespace veldra {

// _views.element_view(buffer, format, dims): a new element view over
// `buffer` (one flat run of items of the one-character struct `format`)
// with the dimensions `dims` (a tuple of ints).  TypeError or ValueError when
// they do not fit together.
PyObject* elementViewImpl(PyObject* self, PyObject* args);

}  // namespace veldra
