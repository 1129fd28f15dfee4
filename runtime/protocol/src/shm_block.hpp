#pragma once
// Memfd plumbing shared by the shared-memory allocator and the array codec.
#include <veldra/protocol/fd.hpp>

#include <qx/block.hpp>

#include <cstddef>

namespace veldra::protocol::shm {

std::size_t pageSize() noexcept;
// `n` rounded up to whole pages; false when that overflows.
bool pageRound(std::size_t n, std::size_t* out) noexcept;

// A memfd of `bytes` bytes (zero-filled), sealed against shrinking and
// growing so that a peer mapping it can never fault past its end.  The seals
// are applied by sealSize(); until then the size may still be set.
UniqueFd createMemfd(std::size_t bytes);
bool sealSize(int fd) noexcept;
// Only against shrinking, for a memfd that still grows.
bool sealShrinking(int fd) noexcept;
// No new writable mapping and no write through any descriptor: mappings
// made before stay writable, so the maker alone can still write.  Best
// effort (kernels before 5.1 lack it).
bool sealWrites(int fd) noexcept;
// The same file opened again read-only (an invalid descriptor on failure).
UniqueFd reopenReadOnly(int fd);

// Marks a block as seen by another process, so it is never pooled again.
// Blocks the allocator did not make are ignored.
void markShared(qx::Block* block) noexcept;

// Loans: a block of ours sent to a peer that tells us when its mapping is
// gone, so that the memory can be pooled again afterwards.
// Records one more mapping of `block` sent to `peer`; its loan id, or 0 when
// the block is none of ours (or the loan could not be recorded, in which case
// the block is marked shared).
std::uint64_t lend(qx::Block* block, std::uint64_t peer) noexcept;
// `peer` unmapped one mapping of loan `id`; `reusable` false when the memory
// went on to others, so it must never be handed out again.
void loanReturned(std::uint64_t peer, std::uint64_t id, bool reusable) noexcept;
// A block over the memory of loan `id` to `peer` (which sends it back), or
// nullptr when there is no such loan or it is shorter than `length`.
std::shared_ptr<qx::Block> reclaim(std::uint64_t peer, std::uint64_t id, std::size_t length);
// The connection to `peer` ended: its loans come back unusable.
void forgetPeer(std::uint64_t peer) noexcept;
std::size_t loanCount();

// Pool tuning for measurements and tests: at most `blocks` released,
// never-shared memfd blocks kept for reuse (0 turns pooling off).
void setPoolLimit(std::size_t blocks);
std::size_t pooledBlockCount();

}  // namespace veldra::protocol::shm
