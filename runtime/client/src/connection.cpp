#include "connection.hpp"

#include "object_ledger.hpp"

#include <engine_api/engine_api.hpp>

#include <veldra/protocol/call_messages.hpp>
#include <veldra/protocol/socket.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace engine_api::detail {

using veldra::protocol::Deadline;
using veldra::protocol::Frame;

namespace {
// How long a launched engine gets to exit on its own once its connection
// has ended, before it is killed.
constexpr double kExitGrace = 2.0;

// How long the reader thread leaves the socket to callers after one of them
// read: a caller that waits again at once then reads without a hand-over.
constexpr auto kCallerPark = std::chrono::milliseconds(2);

// How long a thread waiting for a reply polls before it sleeps.
constexpr auto kReplySpin = std::chrono::microseconds(50);

// Calls are held back (see connection.hpp) while the engine has at least
// this many of ours written and not yet answered ...
constexpr std::int64_t kKeepAhead = 4;
// ... for at most this long, ...
constexpr auto kHoldFor = std::chrono::milliseconds(1);
// ... when their frames are at most this large, up to this many bytes in all.
constexpr std::size_t kHoldLargest = 4096;
constexpr std::size_t kHeldMost = 256 * 1024;

// The connection this thread holds the read role of, if any.
thread_local const Connection* tlsReading = nullptr;

// Sets tlsReading for a scope.
class ReadingScope {
public:
    explicit ReadingScope(const Connection* c) : previous_(tlsReading) { tlsReading = c; }
    ~ReadingScope() { tlsReading = previous_; }
    ReadingScope(const ReadingScope&) = delete;
    ReadingScope& operator=(const ReadingScope&) = delete;

private:
    const Connection* previous_;
};
}  // namespace

Connection::Connection(veldra::protocol::UniqueFd fd, std::shared_ptr<ChildProcess> process)
    : fd_(std::move(fd)),
      process_(std::move(process)),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      buf_(64 * 1024) {
    if (!wake_fd_) throw EngineException(std::string("cannot make an event descriptor: ") + std::strerror(errno));
}

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
    std::error_code failed;
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(write_mutex_);
        try {
            held = hold_locked(type, bytes, fds);
            if (!held) {
                send_notices_locked();  // after the held calls, which were submitted first
                veldra::protocol::send_all(fd_.get(), bytes.data(), bytes.size(), fds.data(), fds.size());
                if (type == veldra::protocol::MessageType::Call) unanswered_.fetch_add(1);
            }
        } catch (const std::system_error& e) {
            failed = e.code();
        }
    }
    if (failed) throw_send_failed(failed);
}

bool Connection::hold_locked(veldra::protocol::MessageType type, const std::vector<std::uint8_t>& bytes,
                             const std::vector<int>& fds) {
    if (type != veldra::protocol::MessageType::Call || !fds.empty() || bytes.size() > kHoldLargest) return false;
    // The calls the engine has to answer before it gets to this one.
    const std::int64_t ahead = unanswered_.load() - static_cast<std::int64_t>(held_calls_);
    if (ahead < kKeepAhead || held_.size() + bytes.size() > kHeldMost) return false;
    const bool first = held_.empty();
    if (first) held_since_ = std::chrono::steady_clock::now();
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    ++held_calls_;
    unanswered_.fetch_add(1);
    if (first) {
        // A reader thread asleep without a time limit is woken to keep it.
        holding_.store(true);
        if (reader_asleep_.load()) {
            const std::uint64_t one = 1;
            (void)!::write(wake_fd_.get(), &one, sizeof one);
        }
    }
    return true;
}

bool Connection::write_held_locked(bool wait) {
    if (held_.empty()) return true;
    if (wait) {
        veldra::protocol::send_all(fd_.get(), held_.data(), held_.size());
        held_.clear();
    } else {
        const std::size_t n = veldra::protocol::send_some(fd_.get(), held_.data(), held_.size());
        if (n == veldra::protocol::kNothingYet) return false;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
        if (!held_.empty()) return false;
    }
    held_calls_ = 0;
    holding_.store(false);
    return true;
}

