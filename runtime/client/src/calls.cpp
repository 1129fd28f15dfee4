// Function calls: submitting them, their futures, collecting their results.
//
// A call completes exactly once, under its lock: by the engine's reply, by
// a local cancel, or by the loss of the connection.  Waiters spin briefly
// before sleeping, since a reply usually comes within a wake-up's time.
#include "object_ledger.hpp"
#include "runtime.hpp"

#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/call_messages.hpp>
#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/socket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace engine_api {

namespace detail {

std::shared_ptr<const qx::ObjectSession> make_object_session(const std::shared_ptr<Connection>& conn,
                                                             std::uint64_t key) {
    auto ledger = std::make_shared<const ObjectLedger>(conn, key);
    conn->set_objects(ledger);
    return ledger;
}

void init_calls() {
    static std::once_flag once;
    std::call_once(once, [] { veldra::protocol::installSharedMemoryAllocator(); });
}

}  // namespace detail

namespace {

using detail::EngineCore;
using detail::Object;
using veldra::protocol::CallStatus;
using veldra::protocol::Deadline;
using veldra::protocol::Frame;
using veldra::protocol::MessageType;

enum class State : int { Pending, Answered, Lost, Cancelled };

// Reads one result (a CallResult payload: head and arrays) from `r` into
// `arrays` (of owners of engine arrays); false with `bad` saying why when it
// cannot be read.  The frame's descriptors must have arrived (the caller
// drops frames whose descriptors were lost).
template <class Owners>
bool read_result(veldra::protocol::PayloadReader& r, Frame& f, const veldra::protocol::PeerLink& from,
                 const std::shared_ptr<const qx::ObjectSession>& objects, veldra::protocol::CallResultHead& head,
                 Owners& arrays, std::string& bad) {
    if (!veldra::protocol::decode(r, head)) {
        bad = "malformed reply";
        return false;
    }
    try {
        for (std::uint32_t i = 0; i < head.count; ++i)
            arrays.emplace_back(veldra::protocol::decode_array(r, f.fds, objects, &from).release());
    } catch (const std::exception& x) {
        arrays.clear();
        bad = x.what();
        return false;
    }
    return true;
}

// What collecting a call that ended in `status` (not Ok) throws.
[[noreturn]] void throw_call_failure(CallStatus status, const std::string& name, const std::string& identifier,
                                     const std::string& message) {
    switch (status) {
    case CallStatus::ExecutionError:
        throw ExecutionError(message, identifier);
    case CallStatus::SyntaxError:
        throw SyntaxError(message, identifier);
    case CallStatus::Interrupted:
        throw InterruptedException("the call to " + name + " was interrupted in the engine");
    case CallStatus::Cancelled:
        throw CancelledException("the call to " + name + " was cancelled");
    case CallStatus::Ok:
        break;
    }
    throw EngineException("engine_api: the call to " + name + " is in no known state");
}

struct Call {
    std::shared_ptr<EngineCore> core;
    std::uint64_t id = 0;
    std::string name;

    std::mutex m;
    std::condition_variable cv;
    std::atomic<State> state{State::Pending};
    int waiters = 0;
    // Set once with the state, under m.
    CallStatus status = CallStatus::Ok;
    std::string identifier, message;  // or why the connection was lost
    std::u16string out, err;
    std::vector<matrix::unique_array_ptr> results;
    double done = 0, total = 0;  // the latest progress report
    bool reported = false;       // ... not taken yet
    bool text_taken = false;
    bool collected = false;

    // With m held; false when already complete.
    bool complete(State s) {
        if (state.load(std::memory_order_relaxed) != State::Pending) return false;
        state.store(s, std::memory_order_release);
        if (waiters) cv.notify_all();
        return true;
    }

    void lose(const std::string& why) {
        std::lock_guard<std::mutex> lock(m);
        if (complete(State::Lost)) message = why;
    }

