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
        if (!veldra::protocol::decode(r, head)) {
            bad = "malformed reply";
        } else if (f.fds_lost) {
            veldra::protocol::release_lost_loans(r, head.count, from);
            bad = "this process has too many open files to receive its large blocks";
        } else {
            try {
                for (std::uint32_t i = 0; i < head.count; ++i)
                    arrays.push_back(veldra::protocol::decode_array(r, f.fds, core->objects, &from));
            } catch (const std::exception& x) {
                arrays.clear();
                bad = x.what();
            }
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
                                       bool progress, veldra::protocol::OutgoingFds& fds) {
    veldra::protocol::CallRequestHead head;
    head.name = name;
    head.nargout = static_cast<std::uint32_t>(numOut);
    head.capture_out = captureOut;
    head.capture_err = captureErr;
    // Captured text comes as it is written (takeFEvalOutput), the rest with
    // the result.
    head.live = captureOut || captureErr;
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

}  // namespace

std::vector<Handle> evaluateFunctions(Handle engine, const std::string& name, int numOut,
                                      const std::vector<std::vector<const qxArray*>>& argLists, bool captureOut,
                                      bool captureErr) {
    auto core = open_engine(engine, numOut);
    // Everything is encoded before anything is sent: a bad argument list
    // makes none of the calls.
    std::vector<detail::Connection::OutFrame> frames(argLists.size());
    std::vector<veldra::protocol::OutgoingFds> lent(argLists.size());
    for (std::size_t i = 0; i < argLists.size(); ++i) {
        frames[i].bytes = call_payload(*core, name, numOut, argLists[i], captureOut, captureErr, false, lent[i]);
        frames[i].fds = lent[i].fds;
    }
    std::vector<std::shared_ptr<Call>> calls;
    calls.reserve(argLists.size());
    auto forget_all = [&] {
        for (const auto& c : calls) core->conn->forget(c->id);
    };
    try {
        for (std::size_t i = 0; i < argLists.size(); ++i) {
            calls.push_back(expect_call(core, name));
            frames[i].bytes = veldra::protocol::encode_frame(MessageType::Call, calls.back()->id, frames[i].bytes,
                                                             frames[i].fds.size());
        }
        core->conn->send_frames(frames);
    } catch (const std::length_error&) {
        forget_all();
        throw ArgumentException("cannot pass the arguments of " + name +
                                " to the engine: they are too large for one message");
    } catch (...) {
        forget_all();
        throw;
    }
    std::vector<Handle> handles;
    handles.reserve(calls.size());
    for (auto& c : calls) handles.push_back(detail::register_object(std::make_shared<FutureHandle>(std::move(c))));
    return handles;
}

namespace {

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
        case CallStatus::ExecutionError:
            throw ExecutionError(call->message, call->identifier);
        case CallStatus::SyntaxError:
            throw SyntaxError(call->message, call->identifier);
        case CallStatus::Interrupted:
            throw InterruptedException("the call to " + call->name + " was interrupted in the engine");
        case CallStatus::Cancelled:
            throw CancelledException("the call to " + call->name + " was cancelled");
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

}  // namespace engine_api
