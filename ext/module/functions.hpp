#pragma once
// The module functions, by the file that defines them.
#include <module/pyref.hpp>

namespace veldra {

// engine/sessions.cpp
PyObject* createProcess(PyObject* self, PyObject* args);
PyObject* closeProcess(PyObject* self, PyObject* args);
PyObject* createVELDRAAsync(PyObject* self, PyObject* args);
PyObject* getVELDRA(PyObject* self, PyObject* args);
PyObject* attachVELDRAAsync(PyObject* self, PyObject* args);
PyObject* waitForVELDRA(PyObject* self, PyObject* args);
PyObject* isDoneVELDRA(PyObject* self, PyObject* args);
PyObject* cancelVELDRA(PyObject* self, PyObject* args);
PyObject* destroyVELDRA(PyObject* self, PyObject* args);
PyObject* findVELDRA(PyObject* self, PyObject* args);
PyObject* closeVELDRA(PyObject* self, PyObject* args);

// engine/calls.cpp
PyObject* evaluateFunction(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* validateIdentity(PyObject* self, PyObject* args);
PyObject* submitMany(PyObject* self, PyObject* args);

// engine/futures.cpp
PyObject* getFEvalResult(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* takeFEvalOutput(PyObject* self, PyObject* args);
PyObject* takeFEvalProgress(PyObject* self, PyObject* args);
PyObject* destroyFEvalResult(PyObject* self, PyObject* args);
PyObject* cancelFEval(PyObject* self, PyObject* args);
PyObject* isDoneFEval(PyObject* self, PyObject* args);
PyObject* waitForFEval(PyObject* self, PyObject* args);
PyObject* isCancelledFEval(PyObject* self, PyObject* args);
PyObject* collectMany(PyObject* self, PyObject* args, PyObject* kwargs);

// module/errors.cpp
PyObject* getMessage(PyObject* self, PyObject* args);

}  // namespace veldra