    // Text the running call wrote, ahead of its reply: kept for whoever
    // takes it, or for the result.
    void on_output(const Frame& f) {
        veldra::protocol::PayloadReader r(f.payload);
        const std::uint8_t stream = r.u8();
        std::u16string text = r.ustr();
        if (!r.done() || (stream != 1 && stream != 2)) return;  // malformed: ignored
        std::lock_guard<std::mutex> lock(m);
        if (state.load(std::memory_order_relaxed) != State::Pending) return;
        std::u16string& to = stream == 1 ? out : err;
        if (to.empty()) to = std::move(text);
        else to += text;
    }

    void on_progress(const Frame& f) {
        veldra::protocol::PayloadReader r(f.payload);
        const double d = r.f64();
        const double t = r.f64();
        if (!r.done()) return;  // malformed: ignored
        std::lock_guard<std::mutex> lock(m);
        done = d;
        total = t;
        reported = true;
    }

    // True once the call has its answer.
    bool on_reply(Frame&& f) {
        if (f.type == MessageType::Output) {
            on_output(f);
            return false;
        }
        if (f.type == MessageType::Progress) {
            on_progress(f);
            return false;
        }
        const veldra::protocol::PeerLink from = core->conn->link();
        if (state.load(std::memory_order_acquire) != State::Pending) {  // cancelled meanwhile
            veldra::protocol::drop_call_result(f, from, core->objects);
            return true;
        }
        if (f.type != MessageType::CallResult) {
            veldra::protocol::PayloadReader r(f.payload);
            lose("the engine rejected the call: " + r.str());
            return true;
        }
        veldra::protocol::PayloadReader r(f.payload);
        veldra::protocol::CallResultHead head;
        std::vector<matrix::unique_array_ptr> arrays;
        std::string bad;
        if (f.fds_lost) {
            veldra::protocol::drop_call_result(f, from, core->objects);
            bad = "this process has too many open files to receive its large blocks";
        } else {
            read_result(r, f, from, core->objects, head, arrays, bad);
        }
        std::lock_guard<std::mutex> lock(m);
        if (!bad.empty()) {
            if (complete(State::Lost)) message = "cannot read the result of " + name + ": " + bad;
            return true;
        }
        if (!complete(State::Answered)) return true;  // arrays go with this scope
        status = head.status;
        identifier = std::move(head.identifier);
        message = std::move(head.message);
        out += head.out;  // after what came in Output frames and was not taken
        err += head.err;
        results.swap(arrays);
        return true;
    }

    // Ends a pending call (cancelled, or failed with `why`) and tells the
    // engine to drop it; false when it was done.
    bool cancel(State how = State::Cancelled, const std::string& why = {}) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (!complete(how)) return false;
            message = why;
        }
        core->conn->forget(id);
        core->conn->wake_waiters();  // a thread may be waiting for this call
        try {
            core->conn->send(MessageType::Cancel, id, {});
        } catch (const std::exception&) {
            // A dead connection has nothing left to cancel.
        }
        return true;
    }

    bool is_done() const { return state.load(std::memory_order_acquire) != State::Pending; }

    bool wait(const Deadline& deadline) {
        if (is_done()) return true;
        // Reads the connection itself while waiting: the reply wakes this
        // thread directly.
        return core->conn->pump(deadline, [this] { return is_done(); });
    }
};

class FutureHandle : public Object {
public:
    explicit FutureHandle(std::shared_ptr<Call> c) : call(std::move(c)) {}
    const char* kind_name() const noexcept override { return "a function call"; }
    // Only the runtime's stop gets here with the call pending
    // (destroyFEvalResult cancels first).
    void begin_release() override { call->cancel(State::Lost, "the engine client was stopped"); }
    void release() override {
        std::vector<matrix::unique_array_ptr> drop;
        std::lock_guard<std::mutex> lock(call->m);
        drop.swap(call->results);
    }
    const std::shared_ptr<Call> call;
};

