#pragma once
// The process-wide state that module initialisation fills once and module
// functions only read, always under the interpreter lock.  It lives until the
// process ends.
#include <core/pyref.hpp>

#include <array>
#include <cstddef>

namespace veldra {

// The package's typed-array classes, in the order they are fetched.
enum class TypedArray : std::size_t {
    Double,
    Single,
    Uint8,
    Uint16,
    Uint32,
    Uint64,
    Int8,
    Int16,
    Int32,
    Int64,
    Logical,
    Count
};
inline constexpr std::array<const char*, static_cast<std::size_t>(TypedArray::Count)> kTypedArrayNames = {
    "double", "single", "uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64", "logical"};

struct ModuleState {
    // Owned by the attributes of veldra.engine; plain pointers for raising.
    PyObject* EngineError = nullptr;
    PyObject* TimeoutError = nullptr;
    PyObject* InterruptedError = nullptr;
    PyObject* VeldraExecutionError = nullptr;
    PyObject* CancelledError = nullptr;
    // Strong references, kept for the life of the process.
    std::array<PyObject*, static_cast<std::size_t>(TypedArray::Count)> typedArrays{};
    // The constructor the typed-array classes share, as the package defines it.
    PyObject* typedArrayInit = nullptr;

    PyObject* typedArray(TypedArray which) const { return typedArrays[static_cast<std::size_t>(which)]; }
};

ModuleState& state();

}  // namespace veldra
