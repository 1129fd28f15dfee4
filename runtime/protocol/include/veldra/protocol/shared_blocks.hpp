#pragma once
// Where the large element blocks of encoded arrays (array_codec.hpp) live.
//
// Element blocks of at least kSharedBlockThreshold bytes are not copied into
// a payload but travel as memfd descriptors next to the frame, so that large
// arrays cross between processes without a copy.  Blocks made by the
// shared-memory allocator (installSharedMemoryAllocator) already live in a
// memfd and are sent as they are; other large blocks are copied into one.  A
// decoded array's large blocks map the received memory, read-only: the
// memory files we send are sealed against writes by anyone but their maker's
// own mapping.
//
// A block of ours sent over a connection is a loan: when the peer has
// unmapped it, it says so (a LoanReleased frame) and the memory may be pooled
// again; when it passed the block on to others, or the connection ends
// first, the memory is never handed out again.  A lent block the peer sends
// back travels as the loan's id, and arrives as our own memory.
#include <veldra/protocol/fd.hpp>

#include <qx/block.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace veldra::protocol {

inline constexpr std::size_t kSharedBlockThreshold = 64 * 1024;

// Makes blocks of at least kSharedBlockThreshold bytes in memfd memory (and
// smaller ones on the heap) for the whole process.  Call it once, early,
// in the engine and in the engine client.
void installSharedMemoryAllocator();

// Descriptors to send with a frame.  `fds` holds raw descriptors owned by the
// blocks kept alive in `keep` (or by `owned` or `pack`), valid until the frame
// is sent.  Encode every array of one frame into the same OutgoingFds: past
// kMaxFdsPerFrame - 1 descriptors, large blocks are copied into one memfd
// (the pack, always the frame's last descriptor), so a frame may carry any
// number of them.
struct OutgoingFds {
    struct Pack {
        UniqueFd writable;  // ours
        UniqueFd readable;  // the one sent
        std::uint32_t index = 0;
        std::size_t bytes = 0;
    };
    std::vector<int> fds;
    std::vector<std::shared_ptr<qx::Block>> keep;
    std::vector<UniqueFd> owned;
    std::shared_ptr<Pack> pack;
};

// Where a connection's LoanReleased frames go; implemented by connections.
class LoanChannel {
public:
    virtual ~LoanChannel() = default;
    // Tells the peer that this process unmapped one mapping of its loan `id`
    // (`reusable` false when the block went on to others).  Any thread; must
    // not throw; a closed connection drops it.
    virtual void send_loan_released(std::uint64_t id, bool reusable) noexcept = 0;
};

// The connection an array is encoded for or decoded from.
struct PeerLink {
    std::uint64_t peer = 0;  // new_peer_tag(), one per connection
    std::weak_ptr<LoanChannel> channel;
};

// A tag no other connection of this process has had.
std::uint64_t new_peer_tag() noexcept;
// The payload of a LoanReleased frame, and what to do with one received from
// `peer` (malformed ones are ignored).
std::vector<std::uint8_t> loan_released_payload(std::uint64_t id, bool reusable);
void on_loan_released(std::uint64_t peer, const std::vector<std::uint8_t>& payload) noexcept;
// The connection to `peer` ended: loans to it come back unusable.
void forget_peer(std::uint64_t peer) noexcept;

}  // namespace veldra::protocol
