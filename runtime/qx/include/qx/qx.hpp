#pragma once
// The engine's arrays.
//
// An array has a class, at least two dimensions (64-bit, column-major element
// order) and, for numeric classes, a real element block and, when complex, an
// imaginary block of the same length.  Cells own their member arrays; structs
// own their field values.  Element blocks are reference counted, so a shared
// copy (matrix::detail::shared_copy) shares them instead of copying.  Element
// data of at most 16 bytes (real and imaginary parts together) is kept in the
// array itself instead, and a shared copy copies those few bytes.
//
// Ownership: every function returning `qxArray*` hands over a new array that
// the caller destroys with qxDestroyArray (or hands to a cell or struct).
// Functions taking `qxArray* value` where the name says "Set" take it over,
// also when they fail.  Creation functions return nullptr when memory runs
// out or the arguments make no array (a too large element count, a class
// that cannot be created that way); no function reads or writes out of bounds
// on bad arguments.
#include <cstddef>
#include <cstdint>

struct qxArray;
using qxSize = std::uint64_t;
using qxLogical = std::uint8_t;
using qxChar = char16_t;

enum qxClassID : int {
    qxUNKNOWN_CLASS = 0,
    qxCELL_CLASS = 1,
    qxSTRUCT_CLASS = 2,
    qxLOGICAL_CLASS = 3,
    qxCHAR_CLASS = 4,
    qxVOID_CLASS = 5,
    qxDOUBLE_CLASS = 6,
    qxSINGLE_CLASS = 7,
    qxINT8_CLASS = 8,
    qxUINT8_CLASS = 9,
    qxINT16_CLASS = 10,
    qxUINT16_CLASS = 11,
    qxINT32_CLASS = 12,
    qxUINT32_CLASS = 13,
    qxINT64_CLASS = 14,
    qxUINT64_CLASS = 15,
    qxFUNCTION_CLASS = 16,  // a function value: names an engine function
    qxOBJECT_CLASS = 17,    // engine objects, see vdutil::matrixref
};

enum qxComplexity : int { qxREAL = 0, qxCOMPLEX = 1 };

// ---- creation --------------------------------------------------------------
// Zero-filled numeric (6..15) or logical (3) array; logical is never complex.
// ndim < 2 is padded with trailing 1s (ndim 0 makes a 0-by-0 array).
qxArray* qxCreateNumericArray(qxSize ndim, const qxSize* dims, qxClassID classID, qxComplexity complexity);
qxArray* qxCreateNumericMatrix(qxSize m, qxSize n, qxClassID classID, qxComplexity complexity);
// As qxCreateNumericArray, for a caller that writes every element (real and
// imaginary) before anything reads one: the elements may hold anything until
// then.  Saves clearing a large reused block.
qxArray* qxCreateNumericArrayForOverwrite(qxSize ndim, const qxSize* dims, qxClassID classID, qxComplexity complexity);
// 1-by-1 numeric (6..15) or logical (3) array holding a copy of the element at
// `real` (a zero for nullptr) and, when `imag` is not nullptr, complex with
// the element at `imag` as its imaginary part (numeric classes only).  The
// cheapest way to make a scalar: a single small allocation.  nullptr when
// memory runs out or for another class (or a complex logical).
qxArray* qxCreateScalar(qxClassID classID, const void* real, const void* imag);
qxArray* qxCreateDoubleScalar(double value);
// Char array of zero code units.
qxArray* qxCreateCharArray(qxSize ndim, const qxSize* dims);
// Cell array with every slot unset.
qxArray* qxCreateCellMatrix(qxSize m, qxSize n);
qxArray* qxCreateCellArray(qxSize ndim, const qxSize* dims);
// Struct array whose field values are all unset.  Field names are copied;
// each must pass qxIsValidVariableName and be distinct, else nullptr.
qxArray* qxCreateStructMatrix(qxSize m, qxSize n, int nfields, const char** fieldNames);
qxArray* qxCreateStructArray(qxSize ndim, const qxSize* dims, int nfields, const char** fieldNames);
// Sparse m-by-n double (real or complex) or logical matrix in compressed
// column form with room for nzmax non-zeros (at least 1).
qxArray* qxCreateSparse(qxSize m, qxSize n, qxSize nzmax, qxComplexity complexity);
qxArray* qxCreateSparseLogicalMatrix(qxSize m, qxSize n, qxSize nzmax);
// 1-by-1 function value naming an engine function (UTF-8 name, copied).
qxArray* qxCreateFunctionHandle(const char* name);

