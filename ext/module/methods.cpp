// The method tables: the name, entry and policy of every module function.
#include <core/entry.hpp>
#include <core/errors.hpp>
#include <engine/functions.hpp>
#include <module/methods.hpp>
#include <module/module_name.hpp>

#include <convert/block_type.hpp>
#include <convert/element_view.hpp>

#include <string>

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
    {"release", entry<&releaseManyImpl, F::Result>, METH_VARARGS,
     "release() releases many calls submitted in one step without collecting them"},
    {nullptr, nullptr, 0, nullptr},
};

// The private companion `_views`, for the typed arrays' memoryview() and
// their buffers in shared memory.
PyMethodDef kViewsMethods[] = {
    {"element_view", entry<&elementViewImpl>, METH_VARARGS,
     "element_view() gives a typed array's elements with its shape, for memoryview()"},
    {"new_blocks", entry<&newBlocksImpl>, METH_VARARGS,
     "new_blocks() makes the buffers of a large typed array in shared memory, for zeros() and empty()"},
    {nullptr, nullptr, 0, nullptr},
};

// Adds the companion module `<module>.<name>` with the functions `methods`.
bool addCompanion(PyObject* module, const char* name, PyMethodDef* methods) {
    const std::string full = std::string(VELDRA_STRINGIFY(VELDRA_MODULE_NAME) ".") + name;
#ifdef VELDRA_PY2
    PyRef moduleName = PyRef::steal(PyString_FromString(full.c_str()));
#else
    PyRef moduleName = PyRef::steal(PyUnicode_FromString(full.c_str()));
#endif
    if (!moduleName) return false;
    PyRef companion = PyRef::steal(PyModule_New(full.c_str()));
    if (!companion) return false;
    for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        PyObject* fn = PyCFunction_NewEx(def, nullptr, moduleName.get());
        if (!fn || PyModule_AddObject(companion.get(), def->ml_name, fn) < 0) {
            Py_XDECREF(fn);
            return false;
        }
    }
    if (PyModule_AddObject(module, name, companion.get()) < 0) return false;
    companion.release();  // the module attribute owns it now
    return true;
}

}  // namespace

PyMethodDef* moduleMethods() {
    return kMethods;
}

bool addCompanions(PyObject* module) {
    return PythonQxarray::readyElementViewType() && addCompanion(module, "_batch", kBatchMethods) &&
           addCompanion(module, "_views", kViewsMethods);
}

}  // namespace veldra
