#pragma once
// Engine arrays on the wire: an array, with everything it holds (cell
// members, struct fields, sparse blocks, function names, object ids), written
// into a payload.  Every array is
//   u8 class (0: no array)   u64 ndim   ndim x u64 dims
// followed by what the class holds:
//   numeric/logical/char  u8 flags (1 complex, 2 sparse); sparse: u64 nzmax,
//                         block ir, block jc; then block real [, block imag]
//   cell                  numel x array (element order, 0 for unset slots)
//   struct                u32 nfields, nfields x str name,
//                         numel x nfields x array (element-major)
//   function              str name
//   object                u64 count, count x u64 id, u8 has session [, u64 key]
// A 1-by-1 dense numeric, logical or char array, what containers are full
// of, is short: u8 class | 0x80 (| 0x40 when complex), then its element's
// bytes (real, then imaginary).
// A block is u8 kind, u64 length, then the bytes (kind 0, small blocks), or
// u32 descriptor index, u64 page-aligned offset and u64 loan id (kind 1; 0:
// no loan), or the u64 id of a loan the receiver made us (kind 2: its own
// memory coming back), or u32 descriptor index and u64 page-aligned offset
// of a copy in the frame's pack (kind 3: never lent; one descriptor that
// every array of the frame may use).  Empty dense arrays carry no blocks.
// Which blocks go as descriptors, and their loans: shared_blocks.hpp.
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/shared_blocks.hpp>

#include <qx/matrix.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace veldra::protocol {

// An array that cannot be written or read: too deep, malformed, a descriptor
// missing or not mappable.
class ArrayCodecError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends `a` (nullptr allowed: "no array") to the payload.  With `to`, our
// large blocks are lent to that peer; without, they are marked shared for
// good.  Throws ArrayCodecError when it cannot be encoded.
void encode_array(const qxArray* a, PayloadWriter& out, OutgoingFds& fds, const PeerLink* to = nullptr);

// Reads one array written by encode_array.  `fds` are the frame's
// descriptors (taken as needed).  Object arrays carry the key of their
// session on the wire: those whose key is `session->key()` are decoded as
// references of `session`, all others as arrays that are no references.  Returns nullptr for "no
// array"; throws ArrayCodecError on malformed input, never reads out of
// bounds and leaves no array behind.
// `from` is the connection it came over: needed for lent blocks (their
// mappings report back through its channel) and for blocks coming back.
matrix::unique_array_ptr decode_array(PayloadReader& in, std::vector<UniqueFd>& fds,
                                      const std::shared_ptr<const qx::ObjectSession>& session,
                                      const PeerLink* from = nullptr);

// For a frame whose descriptors were lost on the way in (Frame::fds_lost):
// reads its `count` arrays without making them and tells the lender, through
// `from`, that none of its loans in them was mapped.
void release_lost_loans(PayloadReader& in, std::uint32_t count, const PeerLink& from) noexcept;

}  // namespace veldra::protocol
