#include <fl/utf.hpp>

#include <cstdint>

namespace fl::utf {

namespace {

using CodePoint = std::uint32_t;
constexpr CodePoint kInvalid = 0xFFFFFFFFu;  // also a sequence cut off by the end

bool isScalarValue(CodePoint c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Each decoder reads one code point at p (p < end) and moves p past the units
// it consumed, which for an invalid sequence include the unit that broke it.
CodePoint decode(const char*& p, const char* end) {
    const unsigned char lead = static_cast<unsigned char>(*p++);
    if (lead < 0x80) return lead;
    int trail;
    if (lead < 0xC2) return kInvalid;  // a continuation byte, or an overlong two-byte lead
    if (lead < 0xE0) trail = 1;
    else if (lead < 0xF0) trail = 2;
    else if (lead <= 0xF4) trail = 3;
    else return kInvalid;
    CodePoint c = lead & ((1u << (6 - trail)) - 1);
    for (int i = 0; i < trail; ++i) {
        if (p == end) return kInvalid;
        const unsigned char next = static_cast<unsigned char>(*p++);
        if ((next & 0xC0) != 0x80) return kInvalid;
        c = (c << 6) | (next & 0x3F);
    }
    if (!isScalarValue(c)) return kInvalid;
    const int shortest = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    return shortest == trail ? c : kInvalid;
}

CodePoint decode(const char16_t*& p, const char16_t* end) {
    const CodePoint first = *p++;
    if (first < 0xD800 || first > 0xDFFF) return first;
    if (first > 0xDBFF || p == end) return kInvalid;
    const CodePoint second = *p++;
    if (second < 0xDC00 || second > 0xDFFF) return kInvalid;
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
}

CodePoint decode(const char32_t*& p, const char32_t*) {
    const CodePoint c = *p++;
    return isScalarValue(c) ? c : kInvalid;
}

void encode(CodePoint c, std::string& out) {
    appendUtf8(static_cast<char32_t>(c), out);
}

void encode(CodePoint c, std::u16string& out) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

void encode(CodePoint c, std::u32string& out) {
    out += static_cast<char32_t>(c);
}

}  // namespace

void appendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

template <class Out, class In>
std::basic_string<Out> convert(std::basic_string_view<In> text, OnInvalid how) {
    std::basic_string<Out> out;
    out.reserve(text.size());
    const In* p = text.data();
    const In* const end = p + text.size();
    while (p != end) {
        const CodePoint c = decode(p, end);
        if (c != kInvalid) encode(c, out);
        else if (how == OnInvalid::stop) throw InvalidText();
    }
    return out;
}

#define FL_UTF_CONVERT(Out, In) template std::basic_string<Out> convert<Out, In>(std::basic_string_view<In>, OnInvalid);
FL_UTF_CONVERT(char, char)
FL_UTF_CONVERT(char, char16_t)
FL_UTF_CONVERT(char, char32_t)
FL_UTF_CONVERT(char16_t, char)
FL_UTF_CONVERT(char16_t, char16_t)
FL_UTF_CONVERT(char16_t, char32_t)
FL_UTF_CONVERT(char32_t, char)
FL_UTF_CONVERT(char32_t, char16_t)
FL_UTF_CONVERT(char32_t, char32_t)
#undef FL_UTF_CONVERT

}  // namespace fl::utf
