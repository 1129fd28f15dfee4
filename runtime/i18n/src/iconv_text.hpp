#pragma once
// Conversion between named encodings, for the library's own use.
#include <stdexcept>
#include <string>

namespace fl::i18n {

class UnknownEncoding : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `text` from encoding `from` to encoding `to` (names as iconv knows them).
// Throws UnknownEncoding when there is no such conversion, and
// std::runtime_error for text that cannot be converted unless `skipInvalid`,
// which drops it instead.
std::string iconvText(const std::string& text, const std::string& to, const std::string& from, bool skipInvalid);

}  // namespace fl::i18n
