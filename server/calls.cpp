// Function calls: decoding them on the connection readers, running them on
// the evaluation thread, answering with their results and captured text.
#include "calls.hpp"

#include "connection.hpp"
#include "engine_state.hpp"
#include "functions/function.hpp"

#include <fl/i18n/convert.hpp>
#include <qx/block.hpp>

#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/call_messages.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <sched.h>

namespace veldra::engine {

namespace {

using protocol::CallStatus;
using protocol::MessageType;

// How often a call run by its connection's reader looks for its Cancel.
constexpr auto kPeekInterval = std::chrono::milliseconds(1);

// How long the idle evaluation thread watches the queue before sleeping: a
// client that calls again at once is then served without a wake-up.
constexpr auto kIdleSpin = std::chrono::microseconds(60);

// Captured text goes to a client that asked for it while the call runs, in
// Output frames: once this much has gathered, or this long after the first
// byte not yet sent.  A function printing in a tight loop so sends a frame
// per few kilobytes, not one per line.
constexpr std::size_t kOutputChunk = 8 * 1024;
constexpr auto kOutputDelay = std::chrono::milliseconds(20);
// The most text in one Output frame.
constexpr std::size_t kOutputFrameMax = std::size_t(1) << 20;
// Past this much queued for its connection, text waits (for the next try or
// the reply): a peer that reads slowly does not make the queue grow.
constexpr std::size_t kOutputQueued = std::size_t(1) << 20;
// A batch's reply goes in frames of about this many bytes: the client
// decodes the first while the engine runs the calls of the next.
constexpr std::size_t kBatchFrameBytes = std::size_t(1) << 20;
// ... and the results of calls that took long do not wait for more than
// about this long.
constexpr auto kBatchFrameDelay = std::chrono::milliseconds(20);
// A batch runs its calls for about this long at a time while another
// connection's calls wait, then goes to the back of the queue: one
// client's batch does not keep another's calls waiting behind all of it.
constexpr auto kBatchTurn = std::chrono::milliseconds(2);

class BatchReply;

struct Job {
    std::shared_ptr<Connection> conn;
    std::uint64_t id = 0;
    std::string name;
    int nargout = 0;
    bool capture_out = false;
    bool capture_err = false;
    bool live = false;      // captured text is sent as it is written
    bool progress = false;  // and progress reports
    std::vector<Array> args;
    std::string decode_error;  // the arguments could not be read
    // A CallBatch: `size` calls of `name`, run in order.  `args` holds the
    // arguments of all the calls read, one after another, and `counts` how
    // many each call has: one flat list, so that the evaluation thread does
    // not free a list per call that the reader made.  With a decode_error,
    // the call after the last one read reports it.
    bool batch = false;
    std::size_t size = 0;
    std::vector<std::uint32_t> counts;
    std::uint64_t after = 0;  // the batch of this connection it continues (0: none)
    // Where a batch that gave up its turn goes on (on the evaluation thread).
    std::shared_ptr<BatchReply> reply;  // made on its first turn
    std::size_t next_call = 0;
    std::size_t next_arg = 0;  // the index in args of next_call's first argument
    bool skipped = false;      // it continues a batch that stopped, so runs nothing
    std::atomic<bool> cancelled{false};
    std::atomic<bool> interrupted{false};
    // Run by its connection's reader, which then reads nothing else.
    bool on_reader = false;
    std::chrono::steady_clock::time_point next_peek{};
};

struct Reply {
    CallStatus status = CallStatus::Ok;
    std::string identifier;
    std::string message;
    Results results;
};

// Waiting calls, served in turn across connections: one client's backlog
// does not keep another's call waiting behind it.
class FairQueue {
public:
    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    void push(std::shared_ptr<Job> job) {
        auto& q = queues_[job->conn.get()];
        if (q.empty()) turns_.push_back(job->conn.get());
        q.push_back(std::move(job));
        ++size_;
    }
    std::shared_ptr<Job> pop() {
        Connection* c = turns_.front();
        turns_.pop_front();
        auto it = queues_.find(c);
        auto job = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) queues_.erase(it);
        else turns_.push_back(c);
        --size_;
        return job;
    }
    // The waiting call `id` of `conn`, taken out; nullptr when none.
    std::shared_ptr<Job> take(const Connection* conn, std::uint64_t id) {
        auto it = queues_.find(const_cast<Connection*>(conn));
        if (it == queues_.end()) return nullptr;
        auto& q = it->second;
        for (auto j = q.begin(); j != q.end(); ++j) {
            if ((*j)->id != id) continue;
            auto job = std::move(*j);
            q.erase(j);
            --size_;
            if (q.empty()) forget(it);
            return job;
        }
        return nullptr;
    }
    // Whether a call of a connection other than `conn` waits.
    bool others_wait(const Connection* conn) const {
        return std::any_of(turns_.begin(), turns_.end(), [conn](const Connection* c) { return c != conn; });
    }
    // Every waiting call of `conn`, taken out.
    std::deque<std::shared_ptr<Job>> take_all(const Connection* conn) {
        auto it = queues_.find(const_cast<Connection*>(conn));
        if (it == queues_.end()) return {};
        auto jobs = std::move(it->second);
        size_ -= jobs.size();
        forget(it);
        return jobs;
    }

private:
    using Queues = std::map<Connection*, std::deque<std::shared_ptr<Job>>>;
    void forget(Queues::iterator it) {
        turns_.erase(std::find(turns_.begin(), turns_.end(), it->first));
        queues_.erase(it);
    }
    Queues queues_;
    std::deque<Connection*> turns_;
    std::size_t size_ = 0;
};

class Engine {
public:
    Engine() {
        // The store's session, as its references carry it.
        Array probe = objects.makeReference({1, 1}, {0});
        session = qx::objectSession(probe.get());
    }

