#pragma once
// Loading engine plug-ins: shared libraries with an entry point
// veldra_engine_plugin_init (see include/veldra/engine_plugin.hpp).
#include "functions/function.hpp"

#include <string>
#include <vector>

namespace veldra::engine {

// Loads the shared library at `path` and adds its functions to `registry`;
// returns their names.  All or nothing: when any of its names is taken, none
// is added.  Throws ExecutionFailure:
//   veldra:plugin:notFound    no such file
//   veldra:plugin:notPlugin   no shared library, or one without the entry point
//   veldra:plugin:initFailed  the entry point reported a failure
//   veldra:plugin:nameTaken   a function name is already registered
// A loaded plug-in stays loaded for the life of the process.
std::vector<std::string> loadPlugin(const std::string& path, FunctionRegistry& registry);

}  // namespace veldra::engine
