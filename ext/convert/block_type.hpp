#pragma once
// Engine arrays as NumPy arrays without a copy.
//
// An engine block object holds a shared copy of one numeric or logical
// engine array and exports the elements of one part (real or imaginary)
// through the buffer protocol, with the array's dimensions and
// column-major strides.  Of an engine result it is read-only: large blocks
// are shared memory the engine lent (mapped read-only), so a writable view
// could not be honoured; read-only views also keep value semantics when the
// same array goes back to the engine as it is.  The mapping goes when the
// last view dies.
//
// An own block (newBlocksImpl, for zeros()/empty()) is shared memory this
// process made, written in place and sent as it is.  Value semantics hold
// both ways: it is sent as itself only while no writable view of it is
// alive (else the converters copy it), and is shared from then on:
// read-only for new views, except that a writer when nothing views it at
// all first moves it onto a private copy.
#include <core/pyref.hpp>

#include <platform/qx.hpp>

#include <vector>

namespace PythonQxarray {

// Readies the type once; false with an error set.
bool readyBlockType();

// A NumPy array of the same dimensions and values as `a` (numeric or
// logical, not sparse): a read-only view of its block for a real array, a
// copy for a complex one (NumPy keeps the parts interleaved).  New
// reference; nullptr with an error set (ImportError without NumPy).
PyObject* numpyFromArray(const qxArray* a);

// When `value` (whose buffer is `view`, of engine dimensions `dims`) is a
// whole, unchanged view of an engine block of the class and dimensions the
// view would give, or views the whole of a sendable own block in
// column-major order, an engine array over that block (owned by the
// caller); otherwise nullptr, with no error set.
qxArray* sharedEngineArray(PyObject* value, const Py_buffer& view, qxClassID classID, bool isComplex,
                           const std::vector<qxSize>& dims);

// Whether the typed array for `a` (numeric or logical) views its blocks
// rather than copying them: when they are shared memory, as every large
// block that arrived from the engine is.  Never in the 2.7 build, whose
// typed arrays read array.array alone.
bool viewsBlocks(const qxArray* a);

// The buffer of a typed array over one part of `a` (the imaginary one when
// `imag`): a block read like an array.array (len, items, slices as
// array.array copies, tolist, tobytes, buffer_info, itemsize, typecode,
// ==), exporting the elements as one run.  New reference; nullptr with an
// error set.
PyObject* typedBuffer(const qxArray* a, bool imag);

// When `real` (and `imag` for a complex typed array, else nullptr) are the
// typed buffers of one engine array of this class and these dimensions, a
// shared copy of it, or sendable own blocks of this class and element
// count, an array of these dimensions over them (owned by the caller);
// otherwise nullptr, no error set.
qxArray* sharedTypedArray(PyObject* real, PyObject* imag, qxClassID classID, const std::vector<qxSize>& dims);

// Whether results are asked for as NumPy arrays on this thread (while a
// NumpyResults guard lives).
bool numpyResults();
class NumpyResults {
public:
    explicit NumpyResults(bool on);
    NumpyResults(const NumpyResults&) = delete;
    NumpyResults& operator=(const NumpyResults&) = delete;
    ~NumpyResults();

private:
    bool saved_;
};

}  // namespace PythonQxarray

namespace veldra {

// _views.new_blocks(class_name, size, is_complex, zeroed): the buffers of a
// new typed array of that class and size (a tuple of ints) as own blocks:
// one, or (real, imag) for a complex one; zero-filled when `zeroed`, else
// holding anything.  None when a part would be smaller than a shared block
// (array.array serves as well), and always in the 2.7 build.  ValueError
// for a bad class or size, OverflowError past an index, MemoryError past
// what the machine holds or when memory runs out.
PyObject* newBlocksImpl(PyObject* self, PyObject* args);

}  // namespace veldra