    Workspace workspace;  // only ever touched by the running call
    ObjectStore objects;
    std::shared_ptr<const qx::ObjectSession> session;

    std::mutex m;
    std::condition_variable cv;
    FairQueue queue;
    std::shared_ptr<Job> running;
    bool sleeping = false;
    // Per connection, the batches that did not run all their calls, newest
    // last: a batch continuing one of them does not run either.  A few are
    // kept (a batch is continued by the next one its client sends, if any).
    std::map<const Connection*, std::deque<std::uint64_t>> stopped;
    std::atomic<std::size_t> queued{0};
};

Engine& engine() {
    static Engine* e = new Engine();  // never destroyed: the engine ends with _Exit
    return *e;
}

// The length of the longest prefix of `s` that does not end inside a UTF-8
// sequence: a character split between two frames would be lost to both.
std::size_t whole_utf8(std::string_view s) {
    const std::size_t n = s.size();
    for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(s[n - back]);
        if ((c & 0xC0) == 0x80) continue;
        const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        return len > back ? n - back : n;
    }
    return n;  // stray continuation bytes go as they are
}

class CapturedText;

// Sends the text that has waited kOutputDelay while its function wrote
// nothing more.  Every wait is as long, so they are due in the order armed.
class Flusher {
public:
    void arm(std::weak_ptr<CapturedText> text, std::chrono::steady_clock::time_point due) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!thread_started_) {
                std::thread([this] { loop(); }).detach();
                thread_started_ = true;
            }
            // Otherwise the thread waits for an earlier one and sees this after.
            wake = waiting_.empty();
            waiting_.push_back({std::move(text), due});
        }
        if (wake) cv_.notify_one();
    }

private:
    struct Waiting {
        std::weak_ptr<CapturedText> text;
        std::chrono::steady_clock::time_point due;
    };
    void loop();

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Waiting> waiting_;
    bool thread_started_ = false;
};

Flusher& flusher() {
    static Flusher* f = new Flusher();  // never destroyed: its thread runs to the end
    return *f;
}

// What a call writes to a captured stream, and how far it has got.  Without
// `live` the text all waits for the reply; with it, it goes in Output frames
// as it gathers, and the reply carries the rest.  With `progress` the latest
// report goes in a Progress frame along with the text (reports in between
// are dropped).
class CapturedText : public std::enable_shared_from_this<CapturedText> {
public:
    CapturedText(std::shared_ptr<Connection> conn, std::uint64_t id, bool live, bool progress)
        : conn_(std::move(conn)), id_(id), live_(live), progress_(progress) {}

    void report(double done, double total) {
        if (!progress_) return;
        std::lock_guard<std::mutex> lock(m_);
        if (closed_) return;
        done_ = done;
        total_ = total;
        reported_ = true;
        if (!armed_) arm_locked();
    }

    void add(int stream, std::string_view text) {
        std::lock_guard<std::mutex> lock(m_);
        text_[stream].append(text.data(), text.size());
        if (!live_ || closed_) return;
        if (text_[stream].size() >= kOutputChunk) send_locked();
        else if (!armed_) arm_locked();
    }

    void flush_if_due(std::chrono::steady_clock::time_point now) {
        std::lock_guard<std::mutex> lock(m_);
        if (closed_ || !armed_ || now < due_) return;
        send_locked();
    }

