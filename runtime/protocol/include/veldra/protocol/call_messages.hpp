#pragma once
// The messages of function calls, both ways in one place: the Call frame
// (client -> engine) and its CallResult (engine -> client), and CallBatch,
// many calls of one function, answered by CallBatchResult frames.  A Call or
// CallResult payload is a head followed by the head's count of arrays
// (array_codec.hpp):
//   Call:       string name, u32 nargout, u8 flags (1 capture out, 2 capture
//               err, 4 send captured text as it is written, 8 send progress),
//               u32 count
//   CallResult: u8 CallStatus, string identifier, string message, ustring
//               out, ustring err (the text not already sent in Output
//               frames), u32 count
// A batch is that for many calls at once:
//   CallBatch:       string name, u32 nargout, u8 flags (1 capture out, 2
//                    capture err), u64 after, u32 calls; then per call u32
//                    count and its arguments
//   CallBatchResult: u32 first, u32 calls, u8 final; then per call, from call
//                    `first` on, a CallResult payload (head and arrays)
// The engine runs the calls in order and stops at the first that does not
// succeed; it answers in one CallBatchResult or, when the results are
// large, several, each taking up where the one before ended.  The calls
// after the last one the final frame reports were not run (cancelled).  The
// text of each call comes with its own result, never in Output frames.
// A batch that names an earlier batch of its connection in `after` (0:
// none) continues it: it runs only if that one ran all its calls, so that a
// failure stops the calls of the batches sent after it too.
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

// The most calls one CallBatch may hold; a client sends more as several.
inline constexpr std::uint32_t kMaxBatchCalls = 1u << 16;

struct CallBatchHead {
    std::string name;
    std::uint32_t nargout = 0;
    bool capture_out = false;
    bool capture_err = false;
    std::uint64_t after = 0;  // the request id of the batch this one continues
    std::uint32_t calls = 0;  // calls that follow
};

void encode(const CallBatchHead& head, PayloadWriter& out);
// False when the head is cut short; `in` is then failed for good.
bool decode(PayloadReader& in, CallBatchHead& head);

struct CallBatchResultHead {
    std::uint32_t first = 0;  // the batch's index of the first call reported here
    std::uint32_t calls = 0;  // calls reported here
    bool final = false;       // nothing of the batch follows
};

void encode(const CallBatchResultHead& head, PayloadWriter& out);
// False when the head is cut short.
bool decode(PayloadReader& in, CallBatchResultHead& head);

// For a CallResult or CallBatchResult frame nobody waits for any more (other
// frames are left alone): decodes and destroys its arrays, so that the blocks they map are
// unmapped and their lender hears of it; references in them are counted by
// `objects` (may be null) and so given back.  Malformed ones are dropped as
// far as they can be read.
void drop_call_result(Frame& frame, const PeerLink& from,
                      const std::shared_ptr<const qx::ObjectSession>& objects) noexcept;

}  // namespace veldra::protocol
