// Module initialisation: readies what the module functions rely on and
// creates the module with its function table.
#include <convert/block_type.hpp>
#include <convert/to_array.hpp>
#include <convert/to_python.hpp>
#include <module/entry.hpp>
#include <module/errors.hpp>
#include <module/functions.hpp>
#include <module/state.hpp>
#include <object/object_type.hpp>

#include <platform/i18n.hpp>
#include <platform/qx.hpp>

#define VELDRA_PASTE2(a, b) a##b
#define VELDRA_PASTE(a, b) VELDRA_PASTE2(a, b)
#define VELDRA_STRINGIFY2(a) #a
#define VELDRA_STRINGIFY(a) VELDRA_STRINGIFY2(a)

namespace {

// The compiler's build date with its day padding removed: "Dec 8 2026".
struct BuildDate {
    char text[sizeof(__DATE__)]{};
    constexpr BuildDate() {
        const char* date = __DATE__;
        std::size_t j = 0;
        for (std::size_t i = 0; date[i] != '\0'; ++i) {
            if (date[i] == ' ' && j > 0 && text[j - 1] == ' ') continue;
            text[j++] = date[i];
        }
    }
};
constexpr BuildDate kBuildDate;

}  // namespace

// For tools that inspect the installed library; the module never reads them.
extern "C" {
__attribute__((visibility("default"))) extern const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _version);
__attribute__((visibility("default"))) extern const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _build_date);
}
const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _version) = VELDRA_PRODUCT_VERSION;
const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _build_date) = kBuildDate.text;

