// The function registry and the calling convention every caller shares.
#include "functions/function.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace veldra::engine {

FunctionRegistry& FunctionRegistry::builtin() {
    // A function-local static: registrations run during static initialisation
    // of other translation units, in no fixed order.
    static FunctionRegistry registry;
    return registry;
}

bool FunctionRegistry::add(const std::string& name, NativeFunction fn, int maxResults) {
    if (name.empty() || !fn || maxResults < kAnyResults) return false;
    return functions_.emplace(name, FunctionEntry{std::move(fn), maxResults}).second;
}

const FunctionEntry* FunctionRegistry::find(const std::string& name) const {
    auto it = functions_.find(name);
    return it == functions_.end() ? nullptr : &it->second;
}

std::vector<std::string> FunctionRegistry::names() const {
    std::vector<std::string> out;
    out.reserve(functions_.size());
    for (const auto& [name, entry] : functions_) out.push_back(name);
    return out;
}

void FunctionRegistry::describe(const std::string& name, FunctionHelp help) {
    help_[name] = std::move(help);
}

const FunctionHelp* FunctionRegistry::help(const std::string& name) const {
    auto it = help_.find(name);
    return it == help_.end() ? nullptr : &it->second;
}

namespace {

std::string count(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

Results FunctionRegistry::call(CallContext& ctx, const std::string& name, int nargout, const Args& args) const {
    const FunctionEntry* entry = find(name);
    if (!entry) throw ExecutionFailure("veldra:engine:unknownFunction", "Unknown function '" + name + "'.");
    if (nargout < 0)
        throw ExecutionFailure("veldra:engine:badOutputCount",
                               "Cannot ask " + name + " for a negative number of results.");
    for (std::size_t i = 0; i < args.size(); ++i)
        if (!args[i])
            throw ExecutionFailure("veldra:engine:missingArgument",
                                   "Argument " + std::to_string(i + 1) + " of " + name + " is missing.");
    if (entry->maxResults > 0 && nargout > entry->maxResults)
        throw ExecutionFailure("veldra:engine:tooManyOutputs",
                               "Too many outputs: " + name + " gives at most " +
                                   count(static_cast<std::size_t>(entry->maxResults), "result") + ", " +
                                   std::to_string(nargout) + " were asked.");

    Results results;
    try {
        results = entry->fn(ctx, nargout, args);
    } catch (const std::bad_alloc&) {
        throw ExecutionFailure("veldra:engine:outOfMemory", "Out of memory while running " + name + ".");
    }

    if (entry->maxResults == 0) return {};
    const std::size_t wanted = static_cast<std::size_t>(nargout);
    std::size_t given = 0;
    while (given < results.size() && results[given]) ++given;
    // A function of any result count gives what it has, whatever is asked
    // (identity with no arguments gives nothing, also for nargout 1).
    if (entry->maxResults == kAnyResults) {
        results.resize(given);
        return results;
    }
    if (given < wanted)
        throw ExecutionFailure("veldra:engine:tooFewOutputs", name + " gave " + count(given, "result") + ", " +
                                                                  std::to_string(wanted) +
                                                                  (wanted == 1 ? " was" : " were") + " asked.");
    // They give what was asked for (at most one when nothing was asked).
    std::size_t keep = std::max<std::size_t>(wanted, 1);
    if (keep > given) keep = given;
    results.resize(keep);
    return results;
}

Registration::Registration(const char* name, NativeFunction fn, int maxResults) {
    if (!FunctionRegistry::builtin().add(name, std::move(fn), maxResults)) {
        // Two built-ins of one name is a build mistake; stop before serving.
        std::fprintf(stderr, "veldra-engine: cannot register function '%s'\n", name);
        std::abort();
    }
}

}  // namespace veldra::engine
