// Launching engines, attaching to shared ones, and closing them.
#include "runtime.hpp"

#include <fl/filesystem/install_path.hpp>
#include <fl/i18n/convert.hpp>

#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/session.hpp>
#include <veldra/protocol/socket.hpp>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace engine_api {

namespace {

using detail::Connection;
using detail::EngineCore;
using detail::EngineHandle;
using detail::Object;
using veldra::protocol::Deadline;
using veldra::protocol::Frame;
using veldra::protocol::MessageType;

// A shared engine that accepted the connection but says nothing for this
// long counts as not answering.
constexpr double kAttachAnswerTime = 10.0;

enum class LaunchState { Pending, Ready, Failed, Cancelled };
enum class FailKind { Engine, NotFound, NotConnected };

class Launch : public Object {
public:
    Launch(bool is_attach, std::string session) : attach(is_attach), name(std::move(session)) {}
    const char* kind_name() const noexcept override { return attach ? "an attachment" : "a launch"; }

    // With `m` held.
    void fail(FailKind kind, std::string why) {
        if (state != LaunchState::Pending) return;
        state = LaunchState::Failed;
        fail_kind = kind;
        error = std::move(why);
        cv.notify_all();
    }

    void begin_release() override {
        bool pending;
        {
            std::lock_guard<std::mutex> lock(m);
            pending = state == LaunchState::Pending;
            if (pending) fail(FailKind::Engine, "the engine client was stopped");
            released = true;
            // An engine nobody took goes with its launch.
            close_core = core && engine == 0;
        }
        if (!close_core) return;
        if (pending && core->launched) core->conn->process()->kill();
        core->conn->shutdown();
    }
    void release() override {
        if (close_core) core->close();
    }

    const bool attach;
    const std::string name;
    std::mutex m;
    std::condition_variable cv;
    LaunchState state = LaunchState::Pending;
    FailKind fail_kind = FailKind::Engine;
    std::string error;
    std::shared_ptr<EngineCore> core;
    Handle engine = 0;  // issued by getOutOfProcessVELDRA
    bool released = false;
    bool close_core = false;
    Deadline answer_deadline = Deadline::never();
};

std::string engine_executable() {
    if (const char* p = std::getenv("VELDRA_ENGINE_EXECUTABLE"); p && *p) return p;
    return fl::i18n::to_string(fl::filesystem::get_install_path() + u"/bin/veldra-engine");
}

void on_frame(Launch& l, Frame&& f) {
    std::lock_guard<std::mutex> lock(l.m);
    if (l.state != LaunchState::Pending) return;
    veldra::protocol::PayloadReader r(f.payload);
    switch (f.type) {
    case MessageType::Ready: {
        std::uint32_t version = r.u32();
        r.u32();  // pid
        std::uint32_t threads = r.u32();
        std::string session = r.str();
        std::uint64_t object_key = r.remaining() >= 8 ? r.u64() : 0;
        if (!r.ok() || version < veldra::protocol::kOldestProtocolVersion ||
            version > veldra::protocol::kProtocolVersion) {
            l.fail(FailKind::Engine, "the engine speaks another protocol version (" + std::to_string(version) +
                                         ", this client " + std::to_string(veldra::protocol::kOldestProtocolVersion) +
                                         " to " + std::to_string(veldra::protocol::kProtocolVersion) + ")");
            l.core->conn->shutdown();
            return;
        }
        l.core->threads = threads;
        l.core->protocol = version;
        l.core->objects = detail::make_object_session(l.core->conn, object_key);
        if (l.core->session.empty()) l.core->session = session;
        l.state = LaunchState::Ready;
        l.cv.notify_all();
        return;
    }
    case MessageType::LaunchFailed: {
        std::string why = r.str();
        l.fail(FailKind::Engine, "the engine could not start: " + why);
        return;
    }
    case MessageType::Refused: {
        std::string why = r.str();
        l.fail(FailKind::NotConnected, "the shared session '" + l.name + "' refused the connection: " + why);
        return;
    }
    default:
        return;  // nothing else means anything before Ready
    }
}

void on_close(Launch& l, const std::string& reason) {
    std::lock_guard<std::mutex> lock(l.m);
    if (l.attach)
        l.fail(FailKind::NotConnected,
               "the shared session '" + l.name + "' closed the connection before answering (" + reason + ")");
    else l.fail(FailKind::Engine, "the engine stopped before it was ready: " + reason);
}

void start_reader(const std::shared_ptr<Launch>& launch) {
    std::weak_ptr<Launch> weak = launch;
    launch->core->conn->start(
        [weak](Frame&& f) {
            if (auto l = weak.lock()) on_frame(*l, std::move(f));
        },
        [weak](const std::string& reason) {
            if (auto l = weak.lock()) on_close(*l, reason);
        });
}

// True once the launch is done; enforces the attach answer time.
bool wait_done(Launch& l, const Deadline& deadline) {
    std::unique_lock<std::mutex> lock(l.m);
    for (;;) {
        if (l.state != LaunchState::Pending) return true;
        if (l.answer_deadline.expired()) {
            l.fail(FailKind::NotConnected, "the shared session '" + l.name + "' did not answer within " +
                                               std::to_string(int(kAttachAnswerTime)) + " seconds");
            l.core->conn->shutdown();
            return true;
        }
        if (deadline.expired()) return false;
        Deadline until = deadline.earlier(l.answer_deadline);
        if (until.is_never()) l.cv.wait(lock);
        else l.cv.wait_until(lock, until.when());
    }
}

Handle failed_attach(const std::string& name, FailKind kind, std::string why) {
    auto l = std::make_shared<Launch>(true, name);
    l->fail(kind, std::move(why));
    return detail::register_object(l);
}

}  // namespace

