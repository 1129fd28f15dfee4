#include "connection.hpp"

#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/socket.hpp>

#include <chrono>
#include <map>

#include <sched.h>

#include <sys/socket.h>

namespace veldra::engine {

namespace {
// How long the reader polls for a client's next frame before it sleeps.
constexpr auto kNextFrameSpin = std::chrono::microseconds(50);

std::map<std::uint32_t, Handler>& handlers() {
    static std::map<std::uint32_t, Handler> h;
    return h;
}
}  // namespace

void register_handler(protocol::MessageType type, Handler handler) {
    handlers()[static_cast<std::uint32_t>(type)] = std::move(handler);
}

Connection::Connection(protocol::UniqueFd fd, Kind kind) : fd_(std::move(fd)), kind_(kind) {}

Connection::~Connection() {
    if (reader_.joinable()) {
        if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();
        else close();
    }
}

void Connection::start(std::function<void(Connection&)> on_closed) {
    // The reader keeps the connection alive until it is done with it.
    auto self = shared_from_this();
    reader_ = std::thread([self, cb = std::move(on_closed)]() mutable { self->read_loop(std::move(cb)); });
}

bool Connection::send(protocol::MessageType type, std::uint64_t request_id,
                      const std::vector<std::uint8_t>& payload, const std::vector<int>& fds) {
    auto bytes = protocol::encode_frame(type, request_id, payload, fds.size());
    std::lock_guard<std::mutex> lock(write_mutex_);
    try {
        protocol::send_all(fd_.get(), bytes.data(), bytes.size(), fds.data(), fds.size());
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void Connection::send_loan_released(std::uint64_t id, bool reusable) noexcept {
    try {
        send(protocol::MessageType::LoanReleased, 0, protocol::loan_released_payload(id, reusable));
    } catch (...) {
        // Gone: the client forgets the loan with the connection.
    }
}

bool Connection::send_text(protocol::MessageType type, std::uint64_t request_id, const std::string& text) {
    return send(type, request_id, protocol::PayloadWriter().str(text).take());
}

void Connection::close() {
    ::shutdown(fd_.get(), SHUT_RDWR);
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

void Connection::read_loop(std::function<void(Connection&)> on_closed) {
    protocol::FrameDecoder decoder;
    decoder_ = &decoder;
    std::vector<std::uint8_t> buf(64 * 1024);
    std::vector<protocol::UniqueFd> fds;
    auto self = shared_from_this();
    const bool spin = protocol::several_cpus();
    try {
        for (;;) {
            std::size_t n = protocol::kNothingYet;
            if (spin) {
                // A client calling again at once is read without a wake-up.
                const auto until = std::chrono::steady_clock::now() + kNextFrameSpin;
                do {
                    n = protocol::recv_some(fd_.get(), buf.data(), buf.size(), &fds, true);
                    if (n != protocol::kNothingYet) break;
                    ::sched_yield();
                } while (std::chrono::steady_clock::now() < until);
            }
            if (n == protocol::kNothingYet) n = protocol::recv_some(fd_.get(), buf.data(), buf.size(), &fds);
            if (n == 0) break;
            decoder.feed_fds(std::move(fds));
            fds.clear();
            decoder.feed(buf.data(), n);
            protocol::Frame frame;
            while (decoder.next(frame)) {
                if (frame.type == protocol::MessageType::LoanReleased) {
                    protocol::on_loan_released(peer_tag_, frame.payload);
                    continue;
                }
                auto it = handlers().find(static_cast<std::uint32_t>(frame.type));
                if (it != handlers().end()) {
                    it->second(self, std::move(frame));
                } else if (frame.type == protocol::MessageType::Shutdown) {
                    if (kind_ == Kind::Private) request_stop();
                    else send_text(protocol::MessageType::Error, frame.request_id,
                                   "a shared engine is not stopped by its clients");
                } else {
                    send_text(protocol::MessageType::Error, frame.request_id,
                              "the engine does not understand message type " +
                                  std::to_string(static_cast<std::uint32_t>(frame.type)));
                }
            }
            if (decoder.failed()) {
                send_text(protocol::MessageType::Error, 0, "protocol error: " + decoder.error());
                break;
            }
        }
    } catch (const std::exception&) {
        // A broken connection ends like a closed one.
    }
    decoder_ = nullptr;
    ::shutdown(fd_.get(), SHUT_RDWR);
    protocol::forget_peer(peer_tag_);
    finished_ = true;
    if (on_closed) on_closed(*this);
}

}  // namespace veldra::engine
