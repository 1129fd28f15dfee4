#include "numerics/unicode_case.hpp"

#include "numerics/case_tables.hpp"

#include <algorithm>
#include <vector>

namespace veldra::engine::unicase {
namespace {

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kFinalSigma = 0x3C2;

std::vector<char32_t> decode(const char16_t* s, std::size_t n) {
    std::vector<char32_t> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void append(fl::ustring& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

bool inRanges(const CodeRange* ranges, std::size_t count, char32_t c) {
    const CodeRange* end = ranges + count;
    const CodeRange* r = std::upper_bound(ranges, end, c, [](char32_t v, const CodeRange& x) { return v < x.first; });
    return r != ranges && c <= (r - 1)->last;
}

bool caseIgnorable(char32_t c) {
    return inRanges(kCaseIgnorable, kCaseIgnorableCount, c);
}
bool cased(char32_t c) {
    return inRanges(kCased, kCasedCount, c);
}

void appendMapped(fl::ustring& out, const CaseMapping* table, std::size_t count, char32_t c) {
    const CaseMapping* end = table + count;
    const CaseMapping* m = std::lower_bound(table, end, c, [](const CaseMapping& x, char32_t v) { return x.from < v; });
    if (m == end || m->from != c) {
        append(out, c);
        return;
    }
    for (char32_t t : m->to)
        if (t) append(out, t);
}

// A capital sigma ends a word when a cased letter comes before it and none
// after it, case-ignorable code points (apostrophes, marks) skipped.
bool endsWord(const std::vector<char32_t>& cps, std::size_t i) {
    std::size_t j = i;
    while (j > 0 && caseIgnorable(cps[j - 1])) --j;
    if (j == 0 || !cased(cps[j - 1])) return false;
    std::size_t k = i + 1;
    while (k < cps.size() && caseIgnorable(cps[k])) ++k;
    return k == cps.size() || !cased(cps[k]);
}

}  // namespace

fl::ustring upper(const char16_t* text, std::size_t n) {
    fl::ustring out;
    out.reserve(n);
    for (char32_t c : decode(text, n)) appendMapped(out, kUpper, kUpperCount, c);
    return out;
}

fl::ustring lower(const char16_t* text, std::size_t n) {
    const std::vector<char32_t> cps = decode(text, n);
    fl::ustring out;
    out.reserve(n);
    for (std::size_t i = 0; i < cps.size(); ++i) {
        if (cps[i] == kCapitalSigma && endsWord(cps, i)) {
            append(out, kFinalSigma);
        } else {
            appendMapped(out, kLower, kLowerCount, cps[i]);
        }
    }
    return out;
}

}  // namespace veldra::engine::unicase
