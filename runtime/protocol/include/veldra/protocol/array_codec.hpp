#pragma once
// Engine arrays on the wire.
//
// An array (with everything it holds: cell members, struct fields, sparse
// blocks, function names, object ids) is written into a payload; element
// blocks of at least kSharedBlockThreshold bytes are not copied into it but
// travel as memfd descriptors next to the frame, so that large arrays cross
// between processes without a copy.  Blocks made by the shared-memory
// allocator (installSharedMemoryAllocator) already live in a memfd and are
// sent as they are; other large blocks are copied into one.  A decoded
// array's large blocks map the received memory.
//
// Blocks that crossed between processes are never handed out again by the
// allocator: both sides may still see them.
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/payload.hpp>

#include <qx/block.hpp>
#include <qx/matrix.hpp>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

namespace veldra::protocol {

inline constexpr std::size_t kSharedBlockThreshold = 64 * 1024;

// An array that cannot be written or read: too deep, malformed, a descriptor
// missing or not mappable.
class ArrayCodecError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes blocks of at least kSharedBlockThreshold bytes in memfd memory (and
// smaller ones on the heap) for the whole process.  Call it once, early,
// in the engine and in the engine client.
void installSharedMemoryAllocator();

// Descriptors to send with a frame.  `fds` holds raw descriptors owned by the
// blocks kept alive in `keep` (or by `owned`), valid until the frame is sent.
struct OutgoingFds {
    std::vector<int> fds;
    std::vector<std::shared_ptr<qx::Block>> keep;
    std::vector<UniqueFd> owned;
};

// Appends `a` (nullptr allowed: "no array") to the payload.  Throws
// ArrayCodecError when it cannot be encoded.
void encode_array(const qxArray* a, PayloadWriter& out, OutgoingFds& fds);

// Reads one array written by encode_array.  `fds` are the frame's
// descriptors (taken as needed).  Object arrays carry the key of their
// session on the wire: those whose key is `session->key()` are decoded as
// references of `session`, all others as arrays that are no references.  Returns nullptr for "no
// array"; throws ArrayCodecError on malformed input, never reads out of
// bounds and leaves no array behind.
matrix::unique_array_ptr decode_array(PayloadReader& in, std::vector<UniqueFd>& fds,
                                      const std::shared_ptr<const qx::ObjectSession>& session);

}  // namespace veldra::protocol
