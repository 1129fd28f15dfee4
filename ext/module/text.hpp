#pragma once
// Engine text to str.  Engine text is UTF-16 in the machine's byte order and
// carries no byte-order mark, so a leading U+FEFF or U+FFFE is a character
// like any other: decoding with BOM detection would drop the one and swap
// the byte order of everything after the other.
#include <module/pyref.hpp>

#include <platform/i18n.hpp>

namespace veldra {

// New reference; nullptr with a Python error set on failure.
inline PyObject* engineTextToStr(const fl::uchar* text, std::size_t units) {
    // An explicit order (-1 little, 1 big endian) turns BOM detection off.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    int byteorder = 1;
#else
    int byteorder = -1;
#endif
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                 static_cast<Py_ssize_t>(units * sizeof(fl::uchar)), nullptr, &byteorder);
}

inline PyObject* engineTextToStr(const fl::ustring& text) { return engineTextToStr(text.data(), text.size()); }

}  // namespace veldra