class BufferHandle : public Object {
public:
    explicit BufferHandle(std::shared_ptr<Call> c) : call(std::move(c)) {}
    const char* kind_name() const noexcept override { return "a capture buffer"; }
    const std::shared_ptr<Call> call;
};

std::shared_ptr<Call> find_call(Handle future) {
    return detail::find<FutureHandle>(future, "a function call")->call;
}

std::string closed_text(const EngineCore& core) {
    return "the engine is closed: " + core.conn->close_reason();
}

}  // namespace

namespace {

std::shared_ptr<EngineCore> open_engine(Handle engine, int numOut) {
    detail::init_calls();
    auto core = detail::find_engine(engine);
    if (!core->conn->is_open()) throw EngineException(closed_text(*core));
    if (numOut < 0) throw EngineException("engine_api: the number of results cannot be negative");
    return core;
}

// The payload of a Call frame; the descriptors of its lent blocks go to `fds`.
std::vector<std::uint8_t> call_payload(const EngineCore& core, const std::string& name, int numOut,
                                       const std::vector<const qxArray*>& args, bool captureOut, bool captureErr,
                                       bool progress, veldra::protocol::OutgoingFds& fds, bool live = true) {
    veldra::protocol::CallRequestHead head;
    head.name = name;
    head.nargout = static_cast<std::uint32_t>(numOut);
    head.capture_out = captureOut;
    head.capture_err = captureErr;
    // Captured text comes as it is written (takeFEvalOutput), the rest with
    // the result.
    head.live = live && (captureOut || captureErr);
    head.progress = progress;
    head.count = static_cast<std::uint32_t>(args.size());
    veldra::protocol::PayloadWriter w;
    veldra::protocol::encode(head, w);
    const veldra::protocol::PeerLink to = core.conn->link();
    try {
        for (const qxArray* a : args) veldra::protocol::encode_array(a, w, fds, &to);
    } catch (const veldra::protocol::ArrayCodecError& e) {
        throw ArgumentException(std::string("cannot pass the arguments of ") + name + " to the engine: " + e.what());
    }
    return w.take();
}

// A new call, its reply expected on the connection; throws when it has ended.
std::shared_ptr<Call> expect_call(const std::shared_ptr<EngineCore>& core, const std::string& name) {
    auto call = std::make_shared<Call>();
    call->core = core;
    call->id = core->conn->new_request_id();
    call->name = name;
    std::weak_ptr<Call> weak = call;
    detail::Connection::ReplyHandler h;
    h.on_frame = [weak](Frame&& f) {
        if (auto c = weak.lock()) return c->on_reply(std::move(f));
        return true;
    };
    h.on_lost = [weak](const std::string& reason) {
        if (auto c = weak.lock()) c->lose("the engine connection was lost: " + reason);
    };
    if (!core->conn->expect(call->id, std::move(h))) throw EngineException(closed_text(*core));
    return call;
}

// Submits a call; with `now`, only when its frame goes out without waiting
// ({} and nothing kept otherwise).
std::vector<Handle> submit_call(Handle engine, const std::string& name, int numOut,
                                const std::vector<const qxArray*>& args, bool captureOut, bool captureErr,
                                bool progress, bool now) {
    auto core = open_engine(engine, numOut);
    veldra::protocol::OutgoingFds fds;
    const std::vector<std::uint8_t> payload =
        call_payload(*core, name, numOut, args, captureOut, captureErr, progress, fds);
    auto call = expect_call(core, name);
    try {
        if (!now) {
            core->conn->send(MessageType::Call, call->id, payload, fds.fds);
        } else if (!core->conn->try_send(MessageType::Call, call->id, payload, fds.fds)) {
            core->conn->forget(call->id);
            return {};
        }
    } catch (const std::length_error&) {
        core->conn->forget(call->id);
        throw ArgumentException("cannot pass the arguments of " + name +
                                " to the engine: they are too large for one message");
    } catch (...) {
        core->conn->forget(call->id);
        throw;
    }
    std::vector<Handle> handles(3, 0);
    handles[0] = detail::register_object(std::make_shared<FutureHandle>(call));
    if (captureOut) handles[1] = detail::register_object(std::make_shared<BufferHandle>(call));
    if (captureErr) handles[2] = detail::register_object(std::make_shared<BufferHandle>(call));
    return handles;
}

}  // namespace

