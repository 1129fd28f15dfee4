#include "functions/function.hpp"

#include <fl/except.hpp>

namespace veldra::engine {

void Workspace::assign(const std::string& name, Array value) {
    vars_[name] = std::move(value);
}

Array Workspace::fetch(const std::string& name) const {
    auto it = vars_.find(name);
    if (it == vars_.end()) return nullptr;
    Array copy(matrix::detail::shared_copy(it->second.get()));
    if (!copy && it->second) throw fl::except::bad_alloc();
    return copy;
}

bool Workspace::exists(const std::string& name) const {
    return vars_.count(name) != 0;
}

bool Workspace::clear(const std::string& name) {
    return vars_.erase(name) != 0;
}

void Workspace::clearAll() {
    vars_.clear();
}

std::vector<std::string> Workspace::names() const {
    std::vector<std::string> out;
    out.reserve(vars_.size());
    for (const auto& [name, value] : vars_) out.push_back(name);
    return out;  // std::map keeps them sorted
}

}  // namespace veldra::engine
