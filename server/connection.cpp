#include "connection.hpp"

#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/socket.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <system_error>

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace veldra::engine {

namespace {
// How long the reader polls for a client's next frame before it sleeps.
constexpr auto kNextFrameSpin = std::chrono::microseconds(50);

// Back-pressure: past these a connection is not read from until its calls
// and output drain.
constexpr std::size_t kPauseCalls = 64;
constexpr std::size_t kPauseOutput = std::size_t(8) << 20;
// A shared peer whose output is past this, or has not moved for this long,
// is dropped: it no longer reads what it asked for.
constexpr std::size_t kDropOutput = std::size_t(256) << 20;
constexpr auto kDropStall = std::chrono::seconds(30);
// How long writes wait when the peer holds too many descriptors unread.
constexpr int kRefsWaitMs = 10;
// How much a call run on the reader reads ahead while looking for its
// Cancel; past it the peer waits, as it would for any busy reader.
constexpr std::size_t kReadAhead = std::size_t(4) << 20;

std::map<std::uint32_t, Handler>& handlers() {
    static std::map<std::uint32_t, Handler> h;
    return h;
}

std::vector<std::function<void(const std::shared_ptr<Connection>&)>>& close_handlers() {
    static std::vector<std::function<void(const std::shared_ptr<Connection>&)>> h;
    return h;
}

}  // namespace

void register_handler(protocol::MessageType type, Handler handler) {
    handlers()[static_cast<std::uint32_t>(type)] = std::move(handler);
}

void register_close_handler(std::function<void(const std::shared_ptr<Connection>&)> handler) {
    close_handlers().push_back(std::move(handler));
}

Connection::Connection(protocol::UniqueFd fd, Kind kind)
    : fd_(std::move(fd)), wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), kind_(kind) {
    if (!wake_fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

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

void Connection::wake_reader() noexcept {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof one);
}

bool Connection::send(protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
                      protocol::OutgoingFds fds) {
    return send(type, request_id, payload, std::move(fds), true);
}

bool Connection::send(protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
                      protocol::OutgoingFds fds, bool now) {
    Outgoing o;
    o.bytes = protocol::encode_frame(type, request_id, payload, fds.fds.size());
    o.fds = std::move(fds);
    std::vector<Outgoing> done;
    bool ok = true;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(out_mutex_);
        if (dropped_) {
            ok = false;
        } else {
            if (out_.empty()) last_progress_ = std::chrono::steady_clock::now();
            out_bytes_ += o.bytes.size() - o.sent;
            out_.push_back(std::move(o));
            if (!now) {
                // The reader writes it with whatever else is queued by then;
                // woken once for all of them.
                wake = !held_;
                held_ = true;
            } else {
                if (!flush_locked(done) || stalled_locked(std::chrono::steady_clock::now())) {
                    drop_locked(done);
                    ok = false;
                }
                // The reader writes the rest when the socket takes it.
                wake = ok && !out_.empty();
            }
        }
    }
    if (wake) wake_reader();
    return ok;  // `done` (and `o`) released here, without the lock
}

bool Connection::flush_locked(std::vector<Outgoing>& done) {
    // Replies queued together leave in one write: the first frame with its
    // descriptors, then those that have none, up to the first that has.
    constexpr std::size_t kParts = 64;
    iovec parts[kParts];
    held_ = false;
    while (!out_.empty()) {
        const Outgoing& first = out_.front();
        const bool with_fds = first.sent == 0 && !first.fds.fds.empty();
        std::size_t count = 0;
        for (const Outgoing& o : out_) {
            if (count == kParts || (count > 0 && o.sent == 0 && !o.fds.fds.empty())) break;
            parts[count].iov_base = const_cast<std::uint8_t*>(o.bytes.data() + o.sent);
            parts[count].iov_len = o.bytes.size() - o.sent;
            ++count;
        }
        std::size_t n;
        try {
            n = protocol::send_some(fd_.get(), parts, count, with_fds ? first.fds.fds.data() : nullptr,
                                    with_fds ? first.fds.fds.size() : 0);
        } catch (const std::system_error& e) {
            if (e.code().value() != ETOOMANYREFS) return false;
            refs_wait_ = true;
            return true;
        } catch (const std::exception&) {
            return false;
        }
        if (n == protocol::kNothingYet) return true;
        last_progress_ = std::chrono::steady_clock::now();
        out_bytes_ -= n;
        while (n > 0) {
            Outgoing& o = out_.front();
            const std::size_t take = std::min(n, o.bytes.size() - o.sent);
            o.sent += take;
            n -= take;
            if (o.sent < o.bytes.size()) break;
            done.push_back(std::move(o));
            out_.pop_front();
        }
    }
    return true;
}

bool Connection::stalled_locked(std::chrono::steady_clock::time_point now) const {
    if (kind_ != Kind::Shared || out_.empty()) return false;
    return out_bytes_ > kDropOutput || now - last_progress_ > kDropStall;
}

void Connection::drop_locked(std::vector<Outgoing>& done) {
    dropped_ = true;
    while (!out_.empty()) {
        done.push_back(std::move(out_.front()));
        out_.pop_front();
    }
    out_bytes_ = 0;
    // The reader sees the end and finishes the connection.
    ::shutdown(fd_.get(), SHUT_RDWR);
}

bool Connection::paused() const {
    if (pending_calls_.load(std::memory_order_relaxed) >= kPauseCalls) return true;
    std::lock_guard<std::mutex> lock(out_mutex_);
    return out_bytes_ > kPauseOutput;
}

std::size_t Connection::queued() const {
    std::lock_guard<std::mutex> lock(out_mutex_);
    return out_bytes_;
}