    // At the end of the call: the last report goes, the text not sent is
    // for the reply; nothing goes after it.  Without `live` and `progress`
    // (a batch's calls) text gathers again after, for the next rest().
    std::string rest(int stream) {
        std::lock_guard<std::mutex> lock(m_);
        if (!closed_) send_progress_locked();
        closed_ = true;
        std::string text;
        text.swap(text_[stream]);
        return text;
    }

private:
    void arm_locked() {
        armed_ = true;
        due_ = std::chrono::steady_clock::now() + kOutputDelay;
        flusher().arm(weak_from_this(), due_);
    }

    void send_locked() {
        armed_ = false;
        for (int stream = 0; live_ && stream < 2 && !closed_; ++stream) {
            std::string& text = text_[stream];
            std::size_t sent = 0;
            try {
                while (sent < text.size() && conn_->queued() <= kOutputQueued) {
                    const std::string_view left(text.data() + sent, std::min(text.size() - sent, kOutputFrameMax));
                    const std::size_t n = whole_utf8(left);
                    if (n == 0) break;  // the rest of a character is still to come
                    protocol::PayloadWriter w;
                    w.u8(static_cast<std::uint8_t>(stream + 1))
                        .ustr(fl::i18n::to_ustring(std::string(left.substr(0, n))));
                    if (!conn_->send(MessageType::Output, id_, w.take(), {}, true)) {
                        closed_ = true;  // nobody reads it any more
                        break;
                    }
                    sent += n;
                }
            } catch (const std::exception&) {
                // Out of memory: the rest waits for the reply.
            }
            text.erase(0, sent);
        }
        if (closed_) return;
        send_progress_locked();
        // Held back by a full queue: tried again later.
        bool left = reported_;
        for (const std::string& text : text_) left = left || whole_utf8(text) > 0;
        if (left) arm_locked();
    }

    void send_progress_locked() {
        if (!reported_ || conn_->queued() > kOutputQueued) return;
        try {
            protocol::PayloadWriter w;
            w.f64(done_).f64(total_);
            reported_ = false;
            if (!conn_->send(MessageType::Progress, id_, w.take(), {}, true)) closed_ = true;
        } catch (const std::exception&) {
            // Out of memory: the next report may go.
        }
    }

    const std::shared_ptr<Connection> conn_;
    const std::uint64_t id_;
    const bool live_;
    const bool progress_;
    std::mutex m_;
    std::string text_[2];
    bool reported_ = false;  // a report not sent yet
    double done_ = 0, total_ = 0;
    bool armed_ = false;
    bool closed_ = false;
    std::chrono::steady_clock::time_point due_{};
};

void Flusher::loop() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        cv_.wait(lock, [&] { return !waiting_.empty(); });
        // The text of a call that has ended went with its reply.
        if (waiting_.front().text.expired()) {
            waiting_.pop_front();
            continue;
        }
        const auto due = waiting_.front().due;
        if (std::chrono::steady_clock::now() < due) {
            cv_.wait_until(lock, due);
            continue;
        }
        auto text = std::move(waiting_.front().text);
        waiting_.pop_front();
        lock.unlock();
        if (auto t = text.lock()) t->flush_if_due(std::chrono::steady_clock::now());
        text.reset();
        lock.lock();
    }
}

class Context : public CallContext {
public:
    Context(Job& job, Engine& e)
        : job_(job), e_(e), text_(std::make_shared<CapturedText>(job.conn, job.id, job.live, job.progress)) {}
    void out(std::string_view text) override { write(text, job_.capture_out, 0, stdout); }
    void err(std::string_view text) override { write(text, job_.capture_err, 1, stderr); }
    void checkInterrupt() override {
        if (job_.on_reader) {
            auto now = std::chrono::steady_clock::now();
            if (now >= job_.next_peek) {
                job_.next_peek = now + kPeekInterval;
                if (job_.conn->frame_arrived(MessageType::Cancel, job_.id)) job_.cancelled = true;
            }
        }
        if (job_.cancelled.load(std::memory_order_relaxed) || job_.interrupted.load(std::memory_order_relaxed))
            throw Interrupted();
    }
    Workspace& workspace() override { return e_.workspace; }
    ObjectStore& objects() override { return e_.objects; }
    const FunctionRegistry& functions() const override { return FunctionRegistry::builtin(); }
    int threads() const override { return static_cast<int>(settings().threads); }
    void progress(double done, double total) override { text_->report(done, total); }

