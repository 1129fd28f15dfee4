// Submitting a call of an engine function, and the variable-name test.
#include <engine/arguments.hpp>

#include <convert/to_array.hpp>
#include <core/errors.hpp>
#include <core/gil.hpp>
#include <core/state.hpp>
#include <engine/functions.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace veldra {

namespace {

struct Submission {
    engine_api::Handle engine = 0;
    PyRef asciiName;  // the function name's ASCII bytes, held until copied
    int numOut = 0;
    std::vector<matrix::unique_array_ptr> args;  // destroyed on every path
    bool captureOut = false;
    bool captureErr = false;
    bool progress = false;  // progress=True: the engine sends its reports
};

// The checks in their order; the first failing one decides the error and
// nothing is converted before the first four have passed.
bool parseSubmission(PyObject* args, PyObject* kwargs, Submission& s) {
    if (PyTuple_GET_SIZE(args) < 3) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::FevalTakes3Args());
        return false;
    }
    if (!readHandle(PyTuple_GET_ITEM(args, 0), msg::engine::HandleToVeldraShouldBeLI, s.engine)) return false;

    PyObject* name = PyTuple_GET_ITEM(args, 1);
#ifdef VELDRA_PY2
    if (PyString_Check(name)) s.asciiName = PyRef::borrow(name);  // its bytes as they are
#else
    if (PyUnicode_Check(name)) s.asciiName = PyRef::steal(PyUnicode_AsASCIIString(name));
#endif
    if (!s.asciiName) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::FuncShouldBeASCII());
        return false;
    }
    if (!readInt32(PyTuple_GET_ITEM(args, 2), msg::engine::NumOutShouldBeInt, s.numOut)) return false;

    if (PyTuple_GET_SIZE(args) > 3) {
        PyObject* values = PyTuple_GET_ITEM(args, 3);
        if (!PyTuple_Check(values)) {
            setErrorFromMessage(PyExc_TypeError, msg::engine::ArgumentsShouldBeTuple());
            return false;
        }
        s.args.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(values)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
            matrix::unique_array_ptr a(PythonQxarray::toQxArray(PyTuple_GET_ITEM(values, i)));
            if (!a || PyErr_Occurred()) return false;
            s.args.push_back(std::move(a));
        }
    }

    return scanKeywords(
        kwargs,
        [&](bool isErr, PyObject*) {
            (isErr ? s.captureErr : s.captureOut) = true;
            return true;
        },
        [&](PyObject* key, PyObject* value) {
            if (!compat::keywordIs(key, "progress")) return true;
            const int on = PyObject_IsTrue(value);
            if (on < 0) return false;
            s.progress = on != 0;
            return true;
        });
}

// Whether the arguments are few and small enough to encode and send while
// holding the interpreter lock: plain arrays of a few KiB in all.
bool smallArguments(const std::vector<matrix::unique_array_ptr>& args) {
    constexpr std::size_t kSmallBytes = 4096;
    std::size_t bytes = 0;
    for (const auto& a : args) {
        const qxClassID id = qxGetClassID(a.get());
        if (qxIsSparse(a.get()) || !(qxIsNumeric(a.get()) || id == qxLOGICAL_CLASS || id == qxCHAR_CLASS)) return false;
        bytes += qxGetNumberOfElements(a.get()) * qxGetElementSize(a.get()) * (qxIsComplex(a.get()) ? 2 : 1);
        if (bytes > kSmallBytes) return false;
    }
    return true;
}

}  // namespace

