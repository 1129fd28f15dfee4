#include "engine_state.hpp"

#include <mutex>

namespace veldra::engine {

namespace {
Settings g_settings;
std::mutex g_interrupt_mutex;
std::function<bool()> g_interrupt;
}  // namespace

const Settings& settings() {
    return g_settings;
}
void set_settings(const Settings& s) {
    g_settings = s;
}

void set_interrupt_handler(std::function<bool()> handler) {
    std::lock_guard<std::mutex> lock(g_interrupt_mutex);
    g_interrupt = std::move(handler);
}

bool interrupt_running_calls() {
    std::function<bool()> h;
    {
        std::lock_guard<std::mutex> lock(g_interrupt_mutex);
        h = g_interrupt;
    }
    return h ? h() : false;
}

}  // namespace veldra::engine
