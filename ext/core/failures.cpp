#include <core/failures.hpp>

#include <core/errors.hpp>
#include <core/state.hpp>

#include <platform/engine_api.hpp>

#include <veldra/protocol/call_messages.hpp>

#include <string>

namespace veldra {

namespace {

// Raises VeldraExecutionError with the engine's message as its text and
// the engine's identifier ("veldra:sqrt:badType") as its attribute
// "identifier"; the attribute lives in the instance dict, so it pickles.
void raiseExecutionError(const engine_api::ExecutionError& e) {
    setErrorFromNarrowText(state().VeldraExecutionError, e.GetMessageTxt());
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const std::string identifier = e.GetIdentifier();
    PyRef text =
        PyRef::steal(PyUnicode_DecodeUTF8(identifier.data(), static_cast<Py_ssize_t>(identifier.size()), "replace"));
    // Without the attribute the class default (None) shows; the error stands.
    if (!text || !value || PyObject_SetAttrString(value, "identifier", text.get()) < 0) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void raiseResultFailure() {
    try {
        throw;
    } catch (const engine_api::CancelledException& e) {
        setErrorFromNarrowText(state().CancelledError, e.what());
    } catch (const engine_api::InterruptedException& e) {
        setErrorFromNarrowText(state().InterruptedError, e.what());
    } catch (const engine_api::TimeoutException& e) {
        setErrorFromNarrowText(state().TimeoutError, e.what());
    } catch (const engine_api::ExecutionError& e) {
        // Values that could not be carried to or from the engine.
        if (std::string(e.what()).find(veldra::protocol::kDataConversionError) != std::string::npos)
            setErrorFromMessage(PyExc_TypeError, msg::engine::UnsupportedVeldraType());
        else raiseExecutionError(e);
    } catch (const engine_api::SyntaxError& e) {
        setErrorFromNarrowText(PyExc_SyntaxError, e.GetMessageTxt());
    } catch (const engine_api::EngineException& e) {
        // Lost with the engine: the text says how it ended (exit status or signal).
        setErrorFromNarrowText(state().EngineError, e.what());
    } catch (...) {
        setErrorFromMessage(state().EngineError, msg::engine::VeldraFunctionNotEvaluated());
    }
}

void raise(Failures policy) {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return;
    } catch (const std::bad_alloc&) {
        // Out of memory here, converting a value: the engine is not at fault.
        PyErr_NoMemory();
        return;
    } catch (...) {}

    switch (policy) {
    case Failures::Result:
        raiseResultFailure();
        return;
    case Failures::Launch:
        try {
            throw;
        } catch (const engine_api::SharedNotFound& e) {
            setErrorFromText(state().EngineError, e.GetMessage());
            return;
        } catch (const engine_api::SharedNotConnected& e) {
            setErrorFromText(state().EngineError, e.GetMessage());
            return;
        } catch (...) {}
        break;
    case Failures::Engine:
    case Failures::Shutdown:
        break;
    }

    // Before the module has its classes (a failing import), SystemError.
    PyObject* engineError = state().EngineError ? state().EngineError : PyExc_SystemError;
    PyObject* cls = policy == Failures::Shutdown ? PyExc_SystemError : engineError;
    try {
        throw;
    } catch (const engine_api::ArgumentException& e) {
        setErrorFromNarrowText(PyExc_ValueError, e.what());  // a value, not the engine, is at fault
    } catch (const std::exception& e) {
        setErrorFromNarrowText(cls, e.what());
    } catch (...) {
        setErrorFromNarrowText(cls, "unknown failure in the engine client");
    }
}

}  // namespace

PyObject* failWith(Failures policy) noexcept {
    try {
        raise(policy);
    } catch (...) {
        // Raising itself failed (memory): still leave an exception set.
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace veldra
