// An engine plug-in: plugin_hello(name) returns "Hello, <name>!" (the name
// defaults to "world"); plugin_version() returns the plug-in's version as a
// number.  Loaded with veldra-engine --plugin PATH.
#include <veldra/engine_plugin.hpp>

#include <qx/matrix.hpp>

namespace {

using namespace veldra::engine;

Results hello(CallContext&, int, const Args& args) {
    if (args.size() > 1)
        throw ExecutionFailure("veldra:plugin_hello:wrongArgumentCount", "plugin_hello takes 0 or 1 arguments.");
    fl::ustring name = u"world";
    if (args.size() == 1) {
        if (qxGetClassID(args[0]) != qxCHAR_CLASS)
            throw ExecutionFailure("veldra:plugin_hello:wrongClass", "The name must be text.");
        name = matrix::get_ustring(args[0]);
    }
    Results out;
    out.push_back(matrix::create(u"Hello, " + name + u"!"));
    return out;
}

Results version(CallContext&, int, const Args&) {
    matrix::unique_array_ptr v(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    if (!v) throw std::bad_alloc();
    *static_cast<double*>(qxGetData(v.get())) = 1.0;
    Results out;
    out.push_back(std::move(v));
    return out;
}

}  // namespace

VELDRA_ENGINE_FUNCTION(plugin_hello, 1, hello);
VELDRA_ENGINE_HELP(plugin_hello, "name?", "Gives \"Hello, <name>!\" (the name defaults to \"world\").");
// No help: clients show a generic text, as for plug-ins built before help existed.
VELDRA_ENGINE_FUNCTION(plugin_version, 1, version);
VELDRA_ENGINE_PLUGIN();
