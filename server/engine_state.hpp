#pragma once
// Process-wide state of the engine that the function-call code hooks into.
#include <functional>
#include <string>

namespace veldra::engine {

struct Settings {
    unsigned threads = 1;   // what the numerics may use
    std::string share;      // session name, empty when not shared
    bool launched = false;  // has a private connection to a client
};

const Settings& settings();
void set_settings(const Settings& s);

// Called on SIGINT; returns true when it interrupted a running call.  With
// none running, a hand-started shared engine stops instead.
void set_interrupt_handler(std::function<bool()> handler);
bool interrupt_running_calls();

}  // namespace veldra::engine
