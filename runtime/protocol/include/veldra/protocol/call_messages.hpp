#pragma once
// The two messages of a function call, both ways in one place: the Call
// frame (client -> engine) and its CallResult (engine -> client).  Each
// payload is a head followed by the head's count of arrays (array_codec.hpp):
//   Call:       string name, u32 nargout, u8 flags (1 capture out, 2 capture
//               err, 4 send captured text as it is written, 8 send progress),
//               u32 count
//   CallResult: u8 CallStatus, string identifier, string message, ustring
//               out, ustring err (the text not already sent in Output
//               frames), u32 count
#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>

#include <qx/matrix.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace veldra::protocol {

// Begins the message of an execution error about values that could not be
// passed between the engine and its client (arguments that could not be
// read, results that could not be sent); clients report those as a fault
// of the value rather than of the function.
inline constexpr const char kDataConversionError[] = "Data Conversion Error";

struct CallRequestHead {
    std::string name;
    std::uint32_t nargout = 0;
    bool capture_out = false;
    bool capture_err = false;
    bool live = false;        // captured text is sent as it is written
    bool progress = false;    // and progress reports
    std::uint32_t count = 0;  // arguments that follow
};

void encode(const CallRequestHead& head, PayloadWriter& out);
// False when the head is cut short; `in` is then failed for good.
bool decode(PayloadReader& in, CallRequestHead& head);

struct CallResultHead {
    CallStatus status = CallStatus::Ok;
    std::string identifier;
    std::string message;
    std::u16string out;
    std::u16string err;
    std::uint32_t count = 0;  // results that follow
};

void encode(const CallResultHead& head, PayloadWriter& out);
// False when the head is cut short or its status is none we know.
bool decode(PayloadReader& in, CallResultHead& head);

// For a CallResult frame nobody waits for any more (other frames are left
// alone): decodes and destroys its arrays, so that the blocks they map are
// unmapped and their lender hears of it; references in them are counted by
// `objects` (may be null) and so given back.  Malformed ones are dropped as
// far as they can be read.
void drop_call_result(Frame& frame, const PeerLink& from,
                      const std::shared_ptr<const qx::ObjectSession>& objects) noexcept;

}  // namespace veldra::protocol
