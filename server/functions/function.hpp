#pragma once
// Engine functions: native functions the engine calls by name.
//
// A function receives its context, the number of results asked for and its
// argument arrays (read-only, owned by the caller), and returns new arrays
// that the caller owns.  It reports failures by throwing the exceptions
// below; the evaluator turns them into the client's exceptions.
//
// Registering a function is one line in any source file of the library:
//
//   VELDRA_ENGINE_FUNCTION(sqrt, 1, engine::fn_sqrt);
//
// where the number is how many results the function can give at most
// (0: none, whatever is asked; kAnyResults: as many as it returns).
#include <qx/matrix.hpp>
#include <qx/qx.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veldra::engine {

using Array = matrix::unique_array_ptr;
using Args = std::vector<const qxArray*>;
using Results = std::vector<Array>;

// ---- failures ------------------------------------------------------------------
// An execution error: identifier ("veldra:sqrt:wrongClass") and message.
class ExecutionFailure : public std::runtime_error {
public:
    ExecutionFailure(std::string identifier, const std::string& message)
        : std::runtime_error(message), identifier_(std::move(identifier)) {}
    const std::string& identifier() const noexcept { return identifier_; }

private:
    std::string identifier_;
};
// Malformed text given to a function that parses text.
class SyntaxFailure : public ExecutionFailure {
public:
    using ExecutionFailure::ExecutionFailure;
};
// A result that cannot be carried back to the client; the client sees an
// execution error whose message begins with protocol::kDataConversionError.
class DataConversionFailure : public ExecutionFailure {
public:
    using ExecutionFailure::ExecutionFailure;
};
// The call was interrupted (SIGINT) or cancelled; thrown by checkInterrupt().
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// ---- the engine's state that functions reach ---------------------------------
// Variables shared by every client of the engine.
class Workspace {
public:
    void assign(const std::string& name, Array value);
    // A shared copy of the value, or nullptr for an unknown name.
    Array fetch(const std::string& name) const;
    bool exists(const std::string& name) const;
    bool clear(const std::string& name);  // false when there was no such variable
    void clearAll();
    std::vector<std::string> names() const;  // sorted

private:
    std::map<std::string, Array> vars_;
};

// Engine objects (key-to-value maps so far), named by 64-bit ids, counted by
// reference: an object lives while an engine value (a variable, a map, a
// call's argument or result) or a client refers to it, or until deleted.
// Cycles of maps stay until one of them is deleted.
class ObjectStore {
public:
    ObjectStore();
    // A new empty map; its id.  Unreferenced until a reference to it is made.
    std::uint64_t newMap();
    // Throws ExecutionFailure for an id that names no live object.
    void mapSet(std::uint64_t id, const std::string& key, Array value);
    Array mapGet(std::uint64_t id, const std::string& key) const;  // throws for a missing key
    std::size_t mapCount(std::uint64_t id) const;
    void remove(std::uint64_t id);          // throws for an id that names nothing
    bool contains(std::uint64_t id) const;  // the id names a live object
    // An object array over `ids` (one per element, column-major) of this
    // engine's session: a reference while the engine lives.
    Array makeReference(const std::vector<qxSize>& dims, const std::vector<std::uint64_t>& ids) const;
    // The ids of an object array made by this engine; throws ExecutionFailure
    // for arrays that are no references into this engine.
    std::vector<std::uint64_t> idsOf(const qxArray* a) const;
    std::size_t count() const;  // live objects

    // The references clients hold, a client being a connection's tag: each
    // reference to this store in a value sent to the client counts until the
    // client gives it back (id, how many times) or goes.
    void clientHolds(std::uint64_t client, const qxArray* value);
    void clientReleases(std::uint64_t client, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& counts);
    void clientGone(std::uint64_t client);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

class FunctionRegistry;

// What a running function can reach.
class CallContext {
public:
    virtual ~CallContext() = default;
    // Text for the call's standard output and standard error (UTF-8).
    virtual void out(std::string_view text) = 0;
    virtual void err(std::string_view text) = 0;
    // Throws Interrupted when the call has been interrupted or cancelled.
    // Long-running functions call it at least every 10 ms.
    virtual void checkInterrupt() = 0;
    virtual Workspace& workspace() = 0;
    virtual ObjectStore& objects() = 0;
    virtual const FunctionRegistry& functions() const = 0;
    // Threads the engine's numerics may use.
    virtual int threads() const = 0;
    // How far the call has got: `done` of `total` (any unit).  Cheap enough
    // to call often: only the latest report goes to the client, every few
    // tens of milliseconds, and only to one that asked.  Last in this class,
    // so that plug-ins built before it still find the others where they were.
    virtual void progress(double /*done*/, double /*total*/) {}
};

// ---- the registry ---------------------------------------------------------------
inline constexpr int kAnyResults = -1;

using NativeFunction = std::function<Results(CallContext& ctx, int nargout, const Args& args)>;

struct FunctionEntry {
    NativeFunction fn;
    int maxResults;  // 0: none; kAnyResults: whatever it returns
};

// What a client shows at its prompt for a function: its arguments as one
// line ("x, dim?"; "?" marks an optional one, "..." any number more) and a
// text of what it does and gives.
struct FunctionHelp {
    std::string arguments;
    std::string text;
};

class FunctionRegistry {
public:
    // The registry of the built-in functions (filled by VELDRA_ENGINE_FUNCTION).
    static FunctionRegistry& builtin();
    // False when the name is taken.
    bool add(const std::string& name, NativeFunction fn, int maxResults);
    const FunctionEntry* find(const std::string& name) const;
    std::vector<std::string> names() const;
    // Help for a function, given before or after it is added (registrations
    // run in no fixed order); a later text replaces an earlier one.
    void describe(const std::string& name, FunctionHelp help);
    // nullptr for a function without help (plug-ins built before help existed).
    const FunctionHelp* help(const std::string& name) const;

    // Calls a function as the evaluator does: an unknown name is an
    // execution error naming it; a function without results yields none,
    // whatever was asked; asking for more results than a function can give
    // is an execution error; a function gives exactly max(nargout, 1)
    // results where it has results (fewer only when nargout is 0), except
    // one of any result count, which gives all it has whatever was asked.
    Results call(CallContext& ctx, const std::string& name, int nargout, const Args& args) const;

private:
    std::map<std::string, FunctionEntry> functions_;
    std::map<std::string, FunctionHelp> help_;
};

struct Registration {
    Registration(const char* name, NativeFunction fn, int maxResults);
};

#define VELDRA_ENGINE_FUNCTION(name, maxResults, fn) \
    static const ::veldra::engine::Registration veldra_registration_##name(#name, fn, maxResults)

}  // namespace veldra::engine
