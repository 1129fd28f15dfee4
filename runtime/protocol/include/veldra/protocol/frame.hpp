#pragma once
// Frames of the client/engine connection.
//
// A frame is a 20-byte header followed by its payload; all integers are
// little-endian:
//   u16 magic 0x5644 ("VD")   u8 version   u8 number of descriptors
//   u32 message type          u64 request id   u32 payload length
// Descriptors (SCM_RIGHTS) travel with the frame's first bytes and are
// matched to frames in arrival order.  Request id 0 marks a frame that
// answers no request (readiness, launch failure).
#include <veldra/protocol/fd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veldra::protocol {

enum class MessageType : std::uint32_t {
    // engine -> client, request id 0
    Ready = 1,         // u32 protocol version, u32 pid, u32 threads, string session name,
                       // u64 key of the engine's object session
    LaunchFailed = 2,  // string reason; the engine exits after sending it
    Refused = 3,       // string reason; a shared engine turns a peer away
    // client -> engine
    Shutdown = 4,  // a launched engine exits at once
    // either way, tagged with the request it answers
    Error = 5,         // string reason
    LoanReleased = 6,  // request id 0: u64 loan id, u8 reusable; a lent block was unmapped
    // client -> engine, request id 0: u32 count, count x (u64 object id, u64
    // times); the client let go of references the engine had sent it
    ObjectsReleased = 7,
    // function calls; the request id names the call
    Call = 100,        // client -> engine: a CallRequestHead, its arrays (call_messages.hpp)
    Cancel = 101,      // client -> engine: empty; drops or interrupts the call
    CallResult = 102,  // engine -> client: a CallResultHead, its arrays (call_messages.hpp)
    Output = 103,      // engine -> client, before the CallResult: u8 stream (1 out, 2 err),
                       // ustring text the running call wrote
    Progress = 104,    // engine -> client, before the CallResult: f64 done, f64 total; the
                       // running call's latest report
    // many calls of one function in one request (protocol version 3)
    CallBatch = 105,        // client -> engine: a CallBatchHead, then per call u32 count and its arrays
    CallBatchResult = 106,  // engine -> client: a CallBatchResultHead, then per call a CallResultHead
                            // and its arrays (call_messages.hpp)
};

enum class CallStatus : std::uint8_t {
    Ok = 0,
    ExecutionError = 1,
    SyntaxError = 2,
    Interrupted = 3,
    Cancelled = 4,
};

inline constexpr std::uint16_t kFrameMagic = 0x5644;
inline constexpr std::uint8_t kFrameVersion = 1;
// What Ready announces.  Version 3 added CallBatch; a client still talks to
// an engine of kOldestProtocolVersion, one Call frame per call.
inline constexpr std::uint32_t kProtocolVersion = 3;
inline constexpr std::uint32_t kOldestProtocolVersion = 2;
inline constexpr std::uint32_t kBatchProtocolVersion = 3;
inline constexpr std::size_t kHeaderSize = 20;
// Bulk data goes in memfd blocks, so frames stay small.
inline constexpr std::uint32_t kMaxPayload = 64u << 20;
inline constexpr std::size_t kMaxFdsPerFrame = 16;

struct Frame {
    MessageType type{};
    std::uint64_t request_id = 0;
    std::vector<std::uint8_t> payload;
    std::vector<UniqueFd> fds;
    // Its descriptors were dropped on the way in (a full descriptor table):
    // the request fails, the connection goes on.
    bool fds_lost = false;
};

// Header and payload of a frame announcing `nfds` descriptors; throws
// std::length_error past the limits.
std::vector<std::uint8_t> encode_frame(MessageType type, std::uint64_t request_id,
                                       const std::vector<std::uint8_t>& payload, std::size_t nfds = 0);

// Reassembles frames from received bytes and descriptors, no I/O.  Errors
// are sticky: after one, nothing more comes out.
class FrameDecoder {
public:
    explicit FrameDecoder(std::uint32_t max_payload = kMaxPayload) : max_payload_(max_payload) {}

    // Descriptors must be fed no later than the bytes they arrived with;
    // `lost`: some of them did not arrive (recv_some's fds_lost).  Such a
    // batch goes, as far as it came, to the next frame announcing any.
    void feed(const void* data, std::size_t n);
    void feed_fds(std::vector<UniqueFd>&& fds, bool lost = false);
    // Takes the next whole frame; false when none is complete (or failed()).
    bool next(Frame& out);

    bool failed() const noexcept { return !error_.empty(); }
    const std::string& error() const noexcept { return error_; }
    std::size_t buffered() const noexcept { return buffer_.size() - start_; }
    // Descriptors received that no frame has taken yet.
    std::size_t fds_buffered() const noexcept { return fds_.size(); }
    // Whether the header of a frame of `type` for `request_id` is among the
    // bytes buffered and not yet taken (its payload may still be coming).
    bool holds(MessageType type, std::uint64_t request_id) const noexcept;

private:
    struct Header {
        std::uint8_t nfds;
        std::uint32_t type;
        std::uint64_t request_id;
        std::uint32_t length;
    };
    bool check_header();
    void fail(std::string why);

    std::uint32_t max_payload_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    bool have_header_ = false;
    Header header_{};
    std::vector<UniqueFd> fds_;
    std::uint64_t fds_taken_ = 0;  // descriptors handed out so far
    // Short batches: the count of descriptors taken before each, and its size.
    std::vector<std::pair<std::uint64_t, std::size_t>> short_;
    std::string error_;
};

}  // namespace veldra::protocol
