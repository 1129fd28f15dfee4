#include "plugins/loader.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

namespace veldra::engine {
namespace {

struct Library {
    void* handle = nullptr;
    ~Library() {
        if (handle) dlclose(handle);
    }
};

[[noreturn]] void fail(const char* what, const std::string& message) {
    throw ExecutionFailure(std::string("veldra:plugin:") + what, message);
}

}  // namespace

std::vector<std::string> loadPlugin(const std::string& path, FunctionRegistry& registry) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        fail("notFound", "Plug-in '" + path + "' does not exist.");

    Library lib;
    // RTLD_LOCAL: plug-ins do not see each other's symbols.
    lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        const char* why = dlerror();
        fail("notPlugin",
             "'" + path + "' is not an engine plug-in: it cannot be loaded (" + (why ? why : "unknown error") + ").");
    }
    using Init = int (*)(FunctionRegistry&);
    dlerror();
    auto init = reinterpret_cast<Init>(dlsym(lib.handle, "veldra_engine_plugin_init"));
    if (!init) fail("notPlugin", "'" + path + "' is not an engine plug-in: it has no veldra_engine_plugin_init.");

    std::vector<std::string> names;
    {
        // The plug-in registers into a registry of its own first, so that a
        // clash leaves the engine's registry as it was.
        FunctionRegistry staged;
        int rc = 0;
        try {
            rc = init(staged);
        } catch (const std::exception& e) {
            fail("initFailed", "Plug-in '" + path + "' failed to start: " + e.what());
        }
        if (rc != 0) fail("initFailed", "Plug-in '" + path + "' failed to start (code " + std::to_string(rc) + ").");
        names = staged.names();
        for (const std::string& name : names)
            if (registry.find(name))
                fail("nameTaken", "Plug-in '" + path + "' defines function '" + name +
                                      "', which is already defined; none of its functions were added.");
        for (const std::string& name : names) {
            const FunctionEntry* e = staged.find(name);
            // Checked above; the registry is filled before serving starts.
            registry.add(name, e->fn, e->maxResults);
            if (const FunctionHelp* help = staged.help(name)) registry.describe(name, *help);
        }
    }
    lib.handle = nullptr;  // stays loaded: the registry holds its code
    return names;
}

}  // namespace veldra::engine