std::vector<Handle> evaluateFunction(Handle engine, const std::string& name, int numOut,
                                     std::vector<const qxArray*> args, bool captureOut, bool captureErr,
                                     bool progress) {
    return submit_call(engine, name, numOut, args, captureOut, captureErr, progress, false);
}

std::vector<Handle> evaluateFunctionNow(Handle engine, const std::string& name, int numOut,
                                        const std::vector<const qxArray*>& args, bool captureOut, bool captureErr,
                                        bool progress) {
    return submit_call(engine, name, numOut, args, captureOut, captureErr, progress, true);
}

std::vector<vdutil::QxArrayPtr> getFEvalResult(std::vector<Handle> handles, boost::shared_ptr<ustringbuf> out,
                                               boost::shared_ptr<ustringbuf> err, double timeout) {
    if (handles.empty()) throw EngineException("engine_api: getFEvalResult needs the handles of a call");
    auto call = find_call(handles[0]);
    for (std::size_t i = 1; i < handles.size(); ++i)
        if (handles[i]) detail::find<BufferHandle>(handles[i], "a capture buffer");
    if (!call->wait(Deadline::after(timeout)))
        throw TimeoutException("the call to " + call->name + " did not finish within " + std::to_string(timeout) +
                               " seconds; it goes on");

    std::vector<vdutil::QxArrayPtr> results;
    std::unique_lock<std::mutex> lock(call->m);
    if (!call->text_taken) {
        call->text_taken = true;
        if (out && !call->out.empty()) out->sputn(call->out.data(), static_cast<std::streamsize>(call->out.size()));
        if (err && !call->err.empty()) err->sputn(call->err.data(), static_cast<std::streamsize>(call->err.size()));
        call->out.clear();
        call->err.clear();
    }
    switch (call->state.load()) {
    case State::Pending:
        break;
    case State::Cancelled:
        throw CancelledException("the call to " + call->name + " was cancelled");
    case State::Lost:
        throw EngineException(call->message);
    case State::Answered:
        switch (call->status) {
        case CallStatus::Ok:
            if (call->collected)
                throw EngineException("the results of the call to " + call->name + " were already collected");
            call->collected = true;
            results.reserve(call->results.size());
            for (auto& a : call->results) results.emplace_back(a.release());
            call->results.clear();
            return results;
        default:
            throw_call_failure(call->status, call->name, call->identifier, call->message);
        }
    }
    throw EngineException("engine_api: the call to " + call->name + " is in no known state");
}

void takeFEvalOutput(std::vector<Handle> handles, boost::shared_ptr<ustringbuf> out,
                     boost::shared_ptr<ustringbuf> err) {
    if (handles.empty()) throw EngineException("engine_api: takeFEvalOutput needs the handles of a call");
    auto call = find_call(handles[0]);
    for (std::size_t i = 1; i < handles.size(); ++i)
        if (handles[i]) detail::find<BufferHandle>(handles[i], "a capture buffer");
    std::u16string o, e;
    {
        std::lock_guard<std::mutex> lock(call->m);
        if (call->text_taken) return;
        if (out) o.swap(call->out);
        if (err) e.swap(call->err);
    }
    // Written without the lock: the reader appending more is not held up.
    if (!o.empty()) out->sputn(o.data(), static_cast<std::streamsize>(o.size()));
    if (!e.empty()) err->sputn(e.data(), static_cast<std::streamsize>(e.size()));
}

bool takeFEvalProgress(Handle future, double& done, double& total) {
    auto call = find_call(future);
    std::lock_guard<std::mutex> lock(call->m);
    if (!call->reported) return false;
    call->reported = false;
    done = call->done;
    total = call->total;
    return true;
}

