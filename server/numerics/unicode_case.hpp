#pragma once
// Full Unicode case mapping of engine text (UTF-16), the same as Python's
// str.upper and str.lower: one code point may become several ('ß' -> "SS"),
// and lower() writes a capital sigma at the end of a word as 'ς'.  Lone
// surrogates are kept as they are.
#include <fl/ustring.hpp>

#include <cstddef>

namespace veldra::engine::unicase {

fl::ustring upper(const char16_t* text, std::size_t n);
fl::ustring lower(const char16_t* text, std::size_t n);

}  // namespace veldra::engine::unicase
