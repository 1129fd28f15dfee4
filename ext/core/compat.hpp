#pragma once
// One source for every interpreter: the C-API this module is written against
// (CPython 3.12's), back-ported here under version guards, and the few
// operations whose Python types differ between the 2.7 build and the
// Python 3 builds.  Included through pyref.hpp, right after Python.h.
#include <cstddef>
#include <cstring>
#include <string>

#if PY_MAJOR_VERSION < 3
#define VELDRA_PY2 1
#endif

// ---- reference helpers (3.10: Py_NewRef; 3.9: Py_SET_REFCNT) --------------
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* veldra_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
#define Py_NewRef(o) veldra_NewRef(reinterpret_cast<PyObject*>(o))
#endif
#if PY_VERSION_HEX < 0x03090000 && !defined(Py_SET_REFCNT)
#define Py_SET_REFCNT(o, n) (Py_REFCNT(o) = (n))
#endif
#ifndef Py_XSETREF
#define Py_XSETREF(op, op2)       \
    do {                          \
        PyObject* _py_tmp = (op); \
        (op) = (op2);             \
        Py_XDECREF(_py_tmp);      \
    } while (0)
#endif

namespace veldra::compat {

// A new reference to the attribute dictionary of `type` itself.  From 3.12
// on, tp_dict of a static built-in type is NULL: its dictionary lives with
// the interpreter.
inline PyObject* typeDict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// The counts and sizes a caller passes (numOut, time-outs, dimensions): a
// Python 3 int; a Python 2 int only in the 2.7 build.
inline bool isSmallInt(PyObject* o) {
#ifdef VELDRA_PY2
    return PyInt_Check(o);
#else
    return PyLong_Check(o);
#endif
}

// Any integer: int (and long in the 2.7 build).
inline bool isInteger(PyObject* o) {
#ifdef VELDRA_PY2
    return PyInt_Check(o) || PyLong_Check(o);
#else
    return PyLong_Check(o);
#endif
}

// A size or a small count as the build's plain int.  New reference.
inline PyObject* intFromSize(unsigned long long n) {
#ifdef VELDRA_PY2
    return PyInt_FromSize_t(static_cast<std::size_t>(n));
#else
    return PyLong_FromUnsignedLongLong(n);
#endif
}

// Keyword names: str (8-bit str in the 2.7 build, compared byte-wise).
inline bool isKeyword(PyObject* key) {
#ifdef VELDRA_PY2
    return PyString_Check(key);
#else
    return PyUnicode_Check(key);
#endif
}
inline bool keywordIs(PyObject* key, const char* name) {
#ifdef VELDRA_PY2
    return std::strcmp(PyString_AS_STRING(key), name) == 0;
#else
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
#endif
}

// cls.__init__ as a function, comparable by identity: the 2.7 build wraps
// it in a fresh unbound method on every look-up.  New reference.
inline PyObject* initFunction(PyObject* cls) {
    PyObject* init = PyObject_GetAttrString(cls, "__init__");
#ifdef VELDRA_PY2
    if (init != nullptr && PyMethod_Check(init)) {
        PyObject* function = PyMethod_GET_FUNCTION(init);
        Py_INCREF(function);
        Py_DECREF(init);
        return function;
    }
#endif
    return init;
}

// UTF-16 text as a new str (strict decoding, no byte-order mark).  The 2.7
// build gives a byte string for pure ASCII and a unicode otherwise.  New
// reference; nullptr with the decoder's error set.
inline PyObject* textFromUtf16(const char16_t* units, std::size_t count) {
#ifdef VELDRA_PY2
    bool ascii = true;
    for (std::size_t i = 0; i < count && ascii; ++i) ascii = units[i] <= 127;
    if (ascii) {
        std::string narrow(count, '\0');
        for (std::size_t i = 0; i < count; ++i) narrow[i] = static_cast<char>(units[i]);
        return PyString_FromStringAndSize(narrow.data(), static_cast<Py_ssize_t>(count));
    }
#endif
    // Engine text is in the machine's byte order and carries no byte-order
    // mark: an explicit order (-1 little, 1 big endian) turns detection off,
    // so a leading U+FEFF or U+FFFE arrives as the character it is.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    int byteorder = 1;
#else
    int byteorder = -1;
#endif
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units), static_cast<Py_ssize_t>(count * 2), nullptr,
                                 &byteorder);
}
inline PyObject* textFromUtf16(const std::u16string& text) {
    return textFromUtf16(text.data(), text.size());
}

// ASCII text (reprs) as the build's str.  New reference.
inline PyObject* textFromAscii(const std::string& text) {
#ifdef VELDRA_PY2
    return PyString_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
#else
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
#endif
}

}  // namespace veldra::compat
