#pragma once
// Text conversion: narrow text is UTF-8, wide text UTF-16.
#include <fl/ustring.hpp>

#include <string>

namespace fl::i18n {

// UTF-8 to UTF-16 and back; invalid sequences are dropped (see fl/utf.hpp).
fl::ustring to_ustring(const std::string& narrow);
fl::ustring to_ustring(const char* narrow);
std::string to_string(const fl::ustring& wide);

// A converter from wide text to narrow text in a named encoding.
class codecvt_ustring_to_string {
public:
    // With `replaceInvalid`, a lone surrogate becomes U+FFFD and a character
    // the encoding lacks is dropped, instead of failing.  Other encodings
    // than UTF-8 are the ones iconv knows.
    codecvt_ustring_to_string(const std::string& encoding, bool replaceInvalid);
    const std::string& encoding() const noexcept { return encoding_; }
    bool replaceInvalid() const noexcept { return replaceInvalid_; }

private:
    std::string encoding_;
    bool replaceInvalid_;
};

namespace converter {
// Throws std::runtime_error when the text cannot be converted and the
// converter does not replace invalid text, or the encoding is unknown.
std::string convert(const codecvt_ustring_to_string& cvt, const fl::ustring& wide);
}  // namespace converter

}  // namespace fl::i18n