void destroyFEvalResult(std::vector<Handle> handles) {
    // All or nothing: check every handle before releasing any.
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (!handles[i]) continue;
        if (i == 0) detail::find<FutureHandle>(handles[i], "a function call");
        else detail::find<BufferHandle>(handles[i], "a capture buffer");
    }
    for (Handle h : handles) {
        if (!h) continue;
        std::shared_ptr<Object> o;
        try {
            o = detail::unregister_object(h);
        } catch (const EngineException&) {
            continue;  // another thread released it meanwhile
        }
        if (auto f = std::dynamic_pointer_cast<FutureHandle>(o)) f->call->cancel();
        o->begin_release();
        o->release();
    }
}

bool destroyFEvalResultNow(const std::vector<Handle>& handles) {
    if (handles.empty() || !handles[0]) return false;
    {
        auto call = find_call(handles[0]);
        std::lock_guard<std::mutex> lock(call->m);
        // Dropping results could send loan notices, and cancelling a call
        // sends a frame: either may wait for the socket.
        if (call->state.load() == State::Pending || !call->results.empty()) return false;
    }
    destroyFEvalResult(handles);
    return true;
}

bool cancelFEval(Handle future) {
    return find_call(future)->cancel();
}

bool isDoneFEval(Handle future) {
    return find_call(future)->is_done();
}

bool isCancelledFEval(Handle future) {
    auto call = find_call(future);
    std::lock_guard<std::mutex> lock(call->m);
    State s = call->state.load();
    return s == State::Cancelled || (s == State::Answered && call->status == CallStatus::Cancelled);
}

bool waitFEval(Handle future, double timeout) {
    return find_call(future)->wait(Deadline::after(timeout));
}

// ---- batches ------------------------------------------------------------------
//
// A batch is one or more requests (parts): CallBatch frames of consecutive
// calls, or, for an engine of the older protocol, a Call frame per call.
// Each part is answered in order, call by call, and ends once: by its final
// reply, a rejection, the loss of the connection, or the batch's release.
// The batch is ready when every part up to the first that failed has ended;
// parts after that one are cancelled when the batch is released.

namespace {

// A part of a batch is this many bytes of arguments at most (unless one call
// alone is more), so that the engine starts on the first while the next is
// still being written.
constexpr std::size_t kBatchPartBytes = std::size_t(1) << 20;

struct Batch {
    std::shared_ptr<EngineCore> core;
    std::string name;

    // One call's answer, set once.
    struct Entry {
        bool answered = false;
        CallStatus status = CallStatus::Ok;
        std::string identifier, message;
        std::u16string out, err;
        std::vector<vdutil::QxArrayPtr> results;  // handed over as they are
    };
    struct Part {
        std::uint64_t id = 0;
        std::size_t first = 0, size = 0;  // its calls
        std::size_t answered = 0;         // of them, in order
        bool ended = false;
        bool failed = false;  // a call did not succeed, or some were not run
        std::string lost;     // why it ended without its answers
    };

    std::mutex m;  // a leaf: guards everything below
    std::vector<Entry> entries;
    std::vector<Part> parts;
    std::size_t next_open = 0;  // parts before it have ended
    bool released = false;
    bool collected = false;
    std::atomic<bool> ready{false};  // read by pump() without the lock

    // With m held: after a part ended.
    void update_ready() {
        while (next_open < parts.size() && parts[next_open].ended) {
            if (parts[next_open].failed) {
                next_open = parts.size();
                break;
            }
            ++next_open;
        }
        if (next_open == parts.size()) ready.store(true, std::memory_order_release);
    }

    void end_part(std::size_t p, const std::string& lost) {
        std::lock_guard<std::mutex> lock(m);
        Part& part = parts[p];
        if (part.ended) return;
        part.ended = part.failed = true;
        part.lost = lost;
        update_ready();
    }

