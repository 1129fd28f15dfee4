// Loans of large blocks to peers, as connections see them; the bookkeeping
// itself is the shared-memory allocator's (shm_allocator.cpp).
#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/shared_blocks.hpp>

#include "shm_block.hpp"

#include <atomic>

namespace veldra::protocol {

std::uint64_t new_peer_tag() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::uint8_t> loan_released_payload(std::uint64_t id, bool reusable) {
    return PayloadWriter().u64(id).u8(reusable ? 1 : 0).take();
}

void on_loan_released(std::uint64_t peer, const std::vector<std::uint8_t>& payload) noexcept {
    PayloadReader r(payload);
    const std::uint64_t id = r.u64();
    const std::uint8_t reusable = r.u8();
    if (!r.ok() || reusable > 1) return;
    shm::loanReturned(peer, id, reusable == 1);
}

void forget_peer(std::uint64_t peer) noexcept {
    shm::forgetPeer(peer);
}

}  // namespace veldra::protocol
