#include "runtime.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>

namespace engine_api::detail {

namespace {
std::mutex g_mutex;
// Every call holds a few handles while it is in flight, so there may be
// many: hashed, not ordered.
std::unordered_map<Handle, std::shared_ptr<Object>> g_objects;
// Never reset, not even by terminateProcess.
std::atomic<Handle> g_next_handle{1};
}  // namespace

Handle register_object(std::shared_ptr<Object> object) {
    Handle h = g_next_handle.fetch_add(1);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_objects.emplace(h, std::move(object));
    return h;
}

static std::string unknown_text(Handle handle) {
    return "engine_api: handle " + std::to_string(handle) +
           " names nothing (it was never issued, was destroyed, or the engine client was stopped)";
}

std::shared_ptr<Object> unregister_object(Handle handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) throw EngineException(unknown_text(handle));
    auto object = std::move(it->second);
    g_objects.erase(it);
    return object;
}

std::shared_ptr<Object> find_object(Handle handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) throw EngineException(unknown_text(handle));
    return it->second;
}

void throw_wrong_kind(Handle handle, const Object& found, const char* wanted) {
    throw EngineException("engine_api: handle " + std::to_string(handle) + " names " + found.kind_name() + ", not " +
                          wanted);
}

std::vector<std::shared_ptr<Object>> take_all_objects() {
    std::unordered_map<Handle, std::shared_ptr<Object>> all;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        all.swap(g_objects);
    }
    // In the order they were issued.
    std::vector<std::pair<Handle, std::shared_ptr<Object>>> issued(all.begin(), all.end());
    std::sort(issued.begin(), issued.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<Object>> out;
    out.reserve(issued.size());
    for (auto& entry : issued) out.push_back(std::move(entry.second));
    return out;
}

}  // namespace engine_api::detail
