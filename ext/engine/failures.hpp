#pragma once
// The one place where exceptions thrown inside a module function become
// Python exceptions.  Call it from a catch-all handler at the function's
// boundary, after the interpreter lock is back (a GilRelease has been left):
//
//   try { ... } catch (...) { return failWith(Failures::Launch); }
//
// PythonErrorSet keeps the error already pending; everything else is mapped
// by the policy of the function.  No C++ exception reaches the interpreter.
#include <module/pyref.hpp>

namespace veldra {

enum class Failures {
    // Engine failures as EngineError with the exception's text; arguments
    // the engine cannot be sent as ValueError.
    Engine,
    // Shutdown functions: SystemError with the exception's text.
    Shutdown,
    // getVELDRA: the shared-session failures with their wide message, the
    // rest as Engine.
    Launch,
    // Call futures: cancelled, interrupted, timed out, execution and syntax
    // errors to their classes; a lost engine EngineError with the text
    // saying how it ended; anything else EngineError with
    // VeldraFunctionNotEvaluated.
    Result,
};

// Always returns nullptr, with a Python exception set.
PyObject* failWith(Failures policy) noexcept;

}  // namespace veldra