    // The captured text not yet sent; nothing is sent after.
    std::string rest_out() { return text_->rest(0); }
    std::string rest_err() { return text_->rest(1); }

private:
    void write(std::string_view text, bool capture, int stream, std::FILE* file) {
        if (capture) {
            text_->add(stream, text);
        } else {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fflush(file);
        }
    }
    Job& job_;
    Engine& e_;
    std::shared_ptr<CapturedText> text_;
};

void send_reply(Job& job, const Reply& r, const std::string& out, const std::string& err,
                const std::vector<std::uint8_t>& arrays, protocol::OutgoingFds&& fds, std::size_t count) {
    protocol::CallResultHead head;
    head.status = r.status;
    head.identifier = r.identifier;
    head.message = r.message;
    if (!out.empty()) head.out = fl::i18n::to_ustring(out);
    if (!err.empty()) head.err = fl::i18n::to_ustring(err);
    head.count = static_cast<std::uint32_t>(count);
    protocol::PayloadWriter w;
    protocol::encode(head, w);
    w.bytes(arrays.data(), arrays.size());
    std::vector<std::uint8_t> payload = w.take();
    if (fds.fds.size() > protocol::kMaxFdsPerFrame || payload.size() > protocol::kMaxPayload) {
        Reply too_big;
        too_big.status = CallStatus::ExecutionError;
        too_big.identifier = "veldra:engine:dataConversion";
        too_big.message = std::string(protocol::kDataConversionError) + ": the results of " + job.name +
                          " are too large to pass to the client in one reply";
        // Text too large for a reply goes too, so this one surely fits.
        const bool keep_text = out.size() + err.size() < protocol::kMaxPayload / 4;
        send_reply(job, too_big, keep_text ? out : std::string(), keep_text ? err : std::string(), {}, {}, 0);
        return;
    }
    if (count > 0) {
        // The client holds the references it is sent until it gives them
        // back; counted while the results still hold theirs, so no object
        // dies in between.  A client that went meanwhile may have been
        // released already, and is released again.
        ObjectStore& objects = engine().objects;
        try {
            for (const auto& a : r.results) objects.clientHolds(job.conn->tag(), a.get());
        } catch (const std::bad_alloc&) {
            // Not counted: what the client gives back is capped at what was.
        }
        if (job.conn->finished()) objects.clientGone(job.conn->tag());
    }
    // The evaluation thread with more calls waiting leaves the writing to
    // the connection's reader, which sends the replies that pile up
    // meanwhile together; with none waiting it answers at once.
    const bool now = job.on_reader || engine().queued.load(std::memory_order_relaxed) == 0;
    job.conn->send(MessageType::CallResult, job.id, payload, std::move(fds), now);
}

void reply_without_results(Job& job, CallStatus status, std::string identifier = {}, std::string message = {}) {
    Reply r;
    r.status = status;
    r.identifier = std::move(identifier);
    r.message = std::move(message);
    send_reply(job, r, {}, {}, {}, {}, 0);
}

// The reply of a call whose arguments could not be read.
Reply unreadable_arguments(const Job& job) {
    Reply r;
    r.status = CallStatus::ExecutionError;
    r.identifier = "veldra:engine:dataConversion";
    r.message = std::string(protocol::kDataConversionError) + ": the arguments could not be read: " + job.decode_error;
    return r;
}

// Runs one call of job's function on the `n` arguments from `args` (`in`
// is scratch space); every failure becomes the reply.
Reply call_function(Job& job, Context& ctx, const Array* args, std::size_t n, Args& in) {
    Reply r;
    try {
        in.clear();
        for (std::size_t i = 0; i < n; ++i) in.push_back(args[i].get());
        r.results = FunctionRegistry::builtin().call(ctx, job.name, job.nargout, in);
    } catch (const DataConversionFailure& f) {
        r.status = CallStatus::ExecutionError;
        r.identifier = f.identifier();
        r.message = std::string(protocol::kDataConversionError) + ": " + f.what();
    } catch (const SyntaxFailure& f) {
        r.status = CallStatus::SyntaxError;
        r.identifier = f.identifier();
        r.message = f.what();
    } catch (const ExecutionFailure& f) {
        r.status = CallStatus::ExecutionError;
        r.identifier = f.identifier();
        r.message = f.what();
    } catch (const Interrupted&) {
        r.status = job.cancelled ? CallStatus::Cancelled : CallStatus::Interrupted;
    } catch (const std::bad_alloc&) {
        r.status = CallStatus::ExecutionError;
        r.identifier = "veldra:engine:outOfMemory";
        r.message = "Out of memory while running " + job.name + ".";
    } catch (const std::exception& x) {
        r.status = CallStatus::ExecutionError;
        r.identifier = "veldra:engine:internal";
        r.message = std::string("Internal error in ") + job.name + ": " + x.what();
    }
    return r;
}