void createProcess() {
    // The rest is set up lazily; nothing to undo after terminateProcess.
    detail::init_calls();
}

void terminateProcess() {
    auto all = detail::take_all_objects();
    for (auto& o : all) o->begin_release();
    for (auto& o : all) o->release();
}

Handle createOutOfProcessVELDRAAsync(std::vector<fl::ustring> options) {
    std::vector<std::string> args;
    args.reserve(options.size());
    for (const auto& o : options) args.push_back(fl::i18n::to_string(o));

    detail::init_calls();
    std::string exe = engine_executable();
    auto [mine, theirs] = veldra::protocol::socket_pair();
    auto process = detail::ChildProcess::spawn(exe, args, theirs.get());
    theirs.reset();

    auto launch = std::make_shared<Launch>(false, std::string());
    launch->core =
        std::make_shared<EngineCore>(std::make_shared<Connection>(std::move(mine), process), true, std::string());
    start_reader(launch);
    return detail::register_object(launch);
}

Handle attachSharedVELDRAAsync(const fl::ustring& wide_name) {
    std::string name = fl::i18n::to_string(wide_name);
    // A bad name is the caller's mistake, reported at once.
    try {
        veldra::protocol::check_session_name(name);
    } catch (const veldra::protocol::SessionError& e) {
        throw EngineException(e.what());
    }
    std::string dir, path;
    try {
        dir = veldra::protocol::session_dir(false);
        if (!dir.empty()) path = veldra::protocol::session_socket_path(dir, name);
    } catch (const veldra::protocol::SessionError& e) {
        return failed_attach(name, FailKind::Engine, e.what());
    }
    const std::string not_found = "there is no shared session named '" + name + "'";
    if (dir.empty()) return failed_attach(name, FailKind::NotFound, not_found);

    veldra::protocol::UniqueFd fd;
    int err = veldra::protocol::connect_unix(path, fd);
    if (err == ENOENT) return failed_attach(name, FailKind::NotFound, not_found);
    if (err == ECONNREFUSED)
        return failed_attach(name, FailKind::NotConnected,
                             "the shared session '" + name + "' does not answer: its engine is gone");
    if (err != 0)
        return failed_attach(name, FailKind::NotConnected,
                             "cannot connect to the shared session '" + name + "': " + std::strerror(err));
    try {
        if (veldra::protocol::peer_uid(fd.get()) != ::geteuid())
            return failed_attach(name, FailKind::NotConnected,
                                 "the shared session '" + name + "' is served by another user");
    } catch (const std::exception& e) {
        return failed_attach(name, FailKind::NotConnected,
                             "cannot connect to the shared session '" + name + "': " + e.what());
    }

    auto launch = std::make_shared<Launch>(true, name);
    launch->core = std::make_shared<EngineCore>(std::make_shared<Connection>(std::move(fd), nullptr), false, name);
    launch->answer_deadline = Deadline::after(kAttachAnswerTime);
    start_reader(launch);
    return detail::register_object(launch);
}

bool isDoneVELDRA(Handle launch) {
    return wait_done(*detail::find<Launch>(launch, "a launch"), Deadline::after(0));
}

bool waitVELDRA(Handle launch, double timeout) {
    return wait_done(*detail::find<Launch>(launch, "a launch"), Deadline::after(timeout));
}

void cancelVELDRAAsync(Handle handle) {
    auto l = detail::find<Launch>(handle, "a launch");
    {
        std::lock_guard<std::mutex> lock(l->m);
        if (l->state != LaunchState::Pending) return;  // done launches stay as they are
        l->state = LaunchState::Cancelled;
        l->cv.notify_all();
    }
    if (l->core) l->core->close(/*kill=*/true);
}

Handle getOutOfProcessVELDRA(Handle handle) {
    auto l = detail::find<Launch>(handle, "a launch");
    wait_done(*l, Deadline::never());
    std::lock_guard<std::mutex> lock(l->m);
    switch (l->state) {
    case LaunchState::Ready:
        if (l->released) throw EngineException("engine_api: handle " + std::to_string(handle) + " was destroyed");
        if (l->engine == 0) l->engine = detail::register_object(std::make_shared<EngineHandle>(l->core));
        return l->engine;
    case LaunchState::Cancelled:
        throw EngineException(l->attach ? "the attachment to the shared session '" + l->name + "' was cancelled"
                                        : "the engine launch was cancelled");
    case LaunchState::Failed:
        switch (l->fail_kind) {
        case FailKind::NotFound:
            throw SharedNotFound(l->error, "veldra:engine:sharedNotFound");
        case FailKind::NotConnected:
            throw SharedNotConnected(l->error, "veldra:engine:sharedNotConnected");
        case FailKind::Engine:
            break;
        }
        throw EngineException(l->error);
    case LaunchState::Pending:
        break;
    }
    throw EngineException("engine_api: the launch is still pending");
}

void destroyVELDRAHandle(Handle handle) {
    auto object = detail::unregister_object(handle);
    object->begin_release();
    object->release();
}

std::vector<fl::ustring> findSharedVELDRA() {
    std::string dir;
    try {
        dir = veldra::protocol::session_dir(false);
    } catch (const veldra::protocol::SessionError& e) {
        throw EngineException(e.what());
    }
    std::vector<fl::ustring> out;
    if (dir.empty()) return out;
    for (const auto& n : veldra::protocol::list_live_sessions(dir)) out.push_back(fl::i18n::to_ustring(n));
    return out;
}

void terminateOutOfProcessVELDRA(Handle engine) {
    detail::find_engine(engine)->close();
}

}  // namespace engine_api
