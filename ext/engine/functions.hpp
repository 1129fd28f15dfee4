#pragma once
// The module functions, by the file that defines them.  The interpreter calls
// them through entry<> (core/entry.hpp), which the method table
// (module/init.cpp) names with the policy that translates their failures.
#include <core/pyref.hpp>

namespace veldra {

// engine/sessions.cpp
PyObject* createProcessImpl(PyObject* self, PyObject* args);
PyObject* closeProcessImpl(PyObject* self, PyObject* args);
PyObject* createVELDRAAsyncImpl(PyObject* self, PyObject* args);
PyObject* getVELDRAImpl(PyObject* self, PyObject* args);
PyObject* attachVELDRAAsyncImpl(PyObject* self, PyObject* args);
PyObject* waitForVELDRAImpl(PyObject* self, PyObject* args);
PyObject* isDoneVELDRAImpl(PyObject* self, PyObject* args);
PyObject* cancelVELDRAImpl(PyObject* self, PyObject* args);
PyObject* destroyVELDRAImpl(PyObject* self, PyObject* args);
PyObject* findVELDRAImpl(PyObject* self, PyObject* args);
PyObject* closeVELDRAImpl(PyObject* self, PyObject* args);

// engine/calls.cpp
PyObject* evaluateFunctionImpl(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* validateIdentityImpl(PyObject* self, PyObject* args);
PyObject* submitManyImpl(PyObject* self, PyObject* args);

// engine/futures.cpp
PyObject* getFEvalResultImpl(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* takeFEvalOutputImpl(PyObject* self, PyObject* args);
PyObject* takeFEvalProgressImpl(PyObject* self, PyObject* args);
PyObject* destroyFEvalResultImpl(PyObject* self, PyObject* args);
PyObject* cancelFEvalImpl(PyObject* self, PyObject* args);
PyObject* isDoneFEvalImpl(PyObject* self, PyObject* args);
PyObject* waitForFEvalImpl(PyObject* self, PyObject* args);
PyObject* isCancelledFEvalImpl(PyObject* self, PyObject* args);
PyObject* collectManyImpl(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* releaseManyImpl(PyObject* self, PyObject* args);

}  // namespace veldra
