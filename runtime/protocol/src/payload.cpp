#include <veldra/protocol/payload.hpp>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace veldra::protocol {

PayloadWriter& PayloadWriter::u8(std::uint8_t v) {
    data_.push_back(v);
    return *this;
}
// Whole fields at a time: a byte at a time costs a capacity check each,
// which shows in payloads of many small arrays.
PayloadWriter& PayloadWriter::u32(std::uint32_t v) {
    std::uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = std::uint8_t(v >> (8 * i));
    data_.insert(data_.end(), b, b + 4);
    return *this;
}
PayloadWriter& PayloadWriter::u64(std::uint64_t v) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = std::uint8_t(v >> (8 * i));
    data_.insert(data_.end(), b, b + 8);
    return *this;
}
PayloadWriter& PayloadWriter::f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return u64(bits);
}
PayloadWriter& PayloadWriter::str(const std::string& s) {
    if (s.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("string too long");
    u32(static_cast<std::uint32_t>(s.size()));
    return bytes(s.data(), s.size());
}
PayloadWriter& PayloadWriter::ustr(const std::u16string& s) {
    if (s.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("string too long");
    u32(static_cast<std::uint32_t>(s.size()));
    for (char16_t c : s) {
        data_.push_back(std::uint8_t(c));
        data_.push_back(std::uint8_t(c >> 8));
    }
    return *this;
}
PayloadWriter& PayloadWriter::bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    data_.insert(data_.end(), p, p + n);
    return *this;
}

bool PayloadReader::take(std::size_t n) {
    if (!ok_ || n > n_ - pos_) {
        ok_ = false;
        return false;
    }
    return true;
}

std::uint8_t PayloadReader::u8() {
    if (!take(1)) return 0;
    return p_[pos_++];
}
std::uint32_t PayloadReader::u32() {
    if (!take(4)) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p_[pos_ + i];
    pos_ += 4;
    return v;
}
std::uint64_t PayloadReader::u64() {
    if (!take(8)) return 0;
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p_[pos_ + i];
    pos_ += 8;
    return v;
}
double PayloadReader::f64() {
    std::uint64_t bits = u64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
std::string PayloadReader::str() {
    std::uint32_t n = u32();
    const std::uint8_t* p = bytes(n);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p), n);
}
std::u16string PayloadReader::ustr() {
    std::uint32_t n = u32();
    // Checked as bytes first so a huge count cannot overflow or allocate.
    if (!ok_ || n > (n_ - pos_) / 2) {
        ok_ = false;
        return {};
    }
    std::u16string s(n, u'\0');
    for (std::uint32_t i = 0; i < n; ++i) s[i] = char16_t(p_[pos_ + 2 * i] | (p_[pos_ + 2 * i + 1] << 8));
    pos_ += 2 * std::size_t(n);
    return s;
}
const std::uint8_t* PayloadReader::bytes(std::size_t n) {
    if (!take(n)) return nullptr;
    const std::uint8_t* p = p_ + pos_;
    pos_ += n;
    return p;
}

}  // namespace veldra::protocol
