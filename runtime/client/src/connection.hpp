#pragma once
// The client's connection to one engine.  Frames are tagged with request ids;
// a reader thread hands each reply to the handler registered for its id,
// and frames nobody waits for to the connection's own handler.  Writes are
// serialised, so any thread may send.  When the engine goes away the reader
// notices at once, reaps a launched engine and tells every waiter.
#include "child_process.hpp"

#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/frame.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine_api::detail {

class Connection : public std::enable_shared_from_this<Connection>, public veldra::protocol::LoanChannel {
public:
    using FrameHandler = std::function<void(veldra::protocol::Frame&&)>;
    using CloseHandler = std::function<void(const std::string& reason)>;
    // The replies to one request.  on_frame returns true when the request is
    // finished; on_lost runs instead when the connection ends first.  Both run
    // on the reader thread and must not block on the connection.
    struct ReplyHandler {
        std::function<bool(veldra::protocol::Frame&&)> on_frame;
        std::function<void(const std::string& reason)> on_lost;
    };

    // `process` is the engine when this client launched it, else null.
    Connection(veldra::protocol::UniqueFd fd, std::shared_ptr<ChildProcess> process);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start(FrameHandler unsolicited, CloseHandler on_close);

    std::uint64_t new_request_id() noexcept { return next_id_.fetch_add(1); }
    // Register before sending, so that no reply can be missed.  False (and
    // nothing registered) when the connection has ended.
    bool expect(std::uint64_t request_id, ReplyHandler handler);
    void forget(std::uint64_t request_id);
    // Throws EngineException when the connection has ended or breaks.
    void send(veldra::protocol::MessageType type, std::uint64_t request_id,
              const std::vector<std::uint8_t>& payload, const std::vector<int>& fds = {});

    bool is_open() const;
    // Why it ended; empty while open.
    std::string close_reason() const;
    const std::shared_ptr<ChildProcess>& process() const noexcept { return process_; }

    // This connection as the array codec sees it (for lent blocks).
    veldra::protocol::PeerLink link() { return {peer_tag_, weak_from_this()}; }
    // Queued, and sent at once unless called on the reader, which must never
    // block on a write (it has to keep draining what the engine sends).
    // Queued notices also go out ahead of the next frame sent.
    void send_loan_released(std::uint64_t id, bool reusable) noexcept override;

    // Ends the connection without waiting (a launched engine exits on EOF).
    void shutdown() noexcept;
    // Ends it and waits for the reader, which reaps a launched engine.  With
    // `kill`, a launched engine is killed first.  Idempotent; never call it
    // from a handler.
    void close(bool kill = false);

private:
    void read_loop();
    void finish(std::string reason);
    // With write_mutex_ held: sends the queued loan notices.
    void send_notices_locked();

    veldra::protocol::UniqueFd fd_;
    std::shared_ptr<ChildProcess> process_;
    FrameHandler unsolicited_;
    CloseHandler on_close_;

    mutable std::mutex mutex_;
    bool open_ = true;
    bool closing_ = false;  // we ended it
    std::string reason_;
    std::map<std::uint64_t, ReplyHandler> replies_;

    std::mutex write_mutex_;
    std::mutex notice_mutex_;
    std::vector<std::uint8_t> notices_;  // whole LoanReleased frames
    const std::uint64_t peer_tag_ = veldra::protocol::new_peer_tag();
    std::mutex join_mutex_;
    std::thread reader_;
    std::atomic<std::uint64_t> next_id_{1};
};

// Unmaps what a CallResult frame nobody is waiting for lent us, so that the
// engine hears its blocks are free.
void discard_call_result(veldra::protocol::Frame& frame, const veldra::protocol::PeerLink& from) noexcept;

}  // namespace engine_api::detail
