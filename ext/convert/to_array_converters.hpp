#pragma once
// The converters of the Python-to-array registry, one class per row.  Each
// is stateless and reads its value with the exact type's own accessors (the
// registry has already matched the type).
#include <convert/to_array.hpp>

#include <core/state.hpp>

namespace PythonQxarray {

#define VELDRA_TO_QX_CONVERTER(Name)                      \
    class Name : public ConvertToQxArray {                \
    public:                                               \
        qxArray* convert(PyObject* value) const override; \
    }

// Numbers, booleans, text and bytes.
VELDRA_TO_QX_CONVERTER(PyFloatToDouble);
VELDRA_TO_QX_CONVERTER(PyComplexToDouble);
VELDRA_TO_QX_CONVERTER(PyIntToInt64);
VELDRA_TO_QX_CONVERTER(PyLongToInt64);
VELDRA_TO_QX_CONVERTER(PyBoolToLogical);
VELDRA_TO_QX_CONVERTER(PyStrToChar);
#ifdef VELDRA_PY2
VELDRA_TO_QX_CONVERTER(PyUnicodeToChar);  // the 2.7 build's text type; its str is bytes
#endif
VELDRA_TO_QX_CONVERTER(PyBytesToUint8);
VELDRA_TO_QX_CONVERTER(PyByteArrayToUint8);
// Refusals: None and memoryview raise; NULL only passes on the refusal
// findConverter has raised.
VELDRA_TO_QX_CONVERTER(PyNoneToError);
VELDRA_TO_QX_CONVERTER(PyMVToError);
VELDRA_TO_QX_CONVERTER(NullToError);
// veldra.object back to its engine reference.
VELDRA_TO_QX_CONVERTER(PyObjectToRef);
// Containers: list, tuple and set to 1-by-N cells, dict to a 1-by-1 struct.
// Each works on a snapshot of the items, so Python code run while an element
// converts cannot pull the container out from under it; nesting is bounded
// by the interpreter's recursion limit (RecursionError).
VELDRA_TO_QX_CONVERTER(PyListToCell);
VELDRA_TO_QX_CONVERTER(PyTupleToCell);
VELDRA_TO_QX_CONVERTER(PySetToCell);
VELDRA_TO_QX_CONVERTER(PyDictToStruct);

// NumPy arrays and scalars of a numeric or bool dtype, read through the
// buffer protocol: the engine class of the dtype, any shape and strides;
// other dtypes and byte orders are refused with TypeError naming the dtype.
// An unchanged engine result goes back as the engine array it views.
VELDRA_TO_QX_CONVERTER(PyNumpyToArray);

#undef VELDRA_TO_QX_CONVERTER

// Typed arrays: a fresh copy is made through the package's class, then its
// buffers are copied in bulk into an engine array of the same size and
// class.  Buffers that do not match the size and class are refused.  An
// instance of exactly the target class, whose constructor is still the
// package's own, is read directly: that copy would be its buffers byte for
// byte, and making it costs a pass over fresh memory.
class ConvertPyVdArray : public ConvertToQxArray {
protected:
    // New reference: cls(value, is_complex=isComplex); nullptr with an error set.
    static PyObject* makeTypedCopy(PyObject* value, PyObject* cls, bool isComplex);
    // Whether calling cls with value would copy it byte for byte: value is
    // exactly a cls and cls keeps the package's constructor.  -1 with an error set.
    static int copyWouldEqual(PyObject* value, PyObject* cls);
    // Consume typedArray (also on failure).
    static qxArray* copyRealData(PyObject* typedArray, qxClassID classID);
    static qxArray* copyComplexData(PyObject* typedArray, qxClassID classID);
    // The whole conversion of the numeric classes.
    static qxArray* convertNumeric(PyObject* value, veldra::TypedArray cls, qxClassID classID);
};

#define VELDRA_TYPED_TO_QX_CONVERTER(Name)                \
    class Name : public ConvertPyVdArray {                \
    public:                                               \
        qxArray* convert(PyObject* value) const override; \
    }

VELDRA_TYPED_TO_QX_CONVERTER(PyVdDoubleToDouble);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdSingleToSingle);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdInt8ToInt8);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdInt16ToInt16);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdInt32ToInt32);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdInt64ToInt64);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdUint8ToUint8);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdUint16ToUint16);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdUint32ToUint32);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdUint64ToUint64);
VELDRA_TYPED_TO_QX_CONVERTER(PyVdLogicalToLogical);

#undef VELDRA_TYPED_TO_QX_CONVERTER

}  // namespace PythonQxarray
