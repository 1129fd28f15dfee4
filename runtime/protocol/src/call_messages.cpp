#include <veldra/protocol/call_messages.hpp>

namespace veldra::protocol {

namespace {
enum CallFlag : std::uint8_t { kCaptureOut = 1, kCaptureErr = 2, kLive = 4, kProgress = 8 };
}  // namespace

void encode(const CallRequestHead& head, PayloadWriter& out) {
    const unsigned flags = (head.capture_out ? kCaptureOut : 0) | (head.capture_err ? kCaptureErr : 0) |
                           (head.live ? kLive : 0) | (head.progress ? kProgress : 0);
    out.str(head.name).u32(head.nargout).u8(static_cast<std::uint8_t>(flags)).u32(head.count);
}

bool decode(PayloadReader& in, CallRequestHead& head) {
    head.name = in.str();
    head.nargout = in.u32();
    const std::uint8_t flags = in.u8();
    head.capture_out = flags & kCaptureOut;
    head.capture_err = flags & kCaptureErr;
    head.live = flags & kLive;
    head.progress = flags & kProgress;
    head.count = in.u32();
    return in.ok();
}

void encode(const CallResultHead& head, PayloadWriter& out) {
    out.u8(static_cast<std::uint8_t>(head.status))
        .str(head.identifier)
        .str(head.message)
        .ustr(head.out)
        .ustr(head.err)
        .u32(head.count);
}

bool decode(PayloadReader& in, CallResultHead& head) {
    const std::uint8_t status = in.u8();
    head.status = static_cast<CallStatus>(status);
    head.identifier = in.str();
    head.message = in.str();
    head.out = in.ustr();
    head.err = in.ustr();
    head.count = in.u32();
    return in.ok() && status <= static_cast<std::uint8_t>(CallStatus::Cancelled);
}

void encode(const CallBatchHead& head, PayloadWriter& out) {
    const unsigned flags = (head.capture_out ? kCaptureOut : 0) | (head.capture_err ? kCaptureErr : 0);
    out.str(head.name).u32(head.nargout).u8(static_cast<std::uint8_t>(flags)).u64(head.after).u32(head.calls);
}

bool decode(PayloadReader& in, CallBatchHead& head) {
    head.name = in.str();
    head.nargout = in.u32();
    const std::uint8_t flags = in.u8();
    head.capture_out = flags & kCaptureOut;
    head.capture_err = flags & kCaptureErr;
    head.after = in.u64();
    head.calls = in.u32();
    return in.ok();
}

void encode(const CallBatchResultHead& head, PayloadWriter& out) {
    out.u32(head.first).u32(head.calls).u8(head.final ? 1 : 0);
}

bool decode(PayloadReader& in, CallBatchResultHead& head) {
    head.first = in.u32();
    head.calls = in.u32();
    head.final = in.u8() != 0;
    return in.ok();
}

void drop_call_result(Frame& frame, const PeerLink& from,
                      const std::shared_ptr<const qx::ObjectSession>& objects) noexcept {
    if (frame.type != MessageType::CallResult && frame.type != MessageType::CallBatchResult) return;
    try {
        PayloadReader r(frame.payload);
        std::uint32_t results = 1;
        if (frame.type == MessageType::CallBatchResult) {
            CallBatchResultHead batch;
            if (!decode(r, batch)) return;
            results = batch.calls;
        }
        for (std::uint32_t k = 0; r.ok() && k < results; ++k) {
            CallResultHead head;
            if (!decode(r, head)) return;  // its status does not matter: the arrays go either way
            if (frame.fds_lost) {
                // Nothing was mapped: the lender hears at once that its blocks are free.
                release_lost_loans(r, head.count, from);
                continue;
            }
            for (std::uint32_t i = 0; r.ok() && i < head.count; ++i) decode_array(r, frame.fds, objects, &from);
        }
    } catch (...) {
        // Malformed: whatever was mapped has been unmapped again.
    }
}

}  // namespace veldra::protocol
