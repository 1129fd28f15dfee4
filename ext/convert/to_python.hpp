#pragma once
// Engine arrays to Python values.
//
// The converter is chosen by the array's class and whether it is 1-by-1:
// `scalarConverters` for 1-by-1 arrays, `arrayConverters` for all others.
//
// convert(holder, release) contract:
//  - release true: the array belongs to an enclosing cell or struct; the
//    converter empties `holder` first and never destroys the array;
//  - release false: the caller owns the array through `holder`; the converter
//    leaves it there unless it takes the array over (only OpaqueToPyObject
//    does); the caller destroys whatever `holder` still holds.
// Result: a new reference, or nullptr with a Python error set (TypeError for
// a class without a row); memory exhaustion throws fl::except::OutOfMemory.
#include <core/pyref.hpp>

#include <platform/qx.hpp>

#include <boost/shared_ptr.hpp>

#include <map>

namespace PythonQxarray {

using ArrayHolder = matrix::unique_array_ptr;

class ConvertToPyObject {
public:
    virtual PyObject* convert(ArrayHolder& holder, bool release) const = 0;
    virtual ~ConvertToPyObject() = 0;
};

using ToPyRegistry = std::map<int, boost::shared_ptr<ConvertToPyObject>>;

const ToPyRegistry& scalarConverters();
const ToPyRegistry& arrayConverters();
// Fills both registries unless either already holds rows.
void initToPyConverters();

// Converts a caller-owned array (holder may be empty).
PyObject* toPyObject(ArrayHolder& holder);
// Converts a member of a cell or struct; the member stays with its container.
PyObject* elementToPyObject(qxArray* element);

}  // namespace PythonQxarray
