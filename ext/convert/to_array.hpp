#pragma once
// Python values to engine arrays.
//
// Every converter turns one Python value, borrowed, into a new engine array
// that the caller owns, or returns nullptr with a Python exception set.  A
// non-null result may still come with an exception pending (an integer out
// of the int64 range): callers check PyErr_Occurred() as well and destroy
// the array then.  Memory exhaustion in the array library leaves as
// fl::except::OutOfMemory; owners inside converters are RAII, so nothing
// built so far survives it.
//
// The converter is chosen by the value's type key: the type's name and, for
// classes defined in Python, their module ("vdarray.double").  There is no
// fallback through base classes.
#include <core/pyref.hpp>

#include <platform/qx.hpp>

#include <boost/shared_ptr.hpp>

#include <map>
#include <string>

namespace PythonQxarray {

class ConvertToQxArray {
public:
    // New array owned by the caller, or nullptr with a Python error set.
    virtual qxArray* convert(PyObject* value) const = 0;
    virtual ~ConvertToQxArray() = default;
};

using ToQxRegistry = std::map<std::string, boost::shared_ptr<ConvertToQxArray>>;

// The registry; filled once by initToQxConverters, read-only afterwards.
const ToQxRegistry& pyTypeConverters();
// Fills the registry unless it already holds rows.
void initToQxConverters();

// The registry's converter for the value's type key.  For a key without a
// row it raises TypeError (UnsupportedPythonData) and returns the converter
// of the "NULL" row, whose convert returns nullptr.  The registry keeps
// ownership.
const ConvertToQxArray& findConverter(const char* typeName, PyObject* value);

// Converts one value (borrowed): new array owned by the caller, or nullptr
// with a Python error set (see above for a pending error with a result).
qxArray* toQxArray(PyObject* value);

}  // namespace PythonQxarray
