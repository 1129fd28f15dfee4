// Module initialisation: readies what the module functions rely on and
// creates the module with its function table (module/methods.cpp).
#include <convert/block_type.hpp>
#include <convert/to_array.hpp>
#include <convert/to_python.hpp>
#include <core/entry.hpp>
#include <core/errors.hpp>
#include <core/state.hpp>
#include <module/methods.hpp>
#include <module/module_name.hpp>
#include <object/object_type.hpp>

#include <platform/i18n.hpp>
#include <platform/qx.hpp>

namespace veldra {
namespace {

#ifndef VELDRA_PY2
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    VELDRA_STRINGIFY(VELDRA_MODULE_NAME),
    "VELDRA Engine for Python",
    -1,
    nullptr,  // the function table, filled in before the module is made
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
    PyObject* module = Py_InitModule4(VELDRA_STRINGIFY(VELDRA_MODULE_NAME), moduleMethods(), nullptr, nullptr, 1013);
    if (!module || !addCompanions(module)) return nullptr;
    return module;
#else
    kModule.m_methods = moduleMethods();
    PyRef module = PyRef::steal(PyModule_Create2(&kModule, 1013));
    if (!module || !addCompanions(module.get())) return nullptr;
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