void Connection::call_finished() noexcept {
    if (pending_calls_.fetch_sub(1, std::memory_order_relaxed) == kPauseCalls) wake_reader();
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

bool Connection::frame_arrived(protocol::MessageType type, std::uint64_t request_id) noexcept {
    if (decoder_ == nullptr) return false;
    try {
        std::uint8_t buf[16 * 1024];
        std::vector<protocol::UniqueFd> fds;
        // Descriptors wait in the decoder for their frames, and it takes only
        // so many ahead of them: reading stops at the first batch.
        while (!peer_ended_ && !decoder_->failed() && decoder_->fds_buffered() == 0 &&
               decoder_->buffered() < kReadAhead) {
            bool fds_lost = false;
            const std::size_t n = protocol::recv_some(fd_.get(), buf, sizeof buf, &fds, true, &fds_lost);
            if (n == protocol::kNothingYet) break;
            if (n == 0) {
                peer_ended_ = true;
                break;
            }
            decoder_->feed_fds(std::move(fds), fds_lost);
            fds.clear();
            decoder_->feed(buf, n);
        }
    } catch (const std::exception&) {
        peer_ended_ = true;  // a broken socket ends the connection
    }
    return peer_ended_ || decoder_->holds(type, request_id);
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
    // Hands out whole frames while the connection takes calls.
    auto dispatch = [&] {
        protocol::Frame frame;
        while (!paused() && decoder.next(frame)) {
            if (frame.type == protocol::MessageType::LoanReleased) {
                protocol::on_loan_released(peer_tag_, frame.payload);
                continue;
            }
            auto it = handlers().find(static_cast<std::uint32_t>(frame.type));
            if (it != handlers().end()) {
                it->second(self, std::move(frame));
            } else if (frame.type == protocol::MessageType::Shutdown) {
                if (kind_ == Kind::Private) request_stop();
                else
                    send_text(protocol::MessageType::Error, frame.request_id,
                              "a shared engine is not stopped by its clients");
            } else {
                send_text(protocol::MessageType::Error, frame.request_id,
                          "the engine does not understand message type " +
                              std::to_string(static_cast<std::uint32_t>(frame.type)));
            }
        }
    };
    try {
        for (;;) {
            dispatch();
            if (peer_ended_) break;  // seen while a call ran on this thread
            if (decoder.failed()) {
                send_text(protocol::MessageType::Error, 0, "protocol error: " + decoder.error());
                break;
            }
            const bool reading = !paused();
            bool writing;
            bool refs_waiting;
            int timeout = -1;
            {
                std::lock_guard<std::mutex> lock(out_mutex_);
                if (dropped_) break;
                writing = !out_.empty();
                if (writing && kind_ == Kind::Shared) {
                    const auto left = kDropStall - (std::chrono::steady_clock::now() - last_progress_);
                    timeout = static_cast<int>(
                        std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
                }
                refs_waiting = writing && refs_wait_;
                refs_wait_ = false;
                if (refs_waiting) timeout = timeout < 0 ? kRefsWaitMs : std::min(timeout, kRefsWaitMs);
            }
            std::size_t n = protocol::kNothingYet;
            bool fds_lost = false;
            if (reading && !writing && spin) {
                // A client calling again at once is read without a wake-up.
                const auto until = std::chrono::steady_clock::now() + kNextFrameSpin;
                do {
                    n = protocol::recv_some(fd_.get(), buf.data(), buf.size(), &fds, true, &fds_lost);
                    if (n != protocol::kNothingYet) break;
                    ::sched_yield();
                } while (std::chrono::steady_clock::now() < until);
            }
            if (n == protocol::kNothingYet) {
                const bool want_out = writing && !refs_waiting;
                const short events = static_cast<short>(POLLRDHUP | (reading ? POLLIN : 0) | (want_out ? POLLOUT : 0));
                pollfd p[2] = {{fd_.get(), events, 0}, {wake_fd_.get(), POLLIN, 0}};
                if (::poll(p, 2, timeout) < 0) {
                    if (errno == EINTR) continue;
                    break;
                }
                if (p[1].revents) {
                    std::uint64_t count = 0;
                    while (::read(wake_fd_.get(), &count, sizeof count) > 0) {}
                }
                std::vector<Outgoing> done;
                {
                    std::lock_guard<std::mutex> lock(out_mutex_);
                    if (dropped_) break;
                    if (((p[0].revents & POLLOUT) || refs_waiting) && !flush_locked(done)) drop_locked(done);
                    else if (stalled_locked(std::chrono::steady_clock::now())) drop_locked(done);
                }
                done.clear();
                const short got = p[0].revents;
                if (!reading || !(got & (POLLIN | POLLRDHUP | POLLHUP))) {
                    // A peer that hung up while we did not read is gone all the same.
                    if (got & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP)) break;
                    continue;
                }
                // What it sent before it hung up is read first.
                n = protocol::recv_some(fd_.get(), buf.data(), buf.size(), &fds, true, &fds_lost);
                if (n == protocol::kNothingYet) continue;
            }
            if (n == 0) break;
            decoder.feed_fds(std::move(fds), fds_lost);
            fds.clear();
            decoder.feed(buf.data(), n);
        }
    } catch (const std::exception&) {
        // A broken connection ends like a closed one.
    }
    decoder_ = nullptr;
    ::shutdown(fd_.get(), SHUT_RDWR);
    std::vector<Outgoing> done;
    {
        std::lock_guard<std::mutex> lock(out_mutex_);
        drop_locked(done);
    }
    done.clear();
    protocol::forget_peer(peer_tag_);
    finished_ = true;
    for (const auto& h : close_handlers()) h(self);
    if (on_closed) on_closed(*this);
}

}  // namespace veldra::engine
