#include "object_ledger.hpp"

#include "connection.hpp"

#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>

#include <algorithm>

namespace engine_api::detail {

namespace {
// Ids given back per frame: well within a frame's payload limit.
constexpr std::size_t kReleasedPerFrame = 1u << 20;
}  // namespace

bool ObjectLedger::alive() const noexcept {
    auto c = conn_.lock();
    return c && c->is_open();
}

void ObjectLedger::retain(const std::uint64_t* ids, std::size_t n) const noexcept {
    std::lock_guard<std::mutex> lock(m_);
    try {
        for (std::size_t i = 0; i < n; ++i) ++counts_[ids[i]].live;
    } catch (...) {
        // No memory for the count: the engine keeps the object until the
        // connection ends, which is safe.
    }
}

void ObjectLedger::release(const std::uint64_t* ids, std::size_t n) const noexcept {
    std::lock_guard<std::mutex> lock(m_);
    for (std::size_t i = 0; i < n; ++i) {
        auto it = counts_.find(ids[i]);
        if (it == counts_.end() || --it->second.live != 0) continue;
        try {
            if (it->second.sent != 0) released_.emplace_back(ids[i], it->second.sent);
        } catch (...) {
            continue;  // kept, as above
        }
        counts_.erase(it);
    }
}

void ObjectLedger::received(const std::uint64_t* ids, std::size_t n) const noexcept {
    std::lock_guard<std::mutex> lock(m_);
    for (std::size_t i = 0; i < n; ++i) {
        auto it = counts_.find(ids[i]);
        if (it != counts_.end()) ++it->second.sent;  // retained just before
    }
}

void ObjectLedger::take_released(std::vector<std::uint8_t>& frames) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> batch;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (released_.empty()) return;
        batch.swap(released_);
    }
    try {
        std::vector<std::uint8_t> out;
        for (std::size_t at = 0; at < batch.size(); at += kReleasedPerFrame) {
            const std::size_t n = std::min(kReleasedPerFrame, batch.size() - at);
            veldra::protocol::PayloadWriter w;
            w.u32(static_cast<std::uint32_t>(n));
            for (std::size_t i = at; i < at + n; ++i) w.u64(batch[i].first).u64(batch[i].second);
            auto frame = veldra::protocol::encode_frame(veldra::protocol::MessageType::ObjectsReleased, 0, w.data());
            out.insert(out.end(), frame.begin(), frame.end());
        }
        frames.insert(frames.end(), out.begin(), out.end());
    } catch (...) {
        // Not given back now; the engine releases them when the client goes.
    }
}

}  // namespace engine_api::detail