void qxDestroyArray(qxArray* array);  // nullptr allowed

// Zeroed scratch memory of the library; nullptr when exhausted.
void* qxCalloc(std::size_t n, std::size_t size);
void qxFree(void* p);

// ---- reading -----------------------------------------------------------------
qxClassID qxGetClassID(const qxArray* a);
bool qxIsSparse(const qxArray* a);
// Marked complex and holding an imaginary block.
bool qxIsComplex(const qxArray* a);
bool qxIsNumeric(const qxArray* a);
bool qxIsEmpty(const qxArray* a);   // some dimension is 0
bool qxIsScalar(const qxArray* a);  // exactly 1-by-1 (two dimensions)
qxSize qxGetNumberOfDimensions(const qxArray* a);
const qxSize* qxGetDimensions(const qxArray* a);
qxSize qxGetM(const qxArray* a);  // first dimension
qxSize qxGetN(const qxArray* a);  // product of all dimensions but the first
qxSize qxGetNumberOfElements(const qxArray* a);
std::size_t qxGetElementSize(const qxArray* a);  // bytes per element of the real block
// Bytes per element of a numeric, logical or char class; 0 for the others.
std::size_t qxGetClassElementSize(qxClassID classID);
// The real and imaginary elements (column-major), in their blocks or, for at
// most 16 bytes in all, in the array itself; valid while the array lives.
// nullptr when there are none (the imaginary part of a real array, an empty
// array, cells, structs, objects).
void* qxGetData(const qxArray* a);
void* qxGetImagData(const qxArray* a);

// Sparse arrays: row indices and column starts (n + 1 entries) of the
// compressed column form; the values are in qxGetData / qxGetImagData.
qxSize* qxGetIr(const qxArray* a);
qxSize* qxGetJc(const qxArray* a);
qxSize qxGetNzmax(const qxArray* a);

// Cells: the array held at a linear index, or nullptr for an unset slot or an
// index out of range.  The cell keeps ownership.
qxArray* qxGetCell(const qxArray* cell, qxSize index);
// Takes `value` over (destroying what the slot held).  False (and `value`
// destroyed) when `cell` is no cell or the index is out of range.
bool qxSetCell(qxArray* cell, qxSize index, qxArray* value);

// Structs.  Field numbers run from 0; -1 means "no such field".
int qxGetNumberOfFields(const qxArray* s);
const char* qxGetFieldNameByNumber(const qxArray* s, int field);
int qxGetFieldNumber(const qxArray* s, const char* name);
// The value of a field of element `index`, or nullptr (unset, out of range).
qxArray* qxGetFieldByNumber(const qxArray* s, qxSize index, int field);
// Takes `value` over, as qxSetCell does.
bool qxSetFieldByNumber(qxArray* s, qxSize index, int field, qxArray* value);
// Adds a field (unset in every element); its number, or -1 for an invalid or
// duplicate name.
int qxAddField(qxArray* s, const char* name);

// Function values: the engine function's name (UTF-8); nullptr for other classes.
const char* qxGetFunctionName(const qxArray* a);

// Changes the dimensions of an array in place; the element count must not
// change.  False when it would.
bool qxSetDimensions(qxArray* a, const qxSize* dims, qxSize ndim);

// A valid variable or struct-field name: an ASCII letter, then ASCII letters,
// digits or underscores, 63 characters at most.
bool qxIsValidVariableName(const char* name);

// Number of arrays alive in this process (created and not yet destroyed);
// tests use it to find arrays that a failed operation left behind.
std::size_t qxLiveArrayCount();
