// Functions that describe values, and values of the rarer kinds.
#include "functions/support.hpp"

#include <qx/block.hpp>

namespace veldra::engine {
namespace {

using namespace support;

Results fn_identity(CallContext&, int, const Args& args) {
    Results out;
    out.reserve(args.size());
    for (const qxArray* a : args) out.push_back(sharedCopy(a));
    return out;
}

Results fn_class_of(CallContext&, int, const Args& args) {
    requireArgCount("class_of", args, 1, 1);
    Results out;
    out.push_back(text(className(qxGetClassID(args[0]))));
    return out;
}

Results fn_dims(CallContext&, int, const Args& args) {
    requireArgCount("dims", args, 1, 1);
    const qxSize n = qxGetNumberOfDimensions(args[0]);
    const qxSize* d = qxGetDimensions(args[0]);
    Array r = checked(qxCreateNumericMatrix(1, n, qxDOUBLE_CLASS, qxREAL));
    auto* data = static_cast<double*>(qxGetData(r.get()));
    for (qxSize i = 0; i < n; ++i) data[i] = static_cast<double>(d[i]);
    Results out;
    out.push_back(std::move(r));
    return out;
}

Results fn_is_complex(CallContext&, int, const Args& args) {
    requireArgCount("is_complex", args, 1, 1);
    Results out;
    out.push_back(scalarLogical(qxIsComplex(args[0])));
    return out;
}

Results fn_is_sparse(CallContext&, int, const Args& args) {
    requireArgCount("is_sparse", args, 1, 1);
    Results out;
    out.push_back(scalarLogical(qxIsSparse(args[0])));
    return out;
}

Results fn_handle_of(CallContext&, int, const Args& args) {
    requireArgCount("handle_of", args, 1, 1);
    const std::string name = textArg("handle_of", args, 0);
    if (name.empty()) fail("handle_of", "badValue", "handle_of needs a function name.");
    Results out;
    out.push_back(checked(qxCreateFunctionHandle(name.c_str())));
    return out;
}

Results fn_opaque_value(CallContext&, int, const Args& args) {
    requireArgCount("opaque_value", args, 0, 0);
    const qxSize dims[2] = {1, 1};
    const std::uint64_t id = 1;
    Results out;
    out.push_back(checked(qx::createObjectArray(2, dims, &id, nullptr)));
    return out;
}

Results fn_untransferable(CallContext&, int, const Args& args) {
    requireArgCount("untransferable", args, 0, 0);
    throw DataConversionFailure("veldra:untransferable:dataConversion",
                                "The result of untransferable cannot be passed to the client.");
}

}  // namespace

VELDRA_ENGINE_FUNCTION(identity, kAnyResults, fn_identity);
VELDRA_ENGINE_FUNCTION(class_of, 1, fn_class_of);
VELDRA_ENGINE_FUNCTION(dims, 1, fn_dims);
VELDRA_ENGINE_FUNCTION(is_complex, 1, fn_is_complex);
VELDRA_ENGINE_FUNCTION(is_sparse, 1, fn_is_sparse);
VELDRA_ENGINE_FUNCTION(handle_of, 1, fn_handle_of);
VELDRA_ENGINE_FUNCTION(opaque_value, 1, fn_opaque_value);
VELDRA_ENGINE_FUNCTION(untransferable, kAnyResults, fn_untransferable);

}  // namespace veldra::engine