namespace veldra {
namespace {

// Every function is entered through entry<>, with the policy that turns
// what it throws into the module's exceptions.
using F = Failures;
PyMethodDef kMethods[] = {
    {"createProcess", entry<&createProcessImpl>, METH_VARARGS, "createProcess() initializes the VELDRA Engine process"},
    {"closeProcess", entry<&closeProcessImpl, F::Shutdown>, METH_VARARGS,
     "closeProcess() terminates the VELDRA Engine process"},
    {"createVELDRAAsync", entry<&createVELDRAAsyncImpl>, METH_VARARGS,
     "createVELDRAAsync() creates a VELDRA instance asynchronously"},
    {"getVELDRA", entry<&getVELDRAImpl, F::Launch>, METH_VARARGS, "getVELDRA() gets the VELDRA instance"},
    {"attachVELDRAAsync", entry<&attachVELDRAAsyncImpl>, METH_VARARGS,
     "attachVELDRAAsync() attaches to a shared VELDRA session asynchronously"},
    {"waitForVELDRA", entry<&waitForVELDRAImpl>, METH_VARARGS,
     "waitForVELDRA() waits for the launch and attach of a VELDRA instance"},
    {"isDoneVELDRA", entry<&isDoneVELDRAImpl>, METH_VARARGS,
     "isDoneVELDRA() checks the completion status of a VELDRA function"},
    {"cancelVELDRA", entry<&cancelVELDRAImpl>, METH_VARARGS,
     "cancelVELDRA() cancels the launch or connection to a VELDRA instance"},
    {"destroyVELDRA", entry<&destroyVELDRAImpl>, METH_VARARGS,
     "destroyVELDRA() release the memory used to store the handle to the VELDRA instance"},
    {"findVELDRA", entry<&findVELDRAImpl>, METH_VARARGS, "findVELDRA() finds all shared VELDRA sessions"},
    {"closeVELDRA", entry<&closeVELDRAImpl, F::Shutdown>, METH_VARARGS, "closeVELDRA() terminates VELDRA"},
    {"evaluateFunction", withKeywords(entry<&evaluateFunctionImpl>), METH_VARARGS | METH_KEYWORDS,
     "evaluateFunction() evaluates a VELDRA function with arguments"},
    {"validateIdentity", entry<&validateIdentityImpl>, METH_VARARGS,
     "validateIdentity() validates the variable name in VELDRA"},
    {"getMessage", entry<&getMessageImpl>, METH_VARARGS, "getMessage() retrieves the error message"},
    {"getFEvalResult", withKeywords(entry<&getFEvalResultImpl, F::Result>), METH_VARARGS | METH_KEYWORDS,
     "getFEvalResult() returns the result of a VELDRA function"},
    {"takeFEvalOutput", entry<&takeFEvalOutputImpl, F::Result>, METH_VARARGS,
     "takeFEvalOutput() returns the text a VELDRA function has written so far, as (out, err)"},
    {"takeFEvalProgress", entry<&takeFEvalProgressImpl, F::Result>, METH_VARARGS,
     "takeFEvalProgress() returns the latest progress of a VELDRA function, as (done, total), or None"},
    {"destroyFEvalResult", entry<&destroyFEvalResultImpl, F::Result>, METH_VARARGS,
     "destroyFEvalResult() destroys the result of a VELDRA function"},
    {"cancelFEval", entry<&cancelFEvalImpl, F::Result>, METH_VARARGS,
     "cancelFEval() cancels the execution of a VELDRA function"},
    {"isDoneFEval", entry<&isDoneFEvalImpl, F::Result>, METH_VARARGS,
     "isDoneFEval() checks the completion status of a VELDRA function"},
    {"waitForFEval", entry<&waitForFEvalImpl, F::Result>, METH_VARARGS,
     "waitForFEval() wait for the execution of a VELDRA function"},
    {"isCancelledFEval", entry<&isCancelledFEvalImpl, F::Result>, METH_VARARGS,
     "isCancelledEval() checks the cancellation status of a VELDRA function"},
    {nullptr, nullptr, 0, nullptr},
};

// The module's private companion `_batch`, for veldra.engine's many-calls
// paths; not part of the module's own functions.
PyMethodDef kBatchMethods[] = {
    {"submit_many", entry<&submitManyImpl>, METH_VARARGS,
     "submit_many() submits many calls of one function in one step"},
    {"collect_many", withKeywords(entry<&collectManyImpl, F::Result>), METH_VARARGS | METH_KEYWORDS,
     "collect_many() collects many calls in order and releases them"},
    {nullptr, nullptr, 0, nullptr},
};

// Adds `_batch` to `module`; false with an error set on failure.
bool addBatch(PyObject* module) {
#ifdef VELDRA_PY2
    PyRef name = PyRef::steal(PyString_FromString(VELDRA_STRINGIFY(VELDRA_MODULE_NAME) "._batch"));
#else
    PyRef name = PyRef::steal(PyUnicode_FromString(VELDRA_STRINGIFY(VELDRA_MODULE_NAME) "._batch"));
#endif
    if (!name) return false;
    PyRef batch = PyRef::steal(PyModule_New(VELDRA_STRINGIFY(VELDRA_MODULE_NAME) "._batch"));
    if (!batch) return false;
    for (PyMethodDef* def = kBatchMethods; def->ml_name != nullptr; ++def) {
        PyObject* fn = PyCFunction_NewEx(def, nullptr, name.get());
        if (!fn || PyModule_AddObject(batch.get(), def->ml_name, fn) < 0) {
            Py_XDECREF(fn);
            return false;
        }
    }
    if (PyModule_AddObject(module, "_batch", batch.get()) < 0) return false;
    batch.release();  // the module attribute owns it now
    return true;
}

#ifndef VELDRA_PY2
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    VELDRA_STRINGIFY(VELDRA_MODULE_NAME),
    "VELDRA Engine for Python",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
#endif

// Creates the exception class `qualified` ("veldra.engine.EngineError"),
// derived from Exception, and adds it to `engine` under its short name.
// A borrowed pointer (the module attribute owns it); nullptr on failure.
PyObject* addExceptionClass(PyObject* engine, const char* qualified, const char* shortName) {
    PyRef cls = PyRef::steal(PyErr_NewException(const_cast<char*>(qualified), nullptr, nullptr));
    if (!cls) return nullptr;
    PyObject* borrowed = cls.get();
    if (PyModule_AddObject(engine, shortName, cls.get()) < 0) return nullptr;
    cls.release();  // the module attribute owns it now
    return borrowed;
}

// VeldraExecutionError: as addExceptionClass, with the class attribute
// "identifier" (None) that raised instances replace by the engine's own.
PyObject* addExecutionErrorClass(PyObject* engine) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || PyDict_SetItemString(dict.get(), "identifier", Py_None) < 0) return nullptr;
    PyRef cls = PyRef::steal(
        PyErr_NewExceptionWithDoc("veldra.engine.VeldraExecutionError",
                                  "An engine function failed.  'identifier' names the failure the engine's way "
                                  "(\"veldra:sqrt:badType\"); the text is the engine's message.",
                                  nullptr, dict.get()));
    if (!cls) return nullptr;
    PyObject* borrowed = cls.get();
    if (PyModule_AddObject(engine, "VeldraExecutionError", cls.get()) < 0) return nullptr;
    cls.release();  // the module attribute owns it now
    return borrowed;
}