PyObject* evaluateFunctionImpl(PyObject*, PyObject* args, PyObject* kwargs) {
    Submission s;
    if (!parseSubmission(args, kwargs, s)) return nullptr;
    // The name ends at its first NUL.
    const std::string name(PyBytes_AS_STRING(s.asciiName.get()));
    std::vector<const qxArray*> arrays;
    arrays.reserve(s.args.size());
    for (const auto& a : s.args) arrays.push_back(a.get());
    // Small calls go out keeping the lock when the socket takes them at
    // once: letting it go would hand it to another thread (and take it
    // back) for a few microseconds of work.
    std::vector<engine_api::Handle> handles;
    if (smallArguments(s.args))
        handles =
            engine_api::evaluateFunctionNow(s.engine, name, s.numOut, arrays, s.captureOut, s.captureErr, s.progress);
    if (handles.empty())
        handles = withoutGil([&] {
            return engine_api::evaluateFunction(s.engine, name, s.numOut, arrays, s.captureOut, s.captureErr,
                                                s.progress);
        });
    s.args.clear();  // the engine client has what it needs
    if (handles.size() < 3) {
        setErrorFromMessage(state().EngineError, msg::engine::VeldraFunctionNotEvaluated());
        return nullptr;
    }
    PyRef tuple = PyRef::steal(PyTuple_New(3));
    for (Py_ssize_t i = 0; tuple && i < 3; ++i) {
        PyObject* h = PyLong_FromUnsignedLongLong(handles[static_cast<std::size_t>(i)]);
        if (h) PyTuple_SET_ITEM(tuple.get(), i, h);
        else tuple = PyRef();
    }
    if (!tuple) {
        // Nobody will collect it: released (and so cancelled) at once.
        withoutGil([&] { engine_api::destroyFEvalResult(handles); });
        return nullptr;
    }
    return tuple.release();
}

// _batch.submit_many(engine, name, nout, arglists, capture_out, capture_err,
// after=None): one call of `name` per tuple of `arglists` (a list), all
// submitted in one step as one batch; the batch's handle, for collect_many
// or release.  With `after`, a batch not yet released, the calls run only
// if all of that batch's did.  Every argument is converted before anything
// is sent.
PyObject* submitManyImpl(PyObject*, PyObject* args) {
    PyObject *engine = nullptr, *name = nullptr, *nout = nullptr, *lists = nullptr, *afterArg = nullptr;
    int captureOut = 0, captureErr = 0;
    if (!PyArg_ParseTuple(args, "OOOO!ii|O", &engine, &name, &nout, &PyList_Type, &lists, &captureOut, &captureErr,
                          &afterArg))
        return nullptr;
    Submission s;
    if (!readHandle(engine, msg::engine::HandleToVeldraShouldBeLI, s.engine)) return nullptr;
    engine_api::Handle after = 0;
    if (afterArg && afterArg != Py_None && !readHandle(afterArg, msg::engine::HandleShouldBeTuple, after))
        return nullptr;
#ifdef VELDRA_PY2
    if (PyString_Check(name)) s.asciiName = PyRef::borrow(name);
#else
    if (PyUnicode_Check(name)) s.asciiName = PyRef::steal(PyUnicode_AsASCIIString(name));
#endif
    if (!s.asciiName) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::FuncShouldBeASCII());
        return nullptr;
    }
    if (!readInt32(nout, msg::engine::NumOutShouldBeInt, s.numOut)) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(lists);
    std::vector<matrix::unique_array_ptr> owned;  // every argument, destroyed on every path
    owned.reserve(static_cast<std::size_t>(n));
    std::vector<std::vector<const qxArray*>> arrays(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* values = PyList_GET_ITEM(lists, i);
        if (!PyTuple_Check(values)) {
            setErrorFromMessage(PyExc_TypeError, msg::engine::ArgumentsShouldBeTuple());
            return nullptr;
        }
        auto& mine = arrays[static_cast<std::size_t>(i)];
        mine.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(values)));
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(values); ++j) {
            matrix::unique_array_ptr a(PythonQxarray::toQxArray(PyTuple_GET_ITEM(values, j)));
            if (!a || PyErr_Occurred()) return nullptr;
            mine.push_back(a.get());
            owned.push_back(std::move(a));
        }
    }
    const engine_api::Handle batch = withoutGil([&] {
        const std::string function(PyBytes_AS_STRING(s.asciiName.get()));
        return engine_api::evaluateFunctionBatch(s.engine, function, s.numOut, arrays, captureOut != 0, captureErr != 0,
                                                 after);
    });
    owned.clear();
    PyObject* handle = PyLong_FromUnsignedLongLong(batch);
    if (!handle) {
        // Nobody will collect it: released (and so cancelled) at once.
        withoutGil([&] { engine_api::destroyFunctionBatch(batch); });
        throw PythonErrorSet();
    }
    return handle;
}

PyObject* validateIdentityImpl(PyObject*, PyObject* args) {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::VarNameShouldBeStr());
        return nullptr;
    }
    return PyBool_FromLong(qxIsValidVariableName(name));
}

}  // namespace veldra
