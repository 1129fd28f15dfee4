#pragma once
// Payload fields: little-endian integers, strings as u32 length + bytes,
// UTF-16 strings as u32 count + code units.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veldra::protocol {

class PayloadWriter {
public:
    // Room for a call's head and a few small arrays from the start: most
    // payloads are that, and growing a byte at a time from nothing costs a
    // reallocation per doubling.
    PayloadWriter() { data_.reserve(128); }
    PayloadWriter& u8(std::uint8_t v);
    PayloadWriter& u32(std::uint32_t v);
    PayloadWriter& u64(std::uint64_t v);
    PayloadWriter& f64(double v);
    PayloadWriter& str(const std::string& s);
    PayloadWriter& ustr(const std::u16string& s);
    PayloadWriter& bytes(const void* data, std::size_t n);

    const std::vector<std::uint8_t>& data() const noexcept { return data_; }
    std::vector<std::uint8_t> take() noexcept { return std::move(data_); }
    // Empties it, keeping its memory for the next payload.
    void clear() noexcept { data_.clear(); }

private:
    // `n` more bytes at the end, to be written at the pointer returned.
    std::uint8_t* extend(std::size_t n);
    std::vector<std::uint8_t> data_;
};

// Reads fields in order; a field running past the end (checked before any
// allocation) makes the reader fail for good and yield zeros/empties.
class PayloadReader {
public:
    PayloadReader(const std::uint8_t* data, std::size_t n) : p_(data), n_(n) {}
    explicit PayloadReader(const std::vector<std::uint8_t>& v) : PayloadReader(v.data(), v.size()) {}

    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    double f64();
    std::string str();
    std::u16string ustr();
    // A view of n raw bytes, nullptr when they are not there.
    const std::uint8_t* bytes(std::size_t n);

    bool ok() const noexcept { return ok_; }
    std::size_t remaining() const noexcept { return n_ - pos_; }
    // Everything read and nothing left over.
    bool done() const noexcept { return ok_ && pos_ == n_; }

private:
    bool take(std::size_t n);
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace veldra::protocol