PyObject* initialise() {
    ModuleState& s = state();

    PyRef veldra = PyRef::steal(PyImport_ImportModule("veldra"));
    if (!veldra) return nullptr;
    if (!readyObjectType() || !PythonQxarray::readyBlockType()) return nullptr;
    Py_INCREF(&VeldraObjectType);
    if (PyModule_AddObject(veldra.get(), "object", reinterpret_cast<PyObject*>(&VeldraObjectType)) < 0) {
        Py_DECREF(&VeldraObjectType);
        return nullptr;
    }

    for (std::size_t i = 0; i < kTypedArrayNames.size(); ++i) {
        PyObject* cls = PyObject_GetAttrString(veldra.get(), kTypedArrayNames[i]);
        if (!cls) return nullptr;
        Py_XSETREF(s.typedArrays[i], cls);
    }
    PyObject* init = compat::initFunction(s.typedArray(TypedArray::Double));
    if (!init) return nullptr;
    Py_XSETREF(s.typedArrayInit, init);

    PythonQxarray::initToPyConverters();
    PythonQxarray::initToQxConverters();

    PyRef engine = PyRef::steal(PyImport_ImportModule("veldra.engine"));
    if (!engine) return nullptr;
    if (!(s.EngineError = addExceptionClass(engine.get(), "veldra.engine.EngineError", "EngineError")) ||
        !(s.TimeoutError = addExceptionClass(engine.get(), "veldra.engine.TimeoutError", "TimeoutError")) ||
        !(s.InterruptedError = addExceptionClass(engine.get(), "veldra.engine.InterruptedError", "InterruptedError")) ||
        !(s.VeldraExecutionError = addExecutionErrorClass(engine.get())) ||
        !(s.CancelledError = addExceptionClass(engine.get(), "veldra.engine.CancelledError", "CancelledError")))
        return nullptr;

    // A catalog that cannot be loaded does not stop the import; it shows
    // when a message is looked up.
    try {
        fl::i18n::MessageCatalog::MessageCatalogInit(fl::filesystem::get_install_path());
    } catch (const std::exception&) {}

#ifdef VELDRA_PY2
    // The version-2 factory: no documentation string, no self object; the
    // module is borrowed.
    PyObject* module = Py_InitModule4(VELDRA_STRINGIFY(VELDRA_MODULE_NAME), kMethods, nullptr, nullptr, 1013);
    if (!module || !addBatch(module)) return nullptr;
    return module;
#else
    PyRef module = PyRef::steal(PyModule_Create2(&kModule, 1013));
    if (!module || !addBatch(module.get())) return nullptr;
    return module.release();
#endif
}

}  // namespace
}  // namespace veldra

#ifdef VELDRA_PY2
// The interpreter finds the module in its module table (a borrowed module
// from the factory, or nullptr with an error set).  2.7's PyMODINIT_FUNC
// leaves the visibility to the compiler, which hides it here.
extern "C" __attribute__((visibility("default"))) void VELDRA_PASTE(init, VELDRA_MODULE_NAME)(void) {
    veldra::entry<&veldra::initialise>();
}
#else
PyMODINIT_FUNC VELDRA_PASTE(PyInit_, VELDRA_MODULE_NAME)(void) {
    return veldra::entry<&veldra::initialise>();
}
#endif
