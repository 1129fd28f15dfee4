#include <fl/i18n/convert.hpp>
#include <fl/utf.hpp>

#include "iconv_text.hpp"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace fl::i18n {

namespace {

// One conversion descriptor, closed with its owner.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~IconvHandle() {
        if (valid()) ::iconv_close(cd_);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    bool valid() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const noexcept { return cd_; }

private:
    iconv_t cd_;
};

constexpr std::size_t kIconvFailed = static_cast<std::size_t>(-1);

}  // namespace

std::string iconvText(const std::string& text, const std::string& to, const std::string& from, bool skipInvalid) {
    IconvHandle cd(to.c_str(), from.c_str());
    if (!cd.valid()) throw UnknownEncoding("no conversion from " + from + " to " + to);
    std::string out;
    out.reserve(text.size());
    char buffer[512];
    // glibc's iconv takes char** for the input it does not write.
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    bool flushing = false;  // all input consumed: write the closing shift sequence
    for (;;) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t done = flushing ? ::iconv(cd.get(), nullptr, nullptr, &outPtr, &outLeft)
                                          : ::iconv(cd.get(), &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (done == kIconvFailed) {
            if (error == E2BIG) continue;
            // A character the target lacks, or malformed input: skip a byte and
            // go on (the rest of a multibyte character fails and goes the same way).
            if (skipInvalid && !flushing && (error == EILSEQ || error == EINVAL) && inLeft > 0) {
                ++in;
                --inLeft;
                if (inLeft == 0) flushing = true;
                continue;
            }
            throw std::runtime_error("text cannot be converted to " + to);
        }
        // A positive count is of characters converted only approximately
        // ("//TRANSLIT"), which strict conversion refuses.
        if (done != 0 && !skipInvalid) throw std::runtime_error("text cannot be converted to " + to);
        if (flushing) return out;
        if (inLeft == 0) flushing = true;
    }
}

fl::ustring to_ustring(const std::string& narrow) {
    return fl::utf::convert<char16_t>(narrow);
}

fl::ustring to_ustring(const char* narrow) {
    return narrow ? to_ustring(std::string(narrow)) : fl::ustring();
}

std::string to_string(const fl::ustring& wide) {
    return fl::utf::convert<char>(wide);
}

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
    std::string utf8;
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
        utf8 = fl::utf::convert<char>(cleaned);
    } else {
        try {
            utf8 = fl::utf::convert<char>(wide, fl::utf::OnInvalid::stop);
        } catch (const fl::utf::InvalidText&) {
            throw std::runtime_error("text cannot be converted to " + cvt.encoding());
        }
    }
    if (isUtf8Name(cvt.encoding())) return utf8;
    try {
        return iconvText(utf8, cvt.encoding(), "UTF-8", cvt.replaceInvalid());
    } catch (const UnknownEncoding&) {
        throw std::runtime_error("unknown text encoding " + cvt.encoding());
    }
}

}  // namespace fl::i18n
