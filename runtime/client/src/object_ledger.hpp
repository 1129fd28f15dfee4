#pragma once
// The client's side of an engine's object session.  Arrays decoded from the
// engine's replies are references while the connection is open.  The engine
// counts every reference it sends as held by this client; the ledger counts
// them as they arrive and, once no array of this process uses an object any
// more, gives them all back.  What was let go travels in one ObjectsReleased
// frame ahead of the next frame the client sends.
#include <qx/block.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace engine_api::detail {

class Connection;

class ObjectLedger : public qx::ObjectSession {
public:
    ObjectLedger(std::weak_ptr<Connection> conn, std::uint64_t key) : conn_(std::move(conn)), key_(key) {}

    bool alive() const noexcept override;
    std::uint64_t key() const noexcept override { return key_; }
    void retain(const std::uint64_t* ids, std::size_t n) const noexcept override;
    void release(const std::uint64_t* ids, std::size_t n) const noexcept override;
    void received(const std::uint64_t* ids, std::size_t n) const noexcept override;

    // Appends the frames that give back what was let go since the last
    // call, if anything (nothing on failure: it stays for the next call).
    void take_released(std::vector<std::uint8_t>& frames) const;

private:
    struct Count {
        std::uint64_t live = 0;  // references in this process's arrays
        std::uint64_t sent = 0;  // references the engine sent, not yet given back
    };

    std::weak_ptr<Connection> conn_;
    std::uint64_t key_;
    mutable std::mutex m_;
    mutable std::unordered_map<std::uint64_t, Count> counts_;
    mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> released_;  // (id, times)
};

}  // namespace engine_api::detail
