#include "mo_file.hpp"

#include "iconv_text.hpp"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fl::i18n {

namespace {

// The header: magic, revision, number of strings, offset of the table of
// original strings, offset of the table of translations, size and offset of
// the hash table.  Each table entry is a length and an offset; the string it
// points at ends in a NUL past `length`.  The hash table is not needed (the
// texts go into a map) but checked: a catalog whose table is broken is as
// corrupt as one whose strings are.
constexpr std::size_t kHeaderSize = 28;
constexpr std::uint32_t kMagic = 0x950412de;
constexpr std::uint32_t kMagicSwapped = 0xde120495;

[[noreturn]] void refuse(const char* why) {
    throw std::runtime_error(std::string("bad message catalog: ") + why);
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {
        if (bytes_.size() < kHeaderSize) refuse("shorter than its header");
        const std::uint32_t magic = word(0);
        if (magic == kMagicSwapped) swapped_ = true;
        else if (magic != kMagic) refuse("no catalog magic");
    }

    // The 32-bit word at `offset`, in the file's byte order.
    std::uint32_t word(std::uint64_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < 4) refuse("table past the end");
        const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + offset);
        if (swapped_) return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
        return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    }

    // String number `index` of the table at `table`, with its forms.
    std::string_view string(std::uint32_t table, std::uint32_t index) const {
        const std::uint64_t entry = std::uint64_t(table) + 8 * std::uint64_t(index);
        const std::uint32_t length = word(entry);
        const std::uint32_t offset = word(entry + 4);
        if (offset >= bytes_.size() || bytes_.size() - offset <= length) refuse("string past the end");
        if (bytes_[std::size_t(offset) + length] != '\0') refuse("string without its NUL");
        return bytes_.substr(offset, length);
    }

private:
    std::string_view bytes_;
    bool swapped_ = false;
};

std::string_view firstForm(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

// The charset the header names ("" for none).
std::string headerCharset(std::string_view header) {
    const auto at = header.find("charset=");
    if (at == std::string_view::npos) return std::string();
    const auto value = header.substr(at + 8);
    return std::string(value.substr(0, value.find_first_of(" \t\r\n;")));
}

bool isUtf8(const std::string& charset) {
    std::string lower;
    for (char c : charset) {
        if (c >= 'A' && c <= 'Z') lower += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) lower += c;
    }
    return lower == "utf8";
}

}  // namespace

MoTexts parseMoFile(std::string_view bytes) {
    const Reader file(bytes);
    // Revisions 0.x share these tables (0.1 adds strings we do not read).
    if (file.word(4) >> 16 != 0) refuse("unknown revision");
    const std::uint32_t count = file.word(8);
    const std::uint32_t originals = file.word(12);
    const std::uint32_t translations = file.word(16);
    // Both tables inside the file before anything is reserved for them.
    if (count > 0) {
        file.word(std::uint64_t(originals) + 8 * std::uint64_t(count) - 4);
        file.word(std::uint64_t(translations) + 8 * std::uint64_t(count) - 4);
    }

    const std::uint32_t hashSize = file.word(20);
    const std::uint32_t hashTable = file.word(24);
    for (std::uint32_t i = 0; i < hashSize; ++i)
        if (file.word(std::uint64_t(hashTable) + 4 * std::uint64_t(i)) > count) refuse("hash entry past the tables");

    MoTexts texts;
    texts.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string_view id = firstForm(file.string(originals, i));
        const std::string_view text = file.string(translations, i);
        if (!text.empty()) texts.emplace(std::string(id), std::string(firstForm(text)));
    }

    const auto header = texts.find(std::string());
    const std::string charset = header == texts.end() ? std::string() : headerCharset(header->second);
    if (!charset.empty() && !isUtf8(charset)) {
        for (auto& entry : texts)
            if (!entry.first.empty()) entry.second = iconvText(entry.second, "UTF-8", charset, true);
    }
    return texts;
}

MoTexts readMoFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open message catalog " + path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read message catalog " + path);
    return parseMoFile(bytes);
}

}  // namespace fl::i18n
