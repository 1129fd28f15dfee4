#pragma once
// Engine arrays as NumPy arrays without a copy.
//
// An engine block object holds a shared copy of one numeric or logical
// engine array and exports the elements of one part (real or imaginary)
// through the buffer protocol, read-only, with the array's dimensions and
// column-major strides.  Large blocks are shared memory the engine lent
// (mapped read-only), so a writable view could not be honoured; read-only
// views also keep value semantics when the same array goes back to the
// engine as it is.  The mapping goes when the last view dies.
#include <module/pyref.hpp>

#include <platform/qx.hpp>

namespace PythonQxarray {

// Readies the type once; false with an error set.
bool readyBlockType();

// A NumPy array of the same dimensions and values as `a` (numeric or
// logical, not sparse): a read-only view of its block for a real array, a
// copy for a complex one (NumPy keeps the parts interleaved).  New
// reference; nullptr with an error set (ImportError without NumPy).
PyObject* numpyFromArray(const qxArray* a);

// When `value` (whose buffer is `view`) is a whole, unchanged view of an
// engine block of the class and dimensions the view would give, a shared
// copy of the engine array (owned by the caller); otherwise nullptr, with
// no error set.
qxArray* sharedEngineArray(PyObject* value, const Py_buffer& view, qxClassID classID, bool isComplex);

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
