#pragma once
// The client runtime: the table of handles and the engines behind them.
// The table's lock is never held while waiting on an engine or on another
// object's lock.
#include "connection.hpp"

#include <engine_api/engine_api.hpp>

#include <qx/block.hpp>

#include <memory>
#include <string>
#include <typeinfo>

namespace engine_api::detail {

// Whatever a handle names.
class Object {
public:
    virtual ~Object() = default;
    // "a launch", "an engine", ... for messages about wrong handles.
    virtual const char* kind_name() const noexcept = 0;
    // When the handle is destroyed or the runtime stops: begin_release must
    // not block (the runtime starts them all before waiting), release leaves
    // no thread or process behind.
    virtual void begin_release() {}
    virtual void release() {}
};

// One running engine, launched by this process or attached to.
struct EngineCore {
    EngineCore(std::shared_ptr<Connection> c, bool was_launched, std::string session_name)
        : conn(std::move(c)), launched(was_launched), session(std::move(session_name)) {}
    std::shared_ptr<Connection> conn;
    bool launched;
    std::string session;  // the shared session's name, if any
    unsigned threads = 0;
    // The protocol version the engine announced in Ready (set before the
    // launch completes, read only after).
    std::uint32_t protocol = 0;
    // Decodes the engine's object arrays as references while it is there.
    std::shared_ptr<const qx::ObjectSession> objects;
    // Stops a launched engine (and reaps it), detaches from a shared one.
    void close(bool kill = false) { conn->close(kill); }
};

// The client's view of an engine's object session: alive while the
// connection is open.
std::shared_ptr<const qx::ObjectSession> make_object_session(const std::shared_ptr<Connection>& conn,
                                                             std::uint64_t key);

// Sets up what evaluateFunction needs in this process (idempotent).
void init_calls();

// What an engine handle names.  Function calls go through core->conn.
class EngineHandle : public Object {
public:
    explicit EngineHandle(std::shared_ptr<EngineCore> c) : core(std::move(c)) {}
    const char* kind_name() const noexcept override { return "an engine"; }
    void begin_release() override { core->conn->shutdown(); }
    void release() override { core->close(); }
    const std::shared_ptr<EngineCore> core;
};

// A new handle for `object`; handles are never reused within a process.
Handle register_object(std::shared_ptr<Object> object);
// Takes the handle out of the table; throws EngineException for an unknown one.
std::shared_ptr<Object> unregister_object(Handle handle);
std::shared_ptr<Object> find_object(Handle handle);

[[noreturn]] void throw_wrong_kind(Handle handle, const Object& found, const char* wanted);

template <class T>
std::shared_ptr<T> find(Handle handle, const char* wanted) {
    auto object = find_object(handle);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) throw_wrong_kind(handle, *object, wanted);
    return typed;
}

inline std::shared_ptr<EngineCore> find_engine(Handle handle) {
    return find<EngineHandle>(handle, "an engine")->core;
}

// Everything in the table, taken out of it (for terminateProcess).
std::vector<std::shared_ptr<Object>> take_all_objects();

}  // namespace engine_api::detail
