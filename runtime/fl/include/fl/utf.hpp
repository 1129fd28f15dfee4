#pragma once
// Conversions between UTF-8 (char), UTF-16 (char16_t) and UTF-32 (char32_t).
//
// Decoding is strict: a surrogate code point, a value past U+10FFFF, an
// overlong UTF-8 form, a stray continuation byte or a lone UTF-16 surrogate
// is invalid, and so is a sequence cut off by the end of the text.  An
// invalid sequence is dropped whole, together with the unit that showed it to
// be invalid (so "\xC3(" loses the "(" as well, and a high surrogate
// followed by a letter loses the letter); `stop` throws instead.
#include <stdexcept>
#include <string>
#include <string_view>

namespace fl::utf {

enum class OnInvalid { skip, stop };

// Thrown with OnInvalid::stop.
class InvalidText : public std::runtime_error {
public:
    InvalidText() : std::runtime_error("invalid UTF text") {}
};

template <class Out, class In>
std::basic_string<Out> convert(std::basic_string_view<In> text, OnInvalid how = OnInvalid::skip);

// Appends the UTF-8 form of `c`, a scalar value.
void appendUtf8(char32_t c, std::string& out);

template <class Out, class In>
std::basic_string<Out> convert(const std::basic_string<In>& text, OnInvalid how = OnInvalid::skip) {
    return convert<Out, In>(std::basic_string_view<In>(text), how);
}

}  // namespace fl::utf
