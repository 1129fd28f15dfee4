#pragma once
// The element buffer of a typed array's array.array, as a buffer view.
#include <module/pyref.hpp>

namespace PythonQxarray {

// Fills `view` for the array.array `o` (release it with PyBuffer_Release).
// The 2.7 build's array.array has no buffer views: there the view is made
// from buffer_info(), itemsize and typecode, and only an exact array.array
// is read, since its address is taken on trust.  False with an error set.
bool getArrayBuffer(PyObject* o, Py_buffer* view, bool writable);

}  // namespace PythonQxarray
