#pragma once
// Engine text to str: the one rule for results, captured text, catalog texts
// and session names (see compat::textFromUtf16 for byte order and 2.7).
#include <core/compat.hpp>
#include <core/pyref.hpp>

#include <platform/i18n.hpp>

namespace veldra {

// New reference; nullptr with a Python error set on failure.
inline PyObject* engineTextToStr(const fl::uchar* text, std::size_t units) {
    return compat::textFromUtf16(text, units);
}

inline PyObject* engineTextToStr(const fl::ustring& text) {
    return engineTextToStr(text.data(), text.size());
}

}  // namespace veldra
