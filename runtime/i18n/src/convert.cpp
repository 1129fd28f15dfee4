#include <fl/i18n/convert.hpp>

#include <boost/locale/encoding.hpp>
#include <boost/locale/encoding_utf.hpp>

#include <stdexcept>

namespace fl::i18n {

namespace utf = boost::locale::conv;

fl::ustring to_ustring(const std::string& narrow) { return utf::utf_to_utf<char16_t>(narrow); }

fl::ustring to_ustring(const char* narrow) {
    return narrow ? to_ustring(std::string(narrow)) : fl::ustring();
}

std::string to_string(const fl::ustring& wide) { return utf::utf_to_utf<char>(wide); }

codecvt_ustring_to_string::codecvt_ustring_to_string(const std::string& encoding, bool replaceInvalid)
    : encoding_(encoding), replaceInvalid_(replaceInvalid) {}

namespace {
bool isUtf8Name(const std::string& name) {
    std::string lower;
    for (char c : name)
        if (c != '-' && c != '_') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "utf8";
}
}  // namespace

std::string converter::convert(const codecvt_ustring_to_string& cvt, const fl::ustring& wide) {
    const auto method = cvt.replaceInvalid() ? utf::skip : utf::stop;
    try {
        if (cvt.replaceInvalid()) {
            // Keep the place of a lone surrogate visible rather than dropping it.
            fl::ustring cleaned;
            cleaned.reserve(wide.size());
            for (std::size_t i = 0; i < wide.size(); ++i) {
                const char16_t c = wide[i];
                const bool high = c >= 0xD800 && c <= 0xDBFF;
                const bool low = c >= 0xDC00 && c <= 0xDFFF;
                if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
                    cleaned += c;
                    cleaned += wide[++i];
                } else if (high || low) {
                    cleaned += u'\uFFFD';
                } else {
                    cleaned += c;
                }
            }
            const std::string utf8 = utf::utf_to_utf<char>(cleaned);
            return isUtf8Name(cvt.encoding()) ? utf8 : utf::between(utf8, cvt.encoding(), "UTF-8", method);
        }
        const std::string utf8 = utf::utf_to_utf<char>(wide.data(), wide.data() + wide.size(), utf::stop);
        return isUtf8Name(cvt.encoding()) ? utf8 : utf::between(utf8, cvt.encoding(), "UTF-8", method);
    } catch (const utf::conversion_error&) {
        throw std::runtime_error("text cannot be converted to " + cvt.encoding());
    } catch (const utf::invalid_charset_error&) {
        throw std::runtime_error("unknown text encoding " + cvt.encoding());
    }
}

}  // namespace fl::i18n
