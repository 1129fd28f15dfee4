// Functions over the engine's state: workspace variables and objects.
#include "functions/support.hpp"

#include <algorithm>

namespace veldra::engine {
namespace {

using namespace support;

// ---- workspace ----------------------------------------------------------------------
Results fn_assign(CallContext& ctx, int, const Args& args) {
    requireArgCount("assign", args, 2, 2);
    const std::string name = textArg("assign", args, 0);
    if (!qxIsValidVariableName(name.c_str()))
        fail("assign", "invalidName", "'" + name + "' is not a valid variable name.");
    ctx.workspace().assign(name, sharedCopy(args[1]));
    return {};
}

Results fn_fetch(CallContext& ctx, int, const Args& args) {
    requireArgCount("fetch", args, 1, 1);
    const std::string name = textArg("fetch", args, 0);
    Array value = ctx.workspace().fetch(name);
    if (!value) fail("fetch", "unknownVariable", "Unknown variable '" + name + "'.");
    return one(std::move(value));
}

Results fn_clear(CallContext& ctx, int, const Args& args) {
    requireArgCount("clear", args, 0, 1);
    if (args.empty()) ctx.workspace().clearAll();
    else ctx.workspace().clear(textArg("clear", args, 0));
    return {};
}

Results fn_exists(CallContext& ctx, int, const Args& args) {
    requireArgCount("exists", args, 1, 1);
    return one(scalarLogical(ctx.workspace().exists(textArg("exists", args, 0))));
}

Results fn_names(CallContext& ctx, int, const Args& args) {
    requireArgCount("names", args, 0, 0);
    const std::vector<std::string> names = ctx.workspace().names();
    Array cell = checked(qxCreateCellMatrix(1, names.size()));
    for (std::size_t i = 0; i < names.size(); ++i) qxSetCell(cell.get(), i, text(names[i]).release());
    return one(std::move(cell));
}

// ---- maps ---------------------------------------------------------------------------
// The one object a 1-by-1 reference names.
std::uint64_t mapArg(const char* fn, CallContext& ctx, const Args& args, std::size_t i) {
    const std::vector<std::uint64_t> ids = ctx.objects().idsOf(args[i]);
    if (ids.size() != 1)
        fail(fn, "notScalar", "The " + ordinal(i) + " argument of " + std::string(fn) + " must be one map.");
    return ids[0];
}

Results fn_map_new(CallContext& ctx, int, const Args& args) {
    requireArgCount("map_new", args, 0, 0);
    ObjectStore& store = ctx.objects();
    const std::uint64_t id = store.newMap();
    try {
        return one(store.makeReference({1, 1}, {id}));
    } catch (...) {
        store.remove(id);
        throw;
    }
}

Results fn_map_set(CallContext& ctx, int, const Args& args) {
    requireArgCount("map_set", args, 3, 3);
    const std::uint64_t id = mapArg("map_set", ctx, args, 0);
    const std::string key = textArg("map_set", args, 1);
    ctx.objects().mapSet(id, key, sharedCopy(args[2]));
    return {};
}

Results fn_map_get(CallContext& ctx, int, const Args& args) {
    requireArgCount("map_get", args, 2, 2);
    const std::uint64_t id = mapArg("map_get", ctx, args, 0);
    return one(ctx.objects().mapGet(id, textArg("map_get", args, 1)));
}

Results fn_map_count(CallContext& ctx, int, const Args& args) {
    requireArgCount("map_count", args, 1, 1);
    const std::uint64_t id = mapArg("map_count", ctx, args, 0);
    return one(scalarDouble(static_cast<double>(ctx.objects().mapCount(id))));
}

Results fn_objects(CallContext& ctx, int, const Args& args) {
    requireArgCount("objects", args, 2, 2);
    const qxSize m = countArg("objects", args, 0);
    const qxSize n = countArg("objects", args, 1);
    qxSize count = 0;
    if (__builtin_mul_overflow(m, n, &count) || count > (qxSize{1} << 32))
        fail("objects", "tooLarge", "Too many objects asked for.");
    ObjectStore& store = ctx.objects();
    std::vector<std::uint64_t> ids;
    try {
        ids.reserve(count);
        for (qxSize k = 0; k < count; ++k) {
            if (k % 4096 == 4095) ctx.checkInterrupt();
            ids.push_back(store.newMap());
        }
        return one(store.makeReference({m, n}, ids));
    } catch (...) {
        for (std::uint64_t id : ids) store.remove(id);
        throw;
    }
}

Results fn_object_delete(CallContext& ctx, int, const Args& args) {
    requireArgCount("object_delete", args, 1, 1);
    ObjectStore& store = ctx.objects();
    std::vector<std::uint64_t> ids = store.idsOf(args[0]);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    // All or nothing: check every object before deleting any.
    for (std::uint64_t id : ids)
        if (!store.contains(id))
            throw ExecutionFailure("veldra:object_delete:invalidObject",
                                   "The object " + std::to_string(id) + " has been deleted already.");
    for (std::uint64_t id : ids) store.remove(id);
    return {};
}

Results fn_object_count(CallContext& ctx, int, const Args& args) {
    requireArgCount("object_count", args, 0, 0);
    return one(scalarDouble(static_cast<double>(ctx.objects().count())));
}

}  // namespace

VELDRA_ENGINE_FUNCTION(assign, 0, fn_assign);
VELDRA_ENGINE_FUNCTION(fetch, 1, fn_fetch);
VELDRA_ENGINE_FUNCTION(clear, 0, fn_clear);
VELDRA_ENGINE_FUNCTION(exists, 1, fn_exists);
VELDRA_ENGINE_FUNCTION(names, 1, fn_names);
VELDRA_ENGINE_FUNCTION(map_new, 1, fn_map_new);
VELDRA_ENGINE_FUNCTION(map_set, 0, fn_map_set);
VELDRA_ENGINE_FUNCTION(map_get, 1, fn_map_get);
VELDRA_ENGINE_FUNCTION(map_count, 1, fn_map_count);
VELDRA_ENGINE_FUNCTION(objects, 1, fn_objects);
VELDRA_ENGINE_FUNCTION(object_delete, 0, fn_object_delete);
VELDRA_ENGINE_FUNCTION(object_count, 1, fn_object_count);

}  // namespace veldra::engine
