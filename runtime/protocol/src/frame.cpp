#include <veldra/protocol/frame.hpp>

#include <cstring>
#include <stdexcept>

namespace veldra::protocol {

namespace {
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
void put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
std::uint16_t get16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
std::uint32_t get32(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
std::uint64_t get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

std::vector<std::uint8_t> encode_frame(MessageType type, std::uint64_t request_id,
                                       const std::vector<std::uint8_t>& payload, std::size_t nfds) {
    if (payload.size() > kMaxPayload) throw std::length_error("frame payload too large");
    if (nfds > kMaxFdsPerFrame) throw std::length_error("too many descriptors for one frame");
    std::vector<std::uint8_t> out(kHeaderSize + payload.size());
    std::uint8_t* h = out.data();
    put16(h, kFrameMagic);
    h[2] = kFrameVersion;
    h[3] = std::uint8_t(nfds);
    put32(h + 4, static_cast<std::uint32_t>(type));
    put64(h + 8, request_id);
    put32(h + 16, static_cast<std::uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(h + kHeaderSize, payload.data(), payload.size());
    return out;
}

void FrameDecoder::fail(std::string why) {
    error_ = std::move(why);
    buffer_.clear();
    buffer_.shrink_to_fit();
    start_ = 0;
    fds_.clear();
    short_.clear();
}

void FrameDecoder::feed(const void* data, std::size_t n) {
    if (failed() || n == 0) return;
    // Drop consumed bytes before growing, so the buffer holds at most one
    // frame plus one read.
    if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + n);
    check_header();
}

void FrameDecoder::feed_fds(std::vector<UniqueFd>&& fds, bool lost) {
    if (failed()) {
        fds.clear();
        return;
    }
    if (lost) short_.emplace_back(fds_taken_ + fds_.size(), fds.size());
    for (auto& fd : fds) fds_.push_back(std::move(fd));
    fds.clear();
    if (fds_.size() > 4 * kMaxFdsPerFrame || short_.size() > 4 * kMaxFdsPerFrame)
        fail("too many descriptors received ahead of their frames");
}

bool FrameDecoder::check_header() {
    if (failed()) return false;
    if (have_header_) return true;
    if (buffered() < kHeaderSize) return false;
    const std::uint8_t* h = buffer_.data() + start_;
    if (get16(h) != kFrameMagic) {
        fail("bad frame magic");
        return false;
    }
    if (h[2] != kFrameVersion) {
        fail("unsupported frame version " + std::to_string(h[2]));
        return false;
    }
    header_.nfds = h[3];
    header_.type = get32(h + 4);
    header_.request_id = get64(h + 8);
    header_.length = get32(h + 16);
    if (header_.nfds > kMaxFdsPerFrame) {
        fail("frame announces " + std::to_string(header_.nfds) + " descriptors");
        return false;
    }
    if (header_.length > max_payload_) {
        fail("frame payload of " + std::to_string(header_.length) + " bytes exceeds the limit");
        return false;
    }
    have_header_ = true;
    return true;
}

bool FrameDecoder::holds(MessageType type, std::uint64_t request_id) const noexcept {
    if (failed()) return false;
    // The buffer starts at a frame; each header says where the next starts.
    std::size_t at = start_;
    while (buffer_.size() - at >= kHeaderSize) {
        const std::uint8_t* h = buffer_.data() + at;
        if (get16(h) != kFrameMagic) return false;  // next() reports it
        if (get32(h + 4) == static_cast<std::uint32_t>(type) && get64(h + 8) == request_id) return true;
        const std::size_t length = get32(h + 16);
        if (buffer_.size() - at - kHeaderSize < length) return false;
        at += kHeaderSize + length;
    }
    return false;
}

bool FrameDecoder::next(Frame& out) {
    if (!check_header()) return false;
    if (buffered() < kHeaderSize + header_.length) return false;
    // A frame's descriptors travel in one batch, so a short batch is the
    // next frame's that announces any, and only its.
    std::size_t take = header_.nfds;
    bool lost = false;
    if (take > 0 && !short_.empty() && short_.front().first < fds_taken_ + take) {
        if (short_.front().first != fds_taken_) {
            fail("descriptors out of step with their frames");
            return false;
        }
        if (short_.front().second < take) {
            take = short_.front().second;
            lost = true;
        }
        short_.erase(short_.begin());
    }
    if (fds_.size() < take) {
        fail("frame announces " + std::to_string(header_.nfds) + " descriptors but " + std::to_string(fds_.size()) +
             " arrived");
        return false;
    }
    const std::uint8_t* body = buffer_.data() + start_ + kHeaderSize;
    out.type = static_cast<MessageType>(header_.type);
    out.request_id = header_.request_id;
    out.payload.assign(body, body + header_.length);
    out.fds.clear();
    out.fds_lost = lost;
    for (std::size_t i = 0; i < take; ++i) out.fds.push_back(std::move(fds_[i]));
    fds_.erase(fds_.begin(), fds_.begin() + static_cast<std::ptrdiff_t>(take));
    fds_taken_ += take;
    if (lost) out.fds.clear();
    start_ += kHeaderSize + header_.length;
    have_header_ = false;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    check_header();
    return true;
}

}  // namespace veldra::protocol
