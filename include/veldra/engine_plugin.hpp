#pragma once
// Writing engine functions in a shared library that the engine loads at
// start-up (veldra-engine --plugin PATH).
//
// A plug-in registers its functions exactly as the built-ins do and names its
// entry point once:
//
//   #include <veldra/engine_plugin.hpp>
//
//   namespace {
//   veldra::engine::Results hello(veldra::engine::CallContext&, int, const veldra::engine::Args&) { ... }
//   }
//   VELDRA_ENGINE_FUNCTION(plugin_hello, 1, hello);
//   VELDRA_ENGINE_HELP(plugin_hello, "name?", "Greets name (default: world).");
//   VELDRA_ENGINE_PLUGIN();
//
// VELDRA_ENGINE_HELP is optional: it gives the arguments (one line; "?" marks
// an optional one, "..." any number more) and the text clients show for the
// function (help(eng.plugin_hello) in Python).  Plug-ins without it, also
// ones built before it existed, load as before; their functions have no help.
//
// A long function tells how far it has got with ctx.progress(done, total)
// (a client shows it, e.g. Engine.submit(..., progress=...) in Python), and
// calls ctx.checkInterrupt() often so that it can be cancelled.
//
// Build it against the engine's headers (include/, server/ and the array
// library's include/) without linking the engine's libraries: their symbols
// are resolved against the engine when it loads the plug-in.  Functions must
// not throw anything but the failures of functions/function.hpp (and
// std::bad_alloc).
#include "functions/function.hpp"

#include <string>
#include <utility>
#include <vector>

#define VELDRA_ENGINE_PLUGIN_ENTRY veldra_engine_plugin_init

namespace veldra::engine::plugin {

struct Pending {
    std::string name;
    NativeFunction fn;
    int maxResults;
};

// The functions this plug-in declared; one list per shared library.
__attribute__((visibility("hidden"))) inline std::vector<Pending>& pending() {
    static std::vector<Pending> list;
    return list;
}

struct PendingHelp {
    std::string name;
    FunctionHelp help;
};

__attribute__((visibility("hidden"))) inline std::vector<PendingHelp>& pendingHelp() {
    static std::vector<PendingHelp> list;
    return list;
}

struct Registration {
    Registration(const char* name, NativeFunction fn, int maxResults) {
        pending().push_back({name, std::move(fn), maxResults});
    }
};

struct HelpRegistration {
    HelpRegistration(const char* name, const char* arguments, const char* text) {
        pendingHelp().push_back({name, FunctionHelp{arguments, text}});
    }
};

// Hands the declared functions and their help to the engine's registry; 0 on
// success, else the number of names the registry refused.
__attribute__((visibility("hidden"))) inline int registerAll(FunctionRegistry& registry) {
    int refused = 0;
    for (const Pending& p : pending())
        if (!registry.add(p.name, p.fn, p.maxResults)) ++refused;
    for (const PendingHelp& h : pendingHelp()) registry.describe(h.name, h.help);
    return refused;
}

}  // namespace veldra::engine::plugin

// In a plug-in, registration collects into the plug-in's list; the engine
// adds the list to its registry when it calls the entry point.
#undef VELDRA_ENGINE_FUNCTION
#define VELDRA_ENGINE_FUNCTION(name, maxResults, fn) \
    static const ::veldra::engine::plugin::Registration veldra_registration_##name(#name, fn, maxResults)

#define VELDRA_ENGINE_HELP(name, arguments, text) \
    static const ::veldra::engine::plugin::HelpRegistration veldra_help_##name(#name, arguments, text)

// The entry point the engine looks up: extern "C" int
// veldra_engine_plugin_init(veldra::engine::FunctionRegistry&).
#define VELDRA_ENGINE_PLUGIN()                                                        \
    extern "C" __attribute__((visibility("default"))) int VELDRA_ENGINE_PLUGIN_ENTRY( \
        ::veldra::engine::FunctionRegistry& registry) {                               \
        return ::veldra::engine::plugin::registerAll(registry);                       \
    }                                                                                 \
    static_assert(true, "")
