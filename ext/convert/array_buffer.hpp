#pragma once
// Element buffers read as buffer views, and the numeric engine arrays they
// are copied into.
#include <core/pyref.hpp>

#include <qx/matrix.hpp>

#include <vector>

namespace PythonQxarray {

// Fills `view` for the array.array `o` (release it with PyBuffer_Release).
// The 2.7 build's array.array has no buffer views: there the view is made
// from buffer_info(), itemsize and typecode, and only an exact array.array
// is read, since its address is taken on trust.  False with an error set.
bool getArrayBuffer(PyObject* o, Py_buffer* view, bool writable);

// A read-only buffer view, released with the object.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // The element buffer of an array.array (see getArrayBuffer).
    bool getArray(PyObject* o) {
        held_ = getArrayBuffer(o, &view_, false);
        return held_;
    }
    // Any exporter's buffer with its format, shape and strides.
    bool getRecords(PyObject* o) {
        held_ = PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A numeric engine array of these dimensions whose every element the caller
// writes next (a reused block is not cleared).  Null with ValueError set
// when the product of the non-zero dimensions does not fit: that is the
// value's fault, not a shortage of memory, which throws bad_alloc.
matrix::unique_array_ptr newArrayForOverwrite(const std::vector<qxSize>& dims, qxClassID classID, bool isComplex);

}  // namespace PythonQxarray