void Connection::release_held() noexcept {
    if (!holding_.load(std::memory_order_acquire)) return;
    // A thread writing now writes the held calls before its own frame, or
    // holds its frame behind them and leaves them to the next look.
    std::unique_lock<std::mutex> lock(write_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || held_.empty()) return;
    const std::int64_t ahead = unanswered_.load() - static_cast<std::int64_t>(held_calls_);
    if (ahead >= kKeepAhead && std::chrono::steady_clock::now() - held_since_ < kHoldFor) return;
    try {
        write_held_locked(false);
    } catch (const std::system_error&) {
        // The reader finds the connection broken and ends it.
    }
}

void Connection::count_answer(const Frame& frame) noexcept {
    if (frame.type != veldra::protocol::MessageType::CallResult &&
        (frame.type != veldra::protocol::MessageType::Error || frame.request_id == 0))
        return;
    std::int64_t n = unanswered_.load(std::memory_order_relaxed);
    while (n > 0 && !unanswered_.compare_exchange_weak(n, n - 1)) {}
}

bool Connection::try_send(veldra::protocol::MessageType type, std::uint64_t request_id,
                          const std::vector<std::uint8_t>& payload, const std::vector<int>& fds) {
    const auto bytes = veldra::protocol::encode_frame(type, request_id, payload, fds.size());
    if (!is_open()) return false;
    std::unique_lock<std::mutex> lock(write_mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    try {
        if (hold_locked(type, bytes, fds)) return true;
        if (!write_held_locked(false)) return false;  // the socket is full: send() waits for it
    } catch (const std::system_error&) {
        return false;
    }
    std::vector<std::uint8_t> notices;
    {
        std::lock_guard<std::mutex> notice_lock(notice_mutex_);
        notices.swap(notices_);
        if (objects_) objects_->take_released(notices);
    }
    try {
        // The notices go first, in the same write; descriptors travel with
        // the first byte written, so a frame with descriptors goes alone.
        std::size_t sent = veldra::protocol::kNothingYet;
        if (notices.empty()) {
            sent = veldra::protocol::send_some(fd_.get(), bytes.data(), bytes.size(), fds.data(), fds.size());
        } else if (fds.empty()) {
            const iovec parts[2] = {{notices.data(), notices.size()},
                                    {const_cast<std::uint8_t*>(bytes.data()), bytes.size()}};
            sent = veldra::protocol::send_some(fd_.get(), parts, 2);
        }
        if (sent == veldra::protocol::kNothingYet) {
            std::lock_guard<std::mutex> notice_lock(notice_mutex_);
            notices_.insert(notices_.begin(), notices.begin(), notices.end());
            return false;
        }
        const std::size_t total = notices.size() + bytes.size();
        if (sent < total) {
            // Taken in part: the rest goes now, waiting if need be.
            if (sent < notices.size()) {
                veldra::protocol::send_all(fd_.get(), notices.data() + sent, notices.size() - sent);
                sent = notices.size();
            }
            const std::size_t into = sent - notices.size();
            veldra::protocol::send_all(fd_.get(), bytes.data() + into, bytes.size() - into,
                                       into == 0 ? fds.data() : nullptr, into == 0 ? fds.size() : 0);
        }
        if (type == veldra::protocol::MessageType::Call) unanswered_.fetch_add(1);
        return true;
    } catch (const std::system_error&) {
        return false;  // send() finds the connection as it is and says so
    }
}

void Connection::throw_send_failed(std::error_code failed) {
    // A peer that has gone makes the write fail before the reader has seen
    // the end; the reader then tells how the engine ended, which says more
    // than "broken pipe", so wait for it (briefly: it only reaps the engine).
    if (failed == std::errc::broken_pipe || failed == std::errc::connection_reset) {
        bool ended;
        {
            std::unique_lock<std::mutex> lock(read_mutex_);
            ended = callers_cv_.wait_for(lock, std::chrono::seconds(5), [this] { return finished_; });
        }
        if (ended) throw EngineException("the engine connection was lost: " + close_reason());
    }
    throw EngineException(std::string("cannot send to the engine: ") + failed.message());
}

void Connection::send_frames(const std::vector<OutFrame>& frames) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) throw EngineException("the engine connection has ended: " + reason_);
    }
    // Frames without descriptors go out joined, up to this many bytes a write.
    constexpr std::size_t kJoined = 256 * 1024;
    std::vector<std::uint8_t> joined;
    std::error_code failed;
    {
        std::lock_guard<std::mutex> lock(write_mutex_);
        try {
            send_notices_locked();  // and the held calls
            auto flush = [&] {
                if (!joined.empty()) veldra::protocol::send_all(fd_.get(), joined.data(), joined.size(), nullptr, 0);
                joined.clear();
            };
            for (const OutFrame& f : frames) {
                if (!f.fds.empty()) {
                    flush();
                    veldra::protocol::send_all(fd_.get(), f.bytes.data(), f.bytes.size(), f.fds.data(), f.fds.size());
                    continue;
                }
                if (joined.size() + f.bytes.size() > kJoined) flush();
                joined.insert(joined.end(), f.bytes.begin(), f.bytes.end());
            }
            flush();
        } catch (const std::system_error& e) {
            failed = e.code();
        }
    }
    if (failed) throw_send_failed(failed);
}

