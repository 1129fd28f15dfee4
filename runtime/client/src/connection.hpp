#pragma once
// The client's connection to one engine.  Frames are tagged with request ids;
// whoever reads hands each reply to the handler registered for its id, and
// frames nobody waits for to the connection's own handler.  A thread waiting
// for a reply reads the socket itself (one wake-up per reply, as in a plain
// ping-pong); the connection's reader thread reads while nobody waits, so
// that replies, loan notices and the engine's end are noticed even then.
// Writes are serialised, so any thread may send.  When the engine goes away,
// the reader thread reaps a launched engine and tells every waiter.
//
// Calls submitted while the engine already has several of ours to answer
// are held back and written together: the engine is busy meanwhile, and one
// write for many calls costs the submitting thread (and the engine, woken
// once) far less than a write each.  Held calls go out as soon as the
// engine is down to its last few (on whichever thread reads the replies),
// before anything else is written, when a thread waits for a reply, or at
// the latest kHoldFor after the first of them was held.
//
// Lock order.  The connection's mutexes:
//   mutex_         open_, closing_, reason_, replies_: a leaf, held only
//                  around those fields (never while a handler runs);
//   read_mutex_    the read role and its hand-over; pump() holds it while
//                  it calls done() (its own, and after a read every waiting
//                  caller's), which must take no lock at all (the callers
//                  pass an atomic test);
//   write_mutex_   serialises writes; taken with no other connection lock
//                  held, it takes notice_mutex_ (send_notices_locked);
//   notice_mutex_  the queued notices and objects_; under it only the
//                  object ledger's own lock (take_released), a leaf;
//   join_mutex_    the reader thread's start and join; under it mutex_
//                  (shutdown in the destructor).  It is held while joining
//                  the reader, so nothing the reader runs may take it
//                  (close() is never called from a handler).
// So: write_mutex_ -> notice_mutex_ -> ObjectLedger::m_, and
// join_mutex_ -> mutex_; read_mutex_ is never held with another of them.
// Reading (read_once) holds the read role but no mutex: the reply handlers
// it runs take the call's or the launch's lock (calls.cpp: Call::m, a leaf;
// sessions.cpp: Launch::m, under which shutdown() and set_objects() take
// mutex_ and notice_mutex_), and may send loan notices, which take
// notice_mutex_ and, after it, write_mutex_ (not on the reader).  The
// engine process's own lock (ChildProcess) is taken with none of these held.
// No lock of this file is held while calling into a call or a launch.
#include "child_process.hpp"

#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/shared_blocks.hpp>
#include <veldra/protocol/socket.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <system_error>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace engine_api::detail {

class ObjectLedger;

class Connection : public std::enable_shared_from_this<Connection>, public veldra::protocol::LoanChannel {
public:
    using FrameHandler = std::function<void(veldra::protocol::Frame&&)>;
    using CloseHandler = std::function<void(const std::string& reason)>;
    // The replies to one request.  on_frame returns true when the request is
    // finished; on_lost runs instead when the connection ends first.  Both run
    // on whichever thread reads (with the read role held) and must not block
    // on the connection.
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
    // Reads and dispatches frames on the calling thread (or waits while
    // another thread does) until `done()` holds, the deadline passes or the
    // connection has ended and told its waiters; `done()` is read under the
    // connection's read lock.  Returns done().
    bool pump(const veldra::protocol::Deadline& deadline, const std::function<bool()>& done);
    // Makes whoever reads or waits in pump() look at `done()` again (after a
    // state change that arrived without a frame, such as a cancel).
    void wake_waiters();

    // Register before sending, so that no reply can be missed.  False (and
    // nothing registered) when the connection has ended.
    bool expect(std::uint64_t request_id, ReplyHandler handler);
    void forget(std::uint64_t request_id);
    // Throws EngineException when the connection has ended or breaks.
    void send(veldra::protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
              const std::vector<int>& fds = {});
    // The same without waiting, for a caller that must not (one holding a
    // lock other threads need): sends the frame, and the queued notices
    // ahead of it, only when the write lock is free and the socket takes
    // them now; false with nothing sent otherwise, also when the connection
    // has ended or the write fails (send() then says why).  For small
    // frames: a partial write, which the socket gives only for large ones,
    // is finished waiting.
    bool try_send(veldra::protocol::MessageType type, std::uint64_t request_id,
                  const std::vector<std::uint8_t>& payload, const std::vector<int>& fds = {});

    // Frames for send_frames: whole encoded frames and their descriptors.
    struct OutFrame {
        std::vector<std::uint8_t> bytes;
        std::vector<int> fds;
    };
    // Sends the frames in order, those without descriptors together in as
    // few writes as the socket allows.  Throws as send() does.
    void send_frames(const std::vector<OutFrame>& frames);

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
    // The engine's object session as decoded here: the references given
    // back go out ahead of the next frame sent.
    void set_objects(std::shared_ptr<const ObjectLedger> objects);