    // The replies to part `p`; true once it has ended.
    bool on_reply(std::size_t p, Frame&& f) {
        if (f.type == MessageType::Output || f.type == MessageType::Progress) return false;  // not asked for
        const veldra::protocol::PeerLink from = core->conn->link();
        {
            std::lock_guard<std::mutex> lock(m);
            if (released || parts[p].ended) {
                veldra::protocol::drop_call_result(f, from, core->objects);
                return true;
            }
        }
        if (f.type != MessageType::CallResult && f.type != MessageType::CallBatchResult) {
            veldra::protocol::PayloadReader r(f.payload);
            end_part(p, "the engine rejected the call: " + r.str());
            return true;
        }
        if (f.fds_lost) {
            veldra::protocol::drop_call_result(f, from, core->objects);
            end_part(p, "cannot read the result of " + name +
                            ": this process has too many open files to receive its large blocks");
            return true;
        }
        // Decoded without the lock, as a single call's reply is.
        veldra::protocol::PayloadReader r(f.payload);
        veldra::protocol::CallBatchResultHead head;
        head.calls = 1;
        head.final = true;
        std::string bad;
        if (f.type == MessageType::CallBatchResult && !veldra::protocol::decode(r, head)) bad = "malformed reply";
        std::vector<Entry> got;
        // Each result takes a few bytes at least: a count from the wire
        // reserves no more than the frame could hold.
        got.reserve(std::min<std::size_t>(head.calls, r.remaining() / 16 + 1));
        for (std::uint32_t i = 0; bad.empty() && i < head.calls; ++i) {
            veldra::protocol::CallResultHead h;
            Entry e;
            if (!read_result(r, f, from, core->objects, h, e.results, bad)) break;
            e.answered = true;
            e.status = h.status;
            e.identifier = std::move(h.identifier);
            e.message = std::move(h.message);
            e.out = std::move(h.out);
            e.err = std::move(h.err);
            got.push_back(std::move(e));
        }
        std::vector<Entry> drop;  // destroyed after the lock is let go
        std::lock_guard<std::mutex> lock(m);
        Part& part = parts[p];
        if (bad.empty() && (head.first != part.answered || got.size() > part.size - part.answered))
            bad = "the engine answered calls out of order";
        if (!bad.empty() || released || part.ended) {
            drop.swap(got);
            if (!bad.empty() && !part.ended) {
                part.ended = part.failed = true;
                part.lost = "cannot read the result of " + name + ": " + bad;
                update_ready();
            }
            return true;
        }
        for (Entry& e : got) {
            if (e.status != CallStatus::Ok) part.failed = true;
            entries[part.first + part.answered++] = std::move(e);
        }
        if (!head.final) return false;
        part.ended = true;
        if (part.answered < part.size) part.failed = true;  // the rest did not run
        update_ready();
        return true;
    }

    bool wait(const Deadline& deadline) {
        if (ready.load(std::memory_order_acquire)) return true;
        return core->conn->pump(deadline, [this] { return ready.load(std::memory_order_acquire); });
    }

