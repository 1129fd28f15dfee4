#pragma once
// The one place where exceptions thrown inside the module become Python
// exceptions.  Module functions and type slots reach it through entry<>
// (core/entry.hpp); code that has to go on after a failure (writing the
// text a failed call printed) through translated().  Both run it with the
// interpreter lock held (any GilRelease has been left).
//
// PythonErrorSet keeps the error already pending, std::bad_alloc becomes
// MemoryError; everything else is mapped by the policy of the function.  No
// C++ exception reaches the interpreter.
#include <core/pyref.hpp>

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

// Call only from a catch handler.  Always returns nullptr, with a Python
// exception set.
PyObject* failWith(Failures policy) noexcept;

// Runs `body`; what it throws becomes the pending Python exception by
// `policy`.  False when it threw.
template <class Body>
bool translated(Failures policy, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        failWith(policy);
        return false;
    }
}

}  // namespace veldra
