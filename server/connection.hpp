#pragma once
// One client connection of the engine: a reader thread that decodes frames
// and hands them to the handler registered for their type.  Frames sent go
// through an output queue with non-blocking writes, so that no client that
// stops reading holds up the thread that answers it; the reader writes what
// the socket would not take at once.  A connection whose queued output or
// pending calls pass a bound is no longer read from until they drain; a
// shared one whose output grows past a larger bound, or does not move for
// long, is dropped.
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/shared_blocks.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldra::engine {

class Connection : public std::enable_shared_from_this<Connection>, public protocol::LoanChannel {
public:
    enum class Kind { Private, Shared };

    Connection(protocol::UniqueFd fd, Kind kind);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Kind kind() const noexcept { return kind_; }
    // Starts the reader; `on_closed` runs on it once the peer is gone.
    void start(std::function<void(Connection&)> on_closed);
    // Queued (and written at once when the socket takes it); `fds` and the
    // blocks behind them are kept until the frame is out.  False when the
    // peer is gone or has been dropped.  Any thread.
    bool send(protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
              protocol::OutgoingFds fds = {});
    // With `now` false the frame is only queued, and the reader writes it
    // together with the frames queued meanwhile (for a thread that has more
    // replies to make at once).
    bool send(protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
              protocol::OutgoingFds fds, bool now);
    bool send_text(protocol::MessageType type, std::uint64_t request_id, const std::string& text);
    // Bytes queued for the peer and not yet written.  Any thread.
    std::size_t queued() const;
    // Ends the connection and waits for the reader (not from the reader).
    void close();
    bool finished() const noexcept { return finished_; }
    // For handlers, on the reader: whether bytes of further frames were
    // already read.
    bool input_buffered() const noexcept { return decoder_ && decoder_->buffered() > 0; }
    // For a handler that keeps the reader busy (a call it runs itself):
    // reads what the peer sent meanwhile, without waiting, into the reader's
    // decoder (dispatched once the handler returns), and tells whether a
    // frame of `type` for `request_id` is among it or the peer hung up.
    // However many frames came first, such a Cancel is seen.
    bool frame_arrived(protocol::MessageType type, std::uint64_t request_id) noexcept;

    // This connection as the array codec sees it (for lent blocks).
    protocol::PeerLink link() { return {peer_tag_, weak_from_this()}; }
    // Names this connection for as long as the engine runs.
    std::uint64_t tag() const noexcept { return peer_tag_; }
    // Queued like any frame, from any thread.
    void send_loan_released(std::uint64_t id, bool reusable) noexcept override;

    // Calls of this connection waiting or running off its reader, counted
    // by the call code for back-pressure.
    void call_pending() noexcept { pending_calls_.fetch_add(1, std::memory_order_relaxed); }
    void call_finished() noexcept;

private:
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        std::size_t sent = 0;
        // Kept until the frame is out; the blocks it holds are bounded by
        // the calls a connection may have pending.
        protocol::OutgoingFds fds;
    };

    void read_loop(std::function<void(Connection&)> on_closed);
    // With out_mutex_ held: writes what the socket takes; finished entries
    // go to `done`, to be released without the lock (a block released may
    // send a notice).  False when the socket failed.
    bool flush_locked(std::vector<Outgoing>& done);
    // With out_mutex_ held: whether a shared peer is past the drop bounds.
    bool stalled_locked(std::chrono::steady_clock::time_point now) const;
    void drop_locked(std::vector<Outgoing>& done);
    bool paused() const;
    void wake_reader() noexcept;

    protocol::UniqueFd fd_;
    protocol::UniqueFd wake_fd_;  // eventfd: output queued, pressure eased
    Kind kind_;
    mutable std::mutex out_mutex_;
    std::deque<Outgoing> out_;
    std::size_t out_bytes_ = 0;  // queued, not yet written
    std::chrono::steady_clock::time_point last_progress_{};
    bool dropped_ = false;
    // The peer holds too many of our descriptors unread: writes wait a while
    // instead of for the socket.
    bool refs_wait_ = false;
    bool held_ = false;  // frames queued for the reader, which was woken for them
    std::atomic<std::size_t> pending_calls_{0};
    std::thread reader_;
    std::atomic<bool> finished_{false};
    protocol::FrameDecoder* decoder_ = nullptr;  // the reader's
    bool peer_ended_ = false;                    // on the reader: frame_arrived() read the end
    const std::uint64_t peer_tag_ = protocol::new_peer_tag();
};

// Handlers run on the connection's reader thread; anything that takes long
// must go to a worker so the connection keeps reading.
using Handler = std::function<void(const std::shared_ptr<Connection>&, protocol::Frame&&)>;
// Register before connections start.
void register_handler(protocol::MessageType type, Handler handler);
// Runs on the reader once the connection has ended, before its on_closed.
void register_close_handler(std::function<void(const std::shared_ptr<Connection>&)> handler);

// Asks the main loop to stop the engine (thread- and signal-safe).
void request_stop();

}  // namespace veldra::engine