    // Ends every part still open and tells the engine to drop them; the
    // results not collected go.  Idempotent.
    void release() {
        std::vector<std::uint64_t> open;
        std::vector<Entry> drop;
        {
            std::lock_guard<std::mutex> lock(m);
            released = true;
            for (Part& part : parts) {
                if (part.ended) continue;
                part.ended = part.failed = true;
                part.lost = "the call was cancelled";
                open.push_back(part.id);
            }
            ready.store(true, std::memory_order_release);
            drop.swap(entries);
        }
        for (std::uint64_t id : open) core->conn->forget(id);
        if (!open.empty()) core->conn->wake_waiters();
        for (std::uint64_t id : open) {
            try {
                core->conn->send(MessageType::Cancel, id, {});
            } catch (const std::exception&) {
                break;  // a dead connection has nothing left to cancel
            }
        }
    }
};

class BatchHandle : public Object {
public:
    explicit BatchHandle(std::shared_ptr<Batch> b) : batch(std::move(b)) {}
    const char* kind_name() const noexcept override { return "a batch of calls"; }
    void begin_release() override { batch->release(); }
    const std::shared_ptr<Batch> batch;
};

// A part's reply handler.
detail::Connection::ReplyHandler part_handler(const std::shared_ptr<Batch>& batch, std::size_t p) {
    std::weak_ptr<Batch> weak = batch;
    detail::Connection::ReplyHandler h;
    h.on_frame = [weak, p](Frame&& f) {
        if (auto b = weak.lock()) return b->on_reply(p, std::move(f));
        return true;
    };
    h.on_lost = [weak, p](const std::string& reason) {
        if (auto b = weak.lock()) b->end_part(p, "the engine connection was lost: " + reason);
    };
    return h;
}

// The frames of a batch's parts for an engine that takes CallBatch frames,
// the descriptors they lend in `lent` (one per part); parts are added to
// `batch`, each continuing the one before it (the first continues the
// request `after`, 0 for none).
std::vector<detail::Connection::OutFrame> batch_frames(Batch& batch, int numOut,
                                                       const std::vector<std::vector<const qxArray*>>& argLists,
                                                       bool captureOut, bool captureErr, std::uint64_t after,
                                                       std::vector<veldra::protocol::OutgoingFds>& lent) {
    const veldra::protocol::PeerLink to = batch.core->conn->link();
    std::vector<detail::Connection::OutFrame> frames;
    veldra::protocol::PayloadWriter body;
    std::size_t first = 0;
    auto close_part = [&](std::size_t end) {
        veldra::protocol::CallBatchHead head;
        head.name = batch.name;
        head.nargout = static_cast<std::uint32_t>(numOut);
        head.capture_out = captureOut;
        head.capture_err = captureErr;
        head.after = after;
        head.calls = static_cast<std::uint32_t>(end - first);
        veldra::protocol::PayloadWriter w;
        veldra::protocol::encode(head, w);
        w.bytes(body.data().data(), body.data().size());
        frames.push_back({w.take(), lent.back().fds});
        Batch::Part part;
        part.id = batch.core->conn->new_request_id();
        part.first = first;
        part.size = end - first;
        batch.parts.push_back(part);
        after = part.id;
        body = veldra::protocol::PayloadWriter();
        first = end;
    };
    lent.emplace_back();
    try {
        for (std::size_t i = 0; i < argLists.size(); ++i) {
            body.u32(static_cast<std::uint32_t>(argLists[i].size()));
            for (const qxArray* a : argLists[i]) veldra::protocol::encode_array(a, body, lent.back(), &to);
            if (body.data().size() >= kBatchPartBytes || i + 1 - first == veldra::protocol::kMaxBatchCalls) {
                close_part(i + 1);
                if (i + 1 < argLists.size()) lent.emplace_back();
            }
        }
    } catch (const veldra::protocol::ArrayCodecError& e) {
        throw ArgumentException("cannot pass the arguments of " + batch.name + " to the engine: " + e.what());
    }
    if (first < argLists.size()) close_part(argLists.size());
    return frames;
}

}  // namespace

