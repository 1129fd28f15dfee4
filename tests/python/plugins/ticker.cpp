// A plug-in for the tests of text written while a call runs:
// ticker(count, seconds) writes "tick i" to its output and "tock i" to its
// error stream for i = 1..count, waiting `seconds` (interruptibly) after each.
#include <veldra/engine_plugin.hpp>

#include <qx/matrix.hpp>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

namespace {

using namespace veldra::engine;

double number(const Args& args, std::size_t i) {
    if (args.size() <= i || qxGetClassID(args[i]) != qxDOUBLE_CLASS || qxGetNumberOfElements(args[i]) != 1)
        throw ExecutionFailure("test:ticker:badArgument", "ticker(count, seconds) takes two numbers.");
    const double v = *static_cast<const double*>(qxGetData(args[i]));
    if (!(v >= 0) || !std::isfinite(v)) throw ExecutionFailure("test:ticker:badArgument", "ticker needs numbers >= 0.");
    return v;
}

Results ticker(CallContext& ctx, int, const Args& args) {
    const auto count = static_cast<long>(number(args, 0));
    const auto wait = std::chrono::duration<double>(number(args, 1));
    for (long i = 1; i <= count; ++i) {
        ctx.out("tick " + std::to_string(i) + "\n");
        ctx.err("tock " + std::to_string(i) + "\n");
        const auto until = std::chrono::steady_clock::now() + wait;
        ctx.checkInterrupt();
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ctx.checkInterrupt();
        }
    }
    return {};
}

}  // namespace

VELDRA_ENGINE_FUNCTION(ticker, 0, ticker);
VELDRA_ENGINE_PLUGIN();