    // Ends the connection without waiting (a launched engine exits on EOF).
    void shutdown() noexcept;
    // Ends it and waits for the reader, which reaps a launched engine.  With
    // `kill`, a launched engine is killed first.  Idempotent; never call it
    // from a handler.
    void close(bool kill = false);

private:
    void read_loop();
    // With the read role held: waits up to `timeout_ms` (-1: no limit) for
    // the socket or a wake-up (polling briefly first with `spin`), and
    // dispatches every whole frame that came.  False when the connection
    // ended (`reason` says why, empty for EOF).
    bool read_once(int timeout_ms, bool spin, std::string& reason);
    void dispatch(veldra::protocol::Frame&& frame, const veldra::protocol::PeerLink& from);
    void finish(std::string reason);
    // With write_mutex_ held: sends the queued loan notices.
    void send_notices_locked();
    // With write_mutex_ held: writes the held calls; with `wait`, all of
    // them, else what the socket takes now.  True when none is left held.
    // Throws std::system_error when the write fails.
    bool write_held_locked(bool wait);
    // With write_mutex_ held: holds a call's frame back (true) when the
    // engine has enough of ours to answer meanwhile, or calls are held
    // already (which go first, so the frame is held behind them).
    bool hold_locked(veldra::protocol::MessageType type, const std::vector<std::uint8_t>& bytes,
                     const std::vector<int>& fds);
    // Writes the held calls without waiting when the engine is down to its
    // last few or they have waited long enough; for whoever read replies.
    void release_held() noexcept;
    // Counts a frame read from the engine that answers a call.
    void count_answer(const veldra::protocol::Frame& frame) noexcept;
    // Throws the EngineException for a write that failed with `failed`.
    [[noreturn]] void throw_send_failed(std::error_code failed);

    veldra::protocol::UniqueFd fd_;
    std::shared_ptr<ChildProcess> process_;
    FrameHandler unsolicited_;
    CloseHandler on_close_;

    mutable std::mutex mutex_;
    bool open_ = true;
    bool closing_ = false;  // we ended it
    std::string reason_;
    std::map<std::uint64_t, ReplyHandler> replies_;

    // Who reads: one thread at a time holds the role (read_mutex_ guards it).
    std::mutex read_mutex_;
    std::condition_variable callers_cv_;  // threads waiting for finish()
    // A thread waiting in pump(), woken on its own: when its reply has come,
    // or to take the read role over.  Waking every waiter after each read
    // costs each of them a wake-up and the lock, for one reply or none.
    struct PumpWaiter {
        std::condition_variable cv;
        const std::function<bool()>* done;
    };
    std::vector<PumpWaiter*> pump_waiters_;  // under read_mutex_
    // Wakes the waiters whose reply came (all of them with `all`) and, when
    // nobody reads, the first other one to take the role.  read_mutex_ held.
    void wake_pumpers_locked(bool all);
    std::condition_variable reader_cv_;  // the reader thread waiting for the role
    bool reading_ = false;               // a thread holds the read role
    bool background_reading_ = false;    // ... and it is the reader thread
    int pumping_ = 0;                    // threads inside pump()
    bool ended_ = false;                 // a read found the end; the reader thread finishes
    std::string end_reason_;
    bool finished_ = false;  // finish() has told every waiter
    std::chrono::steady_clock::time_point park_until_{};
    veldra::protocol::UniqueFd wake_fd_;  // eventfd: interrupts a poll of the socket
    veldra::protocol::FrameDecoder decoder_;
    std::vector<std::uint8_t> buf_;
    const bool spin_ = veldra::protocol::several_cpus();  // poll for a reply before sleeping

    std::mutex write_mutex_;
    // Calls held back (see above): whole Call frames, but for the first,
    // which a write that the socket took in part may have begun.
    std::vector<std::uint8_t> held_;                      // under write_mutex_
    std::size_t held_calls_ = 0;                          // under write_mutex_
    std::chrono::steady_clock::time_point held_since_{};  // under write_mutex_
    std::atomic<bool> holding_{false};                    // held_ is not empty
    std::atomic<std::int64_t> unanswered_{0};             // our calls sent or held, not yet answered
    std::atomic<bool> reader_asleep_{false};              // the reader thread polls without a time limit
    std::mutex notice_mutex_;
    std::vector<std::uint8_t> notices_;            // whole LoanReleased frames
    std::shared_ptr<const ObjectLedger> objects_;  // under notice_mutex_
    const std::uint64_t peer_tag_ = veldra::protocol::new_peer_tag();
    std::mutex join_mutex_;
    std::thread reader_;
    std::atomic<std::uint64_t> next_id_{1};
};

}  // namespace engine_api::detail
