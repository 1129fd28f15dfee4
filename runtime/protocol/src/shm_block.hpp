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

// Marks a block as seen by another process, so it is never pooled again.
// Blocks the allocator did not make are ignored.
void markShared(qx::Block* block) noexcept;

// Pool tuning for measurements and tests: at most `blocks` released,
// never-shared memfd blocks kept for reuse (0 turns pooling off).
void setPoolLimit(std::size_t blocks);
std::size_t pooledBlockCount();

}  // namespace veldra::protocol::shm
