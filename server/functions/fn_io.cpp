// Output, waiting, failing on purpose and calling other functions.
#include "functions/support.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace veldra::engine {
namespace {

using namespace support;

Results fn_print(CallContext& ctx, int, const Args& args) {
    requireArgCount("print", args, 1, 1);
    ctx.out(textArg("print", args, 0) + "\n");
    return {};
}

Results fn_warn(CallContext& ctx, int, const Args& args) {
    requireArgCount("warn", args, 1, 1);
    ctx.err(textArg("warn", args, 0) + "\n");
    return {};
}

Results fn_sleep(CallContext& ctx, int, const Args& args) {
    requireArgCount("sleep", args, 1, 1);
    const double seconds = realScalarArg("sleep", args, 0);
    if (!(seconds >= 0) || !std::isfinite(seconds))
        fail("sleep", "badValue", "sleep needs a finite, non-negative number of seconds.");
    using Clock = std::chrono::steady_clock;
    // Beyond a century the wait is as good as endless; keeps the time arithmetic in range.
    const auto wait = std::chrono::duration<double>(std::min(seconds, 3.2e9));
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
    constexpr auto kSlice = std::chrono::milliseconds(5);
    const auto start = Clock::now();
    ctx.checkInterrupt();
    for (auto now = start; now < deadline; now = Clock::now()) {
        ctx.progress(std::chrono::duration<double>(now - start).count(), seconds);
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, kSlice));
        ctx.checkInterrupt();
    }
    ctx.progress(seconds, seconds);
    return {};
}

Results fn_fail(CallContext&, int, const Args& args) {
    requireArgCount("fail", args, 1, 2);
    const std::string message = textArg("fail", args, 0);
    std::string identifier = "veldra:fail";
    if (args.size() > 1) identifier = textArg("fail", args, 1);
    throw ExecutionFailure(identifier, message);
}

Results fn_print_fail(CallContext& ctx, int, const Args& args) {
    requireArgCount("print_fail", args, 2, 2);
    const std::string line = textArg("print_fail", args, 0) + "\n";
    const std::string message = textArg("print_fail", args, 1);
    ctx.out(line);
    ctx.err(line);
    throw ExecutionFailure("veldra:print_fail", message);
}

Results fn_cell_of(CallContext& ctx, int, const Args& args) {
    requireArgCount("cell_of", args, 1, -1);
    const std::string name = textArg("cell_of", args, 0);
    const FunctionEntry* entry = ctx.functions().find(name);
    // Functions of any result count give all they have when asked for none.
    const int nargout = entry && entry->maxResults == kAnyResults ? 0 : 1;
    const Args rest(args.begin() + 1, args.end());
    Results results = ctx.functions().call(ctx, name, nargout, rest);
    Array cell = checked(qxCreateCellMatrix(1, results.size()));
    for (std::size_t i = 0; i < results.size(); ++i) qxSetCell(cell.get(), i, results[i].release());
    Results out;
    out.push_back(std::move(cell));
    return out;
}

}  // namespace

VELDRA_ENGINE_FUNCTION(print, 0, fn_print);
VELDRA_ENGINE_FUNCTION(warn, 0, fn_warn);
VELDRA_ENGINE_FUNCTION(sleep, 0, fn_sleep);
VELDRA_ENGINE_FUNCTION(fail, 0, fn_fail);
VELDRA_ENGINE_FUNCTION(print_fail, 0, fn_print_fail);
VELDRA_ENGINE_FUNCTION(cell_of, 1, fn_cell_of);

}  // namespace veldra::engine
