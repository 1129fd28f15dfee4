#include "connection.hpp"

#include <engine_api/engine_api.hpp>

#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/socket.hpp>

#include <system_error>

#include <sys/socket.h>

namespace engine_api::detail {

using veldra::protocol::Deadline;
using veldra::protocol::Frame;

namespace {
// How long a launched engine gets to exit on its own once its connection
// has ended, before it is killed.
constexpr double kExitGrace = 2.0;

// The connection whose reader runs on this thread, if any.
thread_local const Connection* tlsReading = nullptr;
}  // namespace

void discard_call_result(Frame& frame, const veldra::protocol::PeerLink& from) noexcept {
    if (frame.type != veldra::protocol::MessageType::CallResult) return;
    try {
        veldra::protocol::PayloadReader r(frame.payload);
        r.u8();
        r.str();
        r.str();
        r.ustr();
        r.ustr();
        const std::uint32_t n = r.u32();
        for (std::uint32_t i = 0; r.ok() && i < n; ++i) veldra::protocol::decode_array(r, frame.fds, nullptr, &from);
    } catch (...) {
        // Malformed: whatever was mapped has been unmapped again.
    }
}

Connection::Connection(veldra::protocol::UniqueFd fd, std::shared_ptr<ChildProcess> process)
    : fd_(std::move(fd)), process_(std::move(process)) {}

Connection::~Connection() {
    std::lock_guard<std::mutex> lock(join_mutex_);
    if (!reader_.joinable()) return;
    if (reader_.get_id() == std::this_thread::get_id()) {
        reader_.detach();  // the reader is finishing and held the last reference
    } else {
        shutdown();
        reader_.join();
    }
}

void Connection::start(FrameHandler unsolicited, CloseHandler on_close) {
    unsolicited_ = std::move(unsolicited);
    on_close_ = std::move(on_close);
    auto self = shared_from_this();
    std::lock_guard<std::mutex> lock(join_mutex_);
    reader_ = std::thread([self] { self->read_loop(); });
}

bool Connection::expect(std::uint64_t request_id, ReplyHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
    replies_[request_id] = std::move(handler);
    return true;
}

void Connection::forget(std::uint64_t request_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.erase(request_id);
}

void Connection::send(veldra::protocol::MessageType type, std::uint64_t request_id,
                      const std::vector<std::uint8_t>& payload, const std::vector<int>& fds) {
    auto bytes = veldra::protocol::encode_frame(type, request_id, payload, fds.size());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) throw EngineException("the engine connection has ended: " + reason_);
    }
    std::lock_guard<std::mutex> lock(write_mutex_);
    try {
        send_notices_locked();
        veldra::protocol::send_all(fd_.get(), bytes.data(), bytes.size(), fds.data(), fds.size());
    } catch (const std::system_error& e) {
        throw EngineException(std::string("cannot send to the engine: ") + e.code().message());
    }
}

void Connection::send_notices_locked() {
    std::vector<std::uint8_t> notices;
    {
        std::lock_guard<std::mutex> lock(notice_mutex_);
        notices.swap(notices_);
    }
    if (!notices.empty()) veldra::protocol::send_all(fd_.get(), notices.data(), notices.size(), nullptr, 0);
}

void Connection::send_loan_released(std::uint64_t id, bool reusable) noexcept {
    try {
        auto frame = veldra::protocol::encode_frame(veldra::protocol::MessageType::LoanReleased, 0,
                                                    veldra::protocol::loan_released_payload(id, reusable));
        {
            std::lock_guard<std::mutex> lock(notice_mutex_);
            notices_.insert(notices_.end(), frame.begin(), frame.end());
        }
        if (tlsReading == this || !is_open()) return;
        std::lock_guard<std::mutex> lock(write_mutex_);
        send_notices_locked();
    } catch (...) {
        // The connection is gone: the engine forgets the loan with it.
    }
}

bool Connection::is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::string Connection::close_reason() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reason_;
}

void Connection::shutdown() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    // The descriptor stays open until the reader is gone, so its number
    // cannot be reused under the reader's feet.
    ::shutdown(fd_.get(), SHUT_RDWR);
}

void Connection::close(bool kill) {
    if (kill && process_) process_->kill();
    shutdown();
    std::lock_guard<std::mutex> lock(join_mutex_);
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

void Connection::read_loop() {
    tlsReading = this;
    const veldra::protocol::PeerLink from = link();
    veldra::protocol::FrameDecoder decoder;
    std::vector<std::uint8_t> buf(64 * 1024);
    std::vector<veldra::protocol::UniqueFd> fds;
    std::string reason;
    try {
        for (;;) {
            std::size_t n = veldra::protocol::recv_some(fd_.get(), buf.data(), buf.size(), &fds);
            if (n == 0) break;
            decoder.feed_fds(std::move(fds));
            fds.clear();
            decoder.feed(buf.data(), n);
            Frame frame;
            while (decoder.next(frame)) {
                if (frame.type == veldra::protocol::MessageType::LoanReleased) {
                    veldra::protocol::on_loan_released(peer_tag_, frame.payload);
                    continue;
                }
                ReplyHandler* h = nullptr;
                ReplyHandler handler;
                if (frame.request_id != 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    auto it = replies_.find(frame.request_id);
                    if (it != replies_.end()) {
                        handler = it->second;
                        h = &handler;
                    }
                }
                if (h) {
                    std::uint64_t id = frame.request_id;
                    if (h->on_frame && h->on_frame(std::move(frame))) forget(id);
                } else if (frame.type == veldra::protocol::MessageType::CallResult) {
                    discard_call_result(frame, from);  // its call was released meanwhile
                } else if (unsolicited_) {
                    unsolicited_(std::move(frame));
                }
            }
            if (decoder.failed()) {
                reason = "protocol error: " + decoder.error();
                break;
            }
        }
    } catch (const std::system_error& e) {
        reason = "connection failed: " + e.code().message();
    } catch (const std::exception& e) {
        reason = std::string("connection failed: ") + e.what();
    }
    ::shutdown(fd_.get(), SHUT_RDWR);
    veldra::protocol::forget_peer(peer_tag_);
    finish(std::move(reason));
    tlsReading = nullptr;
}

void Connection::finish(std::string reason) {
    bool we_closed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        we_closed = closing_;
    }
    if (process_) {
        process_->reap(Deadline::after(kExitGrace));
        if (reason.empty()) reason = we_closed ? "the engine was closed" : "the engine " + process_->status_text();
        else reason += " (the engine " + process_->status_text() + ")";
    } else if (reason.empty()) {
        reason = we_closed ? "the engine was detached" : "the engine closed the connection";
    }

    std::map<std::uint64_t, ReplyHandler> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        reason_ = reason;
        pending.swap(replies_);
    }
    for (auto& [id, h] : pending) {
        if (h.on_lost) h.on_lost(reason);
    }
    if (on_close_) on_close_(reason);
}

}  // namespace engine_api::detail