// Encodes the results of a call that succeeded into `arrays`, their blocks
// into `fds` lent to `to`; results that cannot be passed turn `r` into the
// error that says so (and leave both empty).  The number of arrays encoded.
std::size_t encode_results(const Job& job, const protocol::PeerLink& to, Reply& r, protocol::PayloadWriter& arrays,
                           protocol::OutgoingFds& fds) {
    if (r.status != CallStatus::Ok) return 0;
    try {
        for (const auto& a : r.results) protocol::encode_array(a.get(), arrays, fds, &to);
        return r.results.size();
    } catch (const std::exception& x) {
        r.status = CallStatus::ExecutionError;
        r.identifier = "veldra:engine:dataConversion";
        r.message = std::string(protocol::kDataConversionError) + ": a result of " + job.name +
                    " cannot be passed to the client: " + x.what();
        arrays = protocol::PayloadWriter();
        fds = protocol::OutgoingFds();
        return 0;
    }
}

void run(Job& job, Engine& e) {
    if (job.conn->finished()) return;  // nobody left to answer
    Context ctx(job, e);
    Args in;
    Reply r = job.decode_error.empty() ? call_function(job, ctx, job.args.data(), job.args.size(), in)
                                       : unreadable_arguments(job);
    job.args.clear();

    protocol::PayloadWriter arrays;
    protocol::OutgoingFds fds;
    const std::size_t count = encode_results(job, job.conn->link(), r, arrays, fds);
    const std::string out = ctx.rest_out();
    const std::string err = ctx.rest_err();
    send_reply(job, r, out, err, arrays.data(), std::move(fds), count);
}

// The CallBatchResult frames of a batch, filled call by call.  A call whose
// results carry descriptors begins a frame of its own unless the frame has
// none yet: the descriptor indices its arrays were encoded with then stay
// those of the frame.  The results are kept until their frame is sent: a
// block the client lent comes back as its loan, which must still be open
// when the frame arrives (destroying the result would report it unmapped
// ahead of the frame).
class BatchReply {
public:
    explicit BatchReply(Job& job) : job_(job) {}

    // Before each call: sends what the calls so far gave once they have
    // taken long.
    void before_call() {
        const auto now = std::chrono::steady_clock::now();
        if (calls_ > 0 && now - started_ >= kBatchFrameDelay) send(false);
        if (calls_ == 0) started_ = now;
    }

    void add(Reply& r, const std::string& out, const std::string& err, const protocol::PayloadWriter& arrays,
             protocol::OutgoingFds&& fds, std::size_t count) {
        protocol::CallResultHead head;
        head.status = r.status;
        head.identifier = r.identifier;
        head.message = r.message;
        if (!out.empty()) head.out = fl::i18n::to_ustring(out);
        if (!err.empty()) head.err = fl::i18n::to_ustring(err);
        head.count = static_cast<std::uint32_t>(count);
        protocol::PayloadWriter& entry = entry_;
        entry.clear();
        protocol::encode(head, entry);
        entry.bytes(arrays.data().data(), arrays.data().size());
        if (entry.data().size() + kBatchHeadBytes > protocol::kMaxPayload) {
            Reply too_big;
            too_big.status = CallStatus::ExecutionError;
            too_big.identifier = "veldra:engine:dataConversion";
            too_big.message = std::string(protocol::kDataConversionError) + ": the results of " + job_.name +
                              " are too large to pass to the client in one reply";
            r = std::move(too_big);
            const bool keep_text = out.size() + err.size() < protocol::kMaxPayload / 4;
            add(r, keep_text ? out : std::string(), keep_text ? err : std::string(), {}, {}, 0);
            return;
        }
        if (count > 0) hold_results(r.results);
        for (auto& a : r.results) keep_.push_back(std::move(a));
        if ((!fds.fds.empty() && !fds_.fds.empty()) ||
            body_.data().size() + entry.data().size() + kBatchHeadBytes > protocol::kMaxPayload)
            send(false);
        if (!fds.fds.empty()) fds_ = std::move(fds);
        body_.bytes(entry.data().data(), entry.data().size());
        ++calls_;
        if (body_.data().size() >= kBatchFrameBytes) send(false);
    }

    // Sends what the calls so far gave (when they gave anything).
    void flush() { send(false); }
    // Sends what is left, ending the batch.
    void finish() { send(true); }

private:
    static constexpr std::size_t kBatchHeadBytes = 9;