void Connection::set_objects(std::shared_ptr<const ObjectLedger> objects) {
    std::lock_guard<std::mutex> lock(notice_mutex_);
    objects_ = std::move(objects);
}

void Connection::send_notices_locked() {
    write_held_locked(true);  // nothing may cut into a call written in part
    std::vector<std::uint8_t> notices;
    {
        std::lock_guard<std::mutex> lock(notice_mutex_);
        notices.swap(notices_);
        if (objects_) objects_->take_released(notices);
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

void Connection::dispatch(Frame&& frame, const veldra::protocol::PeerLink& from) {
    count_answer(frame);
    if (frame.type == veldra::protocol::MessageType::LoanReleased) {
        veldra::protocol::on_loan_released(peer_tag_, frame.payload);
        return;
    }
    ReplyHandler handler;
    bool found = false;
    if (frame.request_id != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = replies_.find(frame.request_id);
        if (it != replies_.end()) {
            handler = it->second;
            found = true;
        }
    }
    if (found) {
        const std::uint64_t id = frame.request_id;
        if (handler.on_frame && handler.on_frame(std::move(frame))) forget(id);
    } else if (frame.type == veldra::protocol::MessageType::CallResult ||
               frame.type == veldra::protocol::MessageType::CallBatchResult) {
        std::shared_ptr<const ObjectLedger> objects;
        {
            std::lock_guard<std::mutex> lock(notice_mutex_);
            objects = objects_;
        }
        veldra::protocol::drop_call_result(frame, from, objects);  // its call was released meanwhile
    } else if (unsolicited_) {
        unsolicited_(std::move(frame));
    }
}

bool Connection::read_once(int timeout_ms, bool spin, std::string& reason) {
    try {
        std::vector<veldra::protocol::UniqueFd> fds;
        bool fds_lost = false;
        std::size_t n = veldra::protocol::kNothingYet;
        if (spin && timeout_ms != 0) {
            // A quick reply is caught without sleeping: waking a sleeping
            // thread costs more than the reply takes.  The yield lets a
            // thread sharing this CPU run meanwhile.
            const auto until = std::chrono::steady_clock::now() + kReplySpin;
            do {
                n = veldra::protocol::recv_some(fd_.get(), buf_.data(), buf_.size(), &fds, true, &fds_lost);
                if (n != veldra::protocol::kNothingYet) break;
                ::sched_yield();
            } while (std::chrono::steady_clock::now() < until);
        }
        if (n == veldra::protocol::kNothingYet) {
            pollfd p[2] = {{fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
            const int r = ::poll(p, 2, timeout_ms);
            if (r < 0) {
                if (errno == EINTR) return true;
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            if (p[1].revents) {
                std::uint64_t count = 0;
                while (::read(wake_fd_.get(), &count, sizeof count) > 0) {}
            }
            if (p[0].revents == 0) return true;
            n = veldra::protocol::recv_some(fd_.get(), buf_.data(), buf_.size(), &fds, false, &fds_lost);
        }
        if (n == 0) return false;
        decoder_.feed_fds(std::move(fds), fds_lost);
        decoder_.feed(buf_.data(), n);
        const veldra::protocol::PeerLink from = link();
        Frame frame;
        while (decoder_.next(frame)) dispatch(std::move(frame), from);
        if (decoder_.failed()) {
            reason = "protocol error: " + decoder_.error();
            return false;
        }
        return true;
    } catch (const std::system_error& e) {
        reason = "connection failed: " + e.code().message();
    } catch (const std::exception& e) {
        reason = std::string("connection failed: ") + e.what();
    }
    return false;
}

void Connection::wake_pumpers_locked(bool all) {
    bool roleTaken = reading_;
    for (PumpWaiter* w : pump_waiters_) {
        if (all || (*w->done)()) {
            w->cv.notify_one();
        } else if (!roleTaken) {
            w->cv.notify_one();
            roleTaken = true;
        }
    }
}

void Connection::wake_waiters() {
    {
        std::lock_guard<std::mutex> lock(read_mutex_);
        wake_pumpers_locked(true);
        callers_cv_.notify_all();
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof one);
}

bool Connection::pump(const Deadline& deadline, const std::function<bool()>& done) {
    if (holding_.load()) {
        // A thread that waits lets nothing wait behind it: the call it waits
        // for may be among the held ones.  What the socket does not take now
        // goes after the replies read meanwhile (release_held).
        std::lock_guard<std::mutex> write_lock(write_mutex_);
        try {
            write_held_locked(false);
        } catch (const std::system_error&) {
            // The read finds the connection broken.
        }
    }
    std::unique_lock<std::mutex> lock(read_mutex_);
    ++pumping_;
    PumpWaiter me{{}, &done};
    pump_waiters_.push_back(&me);
    bool woke_reader = false;
    for (;;) {
        if (done() || finished_ || deadline.expired()) break;
        if (!reading_ && !ended_) {
            reading_ = true;
            lock.unlock();
            std::string reason;
            bool ok;
            {
                ReadingScope scope(this);
                ok = read_once(deadline.poll_timeout_ms(), spin_, reason);
                release_held();
            }
            lock.lock();
            reading_ = false;
            park_until_ = std::chrono::steady_clock::now() + kCallerPark;
            if (!ok && !ended_) {
                ended_ = true;  // the reader thread finishes the connection
                end_reason_ = reason;
                reader_cv_.notify_all();
            }
            wake_pumpers_locked(false);  // replies to other waiters may have come
            continue;
        }
        if (background_reading_ && !woke_reader) {
            // The reader thread waits on the socket: ask it to step aside.
            const std::uint64_t one = 1;
            (void)!::write(wake_fd_.get(), &one, sizeof one);
            woke_reader = true;
        }
        if (deadline.is_never()) me.cv.wait(lock);
        else me.cv.wait_until(lock, deadline.when());
    }
    pump_waiters_.erase(std::find(pump_waiters_.begin(), pump_waiters_.end(), &me));
    // Whoever reads next: this thread may have been the one woken for it.
    if (!reading_) wake_pumpers_locked(false);
    // The reader thread takes over on its own once the park time is out; it
    // is not woken here, so a caller that waits again soon finds the role free.
    --pumping_;
    return done();
}

void Connection::read_loop() {
    std::string reason;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(read_mutex_);
            for (;;) {
                if (ended_) break;
                const auto now = std::chrono::steady_clock::now();
                if (!reading_ && pumping_ == 0 && now >= park_until_) break;
                // Callers reading do not wake this thread; it looks again now
                // and then, and sends the held calls that are due.
                auto until = std::max(park_until_, now + kCallerPark);
                const bool holding = holding_.load();
                if (holding) until = std::min(until, now + kHoldFor);
                reader_cv_.wait_until(lock, until);
                if (holding) {
                    lock.unlock();  // the read lock is never held with another
                    release_held();
                    lock.lock();
                }
            }
            if (ended_) {
                reason = end_reason_;
                break;
            }
            reading_ = background_reading_ = true;
        }
        bool ok;
        {
            ReadingScope scope(this);
            // With calls held it looks again by the time they are due.
            reader_asleep_.store(true);
            const bool holding = holding_.load();
            if (holding) reader_asleep_.store(false);
            ok = read_once(holding ? static_cast<int>(kHoldFor.count()) : -1, false, reason);
            reader_asleep_.store(false);
            release_held();
        }
        std::lock_guard<std::mutex> lock(read_mutex_);
        reading_ = background_reading_ = false;
        if (!ok) {
            ended_ = true;
            end_reason_ = reason;
        }
        wake_pumpers_locked(!ok);
        if (!ok) break;
    }
    ::shutdown(fd_.get(), SHUT_RDWR);
    veldra::protocol::forget_peer(peer_tag_);
    {
        ReadingScope scope(this);
        finish(std::move(reason));
    }
    std::lock_guard<std::mutex> lock(read_mutex_);
    finished_ = true;
    wake_pumpers_locked(true);
    callers_cv_.notify_all();
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