Handle evaluateFunctionBatch(Handle engine, const std::string& name, int numOut,
                             const std::vector<std::vector<const qxArray*>>& argLists, bool captureOut, bool captureErr,
                             Handle after) {
    auto core = open_engine(engine, numOut);
    std::uint64_t continued = 0;  // the request of `after` this batch continues
    if (after) {
        auto before = detail::find<BatchHandle>(after, "a batch of calls")->batch;
        if (before->core != core)
            throw EngineException("engine_api: a batch continues only a batch of the same engine");
        std::lock_guard<std::mutex> lock(before->m);
        if (!before->parts.empty()) continued = before->parts.back().id;
    }
    auto batch = std::make_shared<Batch>();
    batch->core = core;
    batch->name = name;
    batch->entries.resize(argLists.size());
    // Everything is encoded before anything is sent: a bad argument list
    // makes none of the calls.
    std::vector<detail::Connection::OutFrame> frames;
    std::vector<veldra::protocol::OutgoingFds> lent;
    const bool batched = core->protocol >= veldra::protocol::kBatchProtocolVersion;
    if (batched) {
        frames = batch_frames(*batch, numOut, argLists, captureOut, captureErr, continued, lent);
    } else {
        lent.resize(argLists.size());
        for (std::size_t i = 0; i < argLists.size(); ++i) {
            // The text comes with each result, as it does from a batch.
            frames.push_back(
                {call_payload(*core, name, numOut, argLists[i], captureOut, captureErr, false, lent[i], false),
                 lent[i].fds});
            Batch::Part part;
            part.id = core->conn->new_request_id();
            part.first = i;
            part.size = 1;
            batch->parts.push_back(part);
        }
    }
    std::size_t expected = 0;
    try {
        for (std::size_t p = 0; p < frames.size(); ++p) {
            const Batch::Part& part = batch->parts[p];
            if (!core->conn->expect(part.id, part_handler(batch, p))) throw EngineException(closed_text(*core));
            ++expected;
            frames[p].bytes = veldra::protocol::encode_frame(batched ? MessageType::CallBatch : MessageType::Call,
                                                             part.id, frames[p].bytes, frames[p].fds.size());
        }
        core->conn->send_frames(frames);
    } catch (...) {
        for (std::size_t p = 0; p < expected; ++p) core->conn->forget(batch->parts[p].id);
        try {
            throw;
        } catch (const std::length_error&) {
            throw ArgumentException("cannot pass the arguments of " + name +
                                    " to the engine: they are too large for one message");
        }
    }
    {
        std::lock_guard<std::mutex> lock(batch->m);
        batch->update_ready();  // no parts: ready at once
    }
    return detail::register_object(std::make_shared<BatchHandle>(std::move(batch)));
}

std::vector<BatchCall> getFunctionBatchResult(Handle handle, double timeout) {
    auto batch = detail::find<BatchHandle>(handle, "a batch of calls")->batch;
    if (!batch->wait(Deadline::after(timeout)))
        throw TimeoutException("the calls to " + batch->name + " did not finish within " + std::to_string(timeout) +
                               " seconds; they go on");
    std::lock_guard<std::mutex> lock(batch->m);
    if (batch->collected || batch->released)
        throw EngineException("the results of the calls to " + batch->name + " were already collected");
    batch->collected = true;
    std::vector<BatchCall> calls(batch->entries.size());
    bool stopped = false;  // a call before failed: the rest count as cancelled
    for (const Batch::Part& part : batch->parts) {
        for (std::size_t i = part.first; i < part.first + part.size; ++i) {
            Batch::Entry& e = batch->entries[i];
            BatchCall& c = calls[i];
            try {
                if (stopped) throw CancelledException("the call to " + batch->name + " was cancelled");
                if (!e.answered) {
                    stopped = true;
                    if (!part.lost.empty()) throw EngineException(part.lost);
                    throw CancelledException("the call to " + batch->name + " was cancelled");
                }
                c.out.swap(e.out);
                c.err.swap(e.err);
                if (e.status != CallStatus::Ok) {
                    stopped = true;
                    throw_call_failure(e.status, batch->name, e.identifier, e.message);
                }
                c.results.swap(e.results);
            } catch (...) {
                c.error = std::current_exception();
            }
        }
    }
    return calls;
}

void destroyFunctionBatch(Handle handle) {
    detail::find<BatchHandle>(handle, "a batch of calls");
    std::shared_ptr<Object> o;
    try {
        o = detail::unregister_object(handle);
    } catch (const EngineException&) {
        return;  // another thread released it meanwhile
    }
    o->begin_release();
    o->release();
}

}  // namespace engine_api