    // As send_reply does: the references sent are counted as the client's.
    void hold_results(const Results& results) {
        ObjectStore& objects = engine().objects;
        try {
            for (const auto& a : results) objects.clientHolds(job_.conn->tag(), a.get());
        } catch (const std::bad_alloc&) {
            // Not counted: what the client gives back is capped at what was.
        }
        if (job_.conn->finished()) objects.clientGone(job_.conn->tag());
    }

    void send(bool final) {
        if (calls_ == 0 && !final) return;
        protocol::CallBatchResultHead head;
        head.first = first_;
        head.calls = calls_;
        head.final = final;
        protocol::PayloadWriter w;
        protocol::encode(head, w);
        w.bytes(body_.data().data(), body_.data().size());
        job_.conn->send(MessageType::CallBatchResult, job_.id, w.take(), std::move(fds_), true);
        first_ += calls_;
        calls_ = 0;
        body_ = protocol::PayloadWriter();
        fds_ = protocol::OutgoingFds();
        keep_.clear();
    }

    Job& job_;
    protocol::PayloadWriter entry_;  // one call's, reused
    protocol::PayloadWriter body_;
    protocol::OutgoingFds fds_;
    Results keep_;                                     // the results encoded in body_
    std::chrono::steady_clock::time_point started_{};  // when the first call of body_ began
    std::uint32_t first_ = 0;
    std::uint32_t calls_ = 0;
};

// With e.m held: queues `job` behind the calls waiting now (the evaluation
// thread watches e.queued without the lock).
void enqueue_locked(Engine& e, std::shared_ptr<Job> job) {
    e.queue.push(std::move(job));
    e.queued.fetch_add(1, std::memory_order_release);
}

// With e.m held: notes that the batch `job` did not run all its calls.  Not
// for a connection that has ended, whose notes on_closed took away.
void batch_stopped_locked(Engine& e, const Job& job) {
    constexpr std::size_t kKept = 64;
    if (job.conn->finished()) return;
    auto& ids = e.stopped[job.conn.get()];
    ids.push_back(job.id);
    if (ids.size() > kKept) ids.pop_front();
}

// Whether the batch `job` continues one that stopped (which is forgotten).
bool continues_stopped(Engine& e, const Job& job) {
    if (job.after == 0) return false;
    std::lock_guard<std::mutex> lock(e.m);
    auto it = e.stopped.find(job.conn.get());
    if (it == e.stopped.end()) return false;
    auto found = std::find(it->second.begin(), it->second.end(), job.after);
    if (found == it->second.end()) return false;
    it->second.erase(found);
    return true;
}

// Runs the calls of a batch in order, as separate calls would run, and
// stops at the first that does not succeed, at a cancel or interrupt, or
// when the client has gone.  False when it gave up its turn to another
// connection's waiting calls, with calls left to run: queued again, it goes
// on where it stopped.
bool run_batch(Job& job, Engine& e) {
    if (!job.reply) {
        job.reply = std::make_shared<BatchReply>(job);
        job.skipped = continues_stopped(e, job);
        if (job.skipped) job.size = 0;
    }
    BatchReply& reply = *job.reply;
    const auto turn = std::chrono::steady_clock::now();
    // One context for the turn: its captured text is taken after each call.
    Context ctx(job, e);
    const protocol::PeerLink to = job.conn->link();
    Args in;
    protocol::PayloadWriter arrays;
    bool stopped = false;
    for (std::size_t& i = job.next_call; i < job.size; ++i) {
        if (job.cancelled.load(std::memory_order_relaxed) || job.interrupted.load(std::memory_order_relaxed) ||
            job.conn->finished()) {
            stopped = true;
            break;
        }
        if (std::chrono::steady_clock::now() - turn >= kBatchTurn) {
            std::lock_guard<std::mutex> lock(e.m);
            if (e.queue.others_wait(job.conn.get())) {
                reply.flush();
                return false;
            }
        }
        reply.before_call();
        Reply r;
        if (i < job.counts.size()) {
            const std::size_t n = job.counts[i];
            r = call_function(job, ctx, job.args.data() + job.next_arg, n, in);
            for (std::size_t k = job.next_arg; k < job.next_arg + n; ++k) job.args[k].reset();
            job.next_arg += n;
        } else {
            r = unreadable_arguments(job);
        }
        arrays.clear();
        protocol::OutgoingFds fds;
        const std::size_t count = encode_results(job, to, r, arrays, fds);
        const std::string out = ctx.rest_out();
        const std::string err = ctx.rest_err();
        reply.add(r, out, err, arrays, std::move(fds), count);
        if (r.status != CallStatus::Ok) {
            stopped = true;
            break;
        }
    }
    job.args.clear();
    if (job.skipped || stopped) {
        std::lock_guard<std::mutex> lock(e.m);
        batch_stopped_locked(e, job);
    }
    reply.finish();
    return true;
}

