#pragma once
// The converters of the array-to-Python registries, one class per row.
#include <convert/to_python.hpp>

#include <core/state.hpp>

namespace PythonQxarray {

#define VELDRA_TO_PY_CONVERTER(Name, Base)                                   \
    class Name : public Base {                                               \
    public:                                                                  \
        PyObject* convert(ArrayHolder& holder, bool release) const override; \
    }

// 1-by-1 numeric and logical arrays to Python numbers and booleans.
VELDRA_TO_PY_CONVERTER(DoubleToPyFloat, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(SingleToPyFloat, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Int8ToPyInt, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Uint8ToPyInt, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Int16ToPyInt, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Uint16ToPyInt, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Int32ToPyInt, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Uint32ToPyLong, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Int64ToPyLong, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(Uint64ToPyLong, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(LogicalToPyBool, ConvertToPyObject);
// Char rows and columns to str, cell rows and columns to lists, single
// structs to dicts, engine object references to veldra.object.
VELDRA_TO_PY_CONVERTER(CharToPyStr, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(CellToPyList, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(StructToPyDict, ConvertToPyObject);
VELDRA_TO_PY_CONVERTER(OpaqueToPyObject, ConvertToPyObject);

// Numeric and logical arrays that are not 1-by-1 to the package's typed
// arrays, their elements written straight into the new array's buffers.
class ConvertToPyVdArray : public ConvertToPyObject {
protected:
    // New references; nullptr with an error set.
    static PyObject* makeTypedArray(const qxArray* a, veldra::TypedArray cls);
    static PyObject* makeComplexTypedArray(const qxArray* a, veldra::TypedArray cls);
    static PyObject* convertNumeric(ArrayHolder& holder, bool release, veldra::TypedArray cls, bool refuseSparse);
};

VELDRA_TO_PY_CONVERTER(DoubleToPyVdDouble, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(SingleToPyVdSingle, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Int8ToPyVdInt8, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Uint8ToPyVdUint8, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Int16ToPyVdInt16, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Uint16ToPyVdUint16, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Int32ToPyVdInt32, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Uint32ToPyVdUint32, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Int64ToPyVdInt64, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(Uint64ToPyVdUint64, ConvertToPyVdArray);
VELDRA_TO_PY_CONVERTER(LogicalToPyVdLogical, ConvertToPyVdArray);

#undef VELDRA_TO_PY_CONVERTER

// The array a converter works on: taken from the holder, which is emptied
// when the array stays with its container.
inline qxArray* take(ArrayHolder& holder, bool release) {
    return release ? holder.release() : holder.get();
}

}  // namespace PythonQxarray
