#pragma once
// Message identifiers: one builder per catalog key, named after the key.
//
// The texts live in the catalogs (catalogs/<lang>/VELDRA_PythonEngine.po and
// VELDRA_PythonQxArray.po); a key added here needs a text there.
#include <platform/i18n.hpp>

#include <string>

namespace veldra {

// A catalog message to look up: catalog, key and arguments.
class MessageId : public resource_core::BaseMsgID {
public:
    using resource_core::BaseMsgID::BaseMsgID;
};

inline constexpr const char* kEngineCatalog = "VELDRA:PythonEngine";
inline constexpr const char* kQxArrayCatalog = "VELDRA:PythonQxArray";

// Keys of "VELDRA:PythonEngine" (argument and engine-call errors).
#define VELDRA_ENGINE_MESSAGES(X) \
    X(StartupOptionShouldBePO)    \
    X(StartupOptionShouldBeLS)    \
    X(StartupOptionShouldBeStr)   \
    X(HandleToVeldraShouldBeLI)   \
    X(FevalTakes3Args)            \
    X(FuncShouldBeASCII)          \
    X(NumOutShouldBeInt)          \
    X(KeywordShouldBeStr)         \
    X(FevalResultTakes3Args)      \
    X(HandleShouldBeTuple)        \
    X(HandleToResultShouldBeLI)   \
    X(HandleToConOutShouldBeLI)   \
    X(HandleToConErrShouldBeLI)   \
    X(TimtoutShouldBeIntFloat)    \
    X(StringIODoesNotExist)       \
    X(StringIOForConOut)          \
    X(StringIOForConErr)          \
    X(VeldraFunctionNotEvaluated) \
    X(UnsupportedVeldraType)      \
    X(VarNameShouldBeStr)         \
    X(MessageIDShouldBeStr)       \
    X(ArgumentsShouldBeTuple)

// Keys of "VELDRA:PythonQxArray" (conversion and veldra.object errors), but
// UnsupportedPythonData, which takes the type key as its argument.
#define VELDRA_QXARRAY_MESSAGES(X) \
    X(NoneNotSupported)            \
    X(MVNotSupported)              \
    X(RecurListNotSupported)       \
    X(RecurDictNotSupported)       \
    X(InvalidStructField)          \
    X(ReferenceDoesNotExist)       \
    X(NumIndexEqualToNumDim)       \
    X(IndexExceedsDim)             \
    X(CompareObjectOnly)           \
    X(ObjectCantLessThan)          \
    X(ObjectCantLessEqual)         \
    X(ObjectCantGreaterThan)       \
    X(ObjectCantGreaterEqual)      \
    X(CharArrayFromVeldra)         \
    X(CellArrayFromVeldra)         \
    X(StructArrayFromVeldra)       \
    X(Int64ArrayNotSupported)      \
    X(Uint64ArrayNotSupported)     \
    X(UnsupportedVeldraType)       \
    X(TypedArrayMismatch)          \
    X(TypedArrayResultMismatch)    \
    X(TypedArraySizeTooLarge)      \
    X(ObjectNotPicklable)

namespace msg {
#define VELDRA_DEFINE_BUILDER(key)                 \
    inline MessageId key() {                       \
        return MessageId(0, kEngineCatalog, #key); \
    }
namespace engine {
VELDRA_ENGINE_MESSAGES(VELDRA_DEFINE_BUILDER)
}
#undef VELDRA_DEFINE_BUILDER

#define VELDRA_DEFINE_BUILDER(key)                  \
    inline MessageId key() {                        \
        return MessageId(0, kQxArrayCatalog, #key); \
    }
namespace qxarray {
VELDRA_QXARRAY_MESSAGES(VELDRA_DEFINE_BUILDER)

inline MessageId UnsupportedPythonData(const std::string& typeKey) {
    MessageId id(1, kQxArrayCatalog, "UnsupportedPythonData");
    id.args()[0] = typeKey;
    return id;
}
}  // namespace qxarray
#undef VELDRA_DEFINE_BUILDER
}  // namespace msg

}  // namespace veldra