// Runs a queued job: one call or a batch.  False for a batch that gave up
// its turn (see run_batch).
bool run_job(Job& job, Engine& e) {
    if (!job.batch) {
        run(job, e);
    } else if (!job.conn->finished()) {
        return run_batch(job, e);
    }
    return true;
}

void evaluation_loop() {
    Engine& e = engine();
    for (;;) {
        std::shared_ptr<Job> job;
        auto spin_until = std::chrono::steady_clock::now() + kIdleSpin;
        while (e.queued.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < spin_until)
            ::sched_yield();  // lets the reader run when it shares this CPU
        {
            std::unique_lock<std::mutex> lock(e.m);
            e.sleeping = true;
            e.cv.wait(lock, [&] { return !e.queue.empty() && !e.running; });
            e.sleeping = false;
            job = e.queue.pop();
            e.queued.fetch_sub(1, std::memory_order_relaxed);
            e.running = job;
        }
        const bool finished = run_job(*job, e);
        if (finished) job->conn->call_finished();
        std::lock_guard<std::mutex> lock(e.m);
        e.running.reset();
        if (!finished) {
            // Behind the calls waiting now, as if it had just come.
            enqueue_locked(e, job);
        }
    }
}

void on_call(const std::shared_ptr<Connection>& conn, protocol::Frame&& frame) {
    Engine& e = engine();
    auto job = std::make_shared<Job>();
    job->conn = conn;
    job->id = frame.request_id;
    protocol::PayloadReader r(frame.payload);
    protocol::CallRequestHead head;
    if (!protocol::decode(r, head)) {
        conn->send_text(MessageType::Error, frame.request_id, "malformed function call");
        return;
    }
    job->name = std::move(head.name);
    job->nargout = static_cast<int>(head.nargout);
    job->capture_out = head.capture_out;
    job->capture_err = head.capture_err;
    job->live = head.live;
    job->progress = head.progress;
    const std::uint32_t n = head.count;
    try {
        const protocol::PeerLink from = conn->link();
        if (frame.fds_lost) {
            protocol::release_lost_loans(r, n, from);
            throw protocol::ArrayCodecError("the engine has too many open files to receive its large blocks");
        }
        for (std::uint32_t i = 0; i < n; ++i)
            job->args.push_back(protocol::decode_array(r, frame.fds, e.session, &from));
        if (!r.done()) throw protocol::ArrayCodecError("trailing bytes after the arguments");
    } catch (const std::exception& x) {
        job->args.clear();
        job->decode_error = x.what();
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(e.m);
        // With nothing else to do, the reader runs the call itself: one
        // thread hand-off less on every quick call.  Not in a shared engine:
        // the calls another client sends meanwhile would stay unread and so
        // fall behind those of other clients.
        job->on_reader = !e.running && e.queue.empty() && !conn->input_buffered() &&
                         conn->kind() == Connection::Kind::Private && settings().share.empty();
        if (job->on_reader) {
            e.running = job;
        } else {
            enqueue_locked(e, job);
            conn->call_pending();
        }
        wake = e.sleeping;
    }
    if (!job->on_reader) {
        if (wake) e.cv.notify_one();
        return;
    }
    run(*job, e);
    {
        std::lock_guard<std::mutex> lock(e.m);
        e.running.reset();
        wake = e.sleeping && !e.queue.empty();
    }
    if (wake) e.cv.notify_one();
}

// A CallBatch: every argument list is read here, and the batch queued for
// the evaluation thread (never run on the reader, which then stays free to
// read the next batch and a Cancel meanwhile).
void on_call_batch(const std::shared_ptr<Connection>& conn, protocol::Frame&& frame) {
    Engine& e = engine();
    auto job = std::make_shared<Job>();
    job->conn = conn;
    job->id = frame.request_id;
    job->batch = true;
    protocol::PayloadReader r(frame.payload);
    protocol::CallBatchHead head;
    if (!protocol::decode(r, head)) {
        conn->send_text(MessageType::Error, frame.request_id, "malformed function call batch");
        return;
    }
    if (head.calls > protocol::kMaxBatchCalls) {
        conn->send_text(MessageType::Error, frame.request_id,
                        "a batch of " + std::to_string(head.calls) + " calls is more than one batch may hold");
        return;
    }
    job->name = std::move(head.name);
    job->nargout = static_cast<int>(head.nargout);
    job->capture_out = head.capture_out;
    job->capture_err = head.capture_err;
    job->after = head.after;
    job->size = head.calls;
    try {
        const protocol::PeerLink from = conn->link();
        if (frame.fds_lost) {
            for (std::uint32_t i = 0; i < head.calls && r.ok(); ++i) protocol::release_lost_loans(r, r.u32(), from);
            throw protocol::ArrayCodecError("the engine has too many open files to receive its large blocks");
        }
        for (std::uint32_t i = 0; i < head.calls; ++i) {
            const std::uint32_t n = r.u32();
            if (!r.ok()) throw protocol::ArrayCodecError("the batch ends before its calls do");
            for (std::uint32_t j = 0; j < n; ++j)
                job->args.push_back(protocol::decode_array(r, frame.fds, e.session, &from));
            job->counts.push_back(n);
        }
        if (!r.done()) throw protocol::ArrayCodecError("trailing bytes after the arguments");
    } catch (const std::exception& x) {
        // The call whose arguments failed reports it; those after it never
        // run, and the arguments read of it go.
        if (job->counts.size() == job->size && !job->counts.empty()) job->counts.pop_back();
        std::size_t whole = 0;
        for (std::uint32_t n : job->counts) whole += n;
        job->args.resize(whole);
        job->decode_error = x.what();
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(e.m);
        enqueue_locked(e, job);
        conn->call_pending();
        wake = e.sleeping;
    }
    if (wake) e.cv.notify_one();
}

void on_objects_released(const std::shared_ptr<Connection>& conn, protocol::Frame&& frame) {
    protocol::PayloadReader r(frame.payload);
    const std::uint32_t n = r.u32();
    if (!r.ok() || n > r.remaining() / 16) return;  // malformed: ignored
    std::vector<std::pair<std::uint64_t, std::uint64_t>> counts(n);
    for (auto& [id, times] : counts) {
        id = r.u64();
        times = r.u64();
    }
    if (r.done()) engine().objects.clientReleases(conn->tag(), counts);
}

void on_cancel(const std::shared_ptr<Connection>& conn, protocol::Frame&& frame) {
    Engine& e = engine();
    std::shared_ptr<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(e.m);
        if (e.running && e.running->conn == conn && e.running->id == frame.request_id) {
            e.running->cancelled = true;
            return;
        }
        dropped = e.queue.take(conn.get(), frame.request_id);
        if (dropped) e.queued.fetch_sub(1, std::memory_order_relaxed);
        if (dropped && dropped->batch) batch_stopped_locked(e, *dropped);
    }
    // A call already answered needs nothing.
    if (!dropped) return;
    if (dropped->batch) {
        // The calls not yet run are reported not run.
        if (dropped->reply) dropped->reply->finish();
        else BatchReply(*dropped).finish();
    } else reply_without_results(*dropped, CallStatus::Cancelled);
    conn->call_finished();
}

// A connection that ended has nobody to answer: its running call is
// interrupted and its waiting calls go.
void on_closed(const std::shared_ptr<Connection>& conn) {
    Engine& e = engine();
    std::deque<std::shared_ptr<Job>> dropped;
    {
        std::lock_guard<std::mutex> lock(e.m);
        if (e.running && e.running->conn == conn) e.running->interrupted = true;
        dropped = e.queue.take_all(conn.get());
        e.queued.fetch_sub(dropped.size(), std::memory_order_relaxed);
        e.stopped.erase(conn.get());
    }
    for (std::size_t i = 0; i < dropped.size(); ++i) conn->call_finished();
}

}  // namespace

std::uint64_t object_session_key() {
    return engine().session ? engine().session->key() : 0;
}

void client_gone(const Connection& conn) {
    engine().objects.clientGone(conn.tag());
}

void start_calls() {
    engine();
    register_handler(MessageType::Call, on_call);
    register_handler(MessageType::CallBatch, on_call_batch);
    register_handler(MessageType::Cancel, on_cancel);
    register_close_handler(on_closed);
    register_handler(MessageType::ObjectsReleased, on_objects_released);
    set_interrupt_handler([] {
        Engine& e = engine();
        std::lock_guard<std::mutex> lock(e.m);
        if (!e.running) return false;
        e.running->interrupted = true;
        return true;
    });
    std::thread(evaluation_loop).detach();
}

}  // namespace veldra::engine
