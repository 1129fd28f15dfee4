// The future of a submitted call: waiting, polling, cancelling, collecting
// its results with the text it printed, and releasing it.
#include <engine/arguments.hpp>

#include <convert/block_type.hpp>
#include <convert/to_python.hpp>
#include <core/errors.hpp>
#include <core/failures.hpp>
#include <core/gil.hpp>
#include <core/text.hpp>
#include <engine/functions.hpp>

#include <vector>

namespace veldra {

namespace {

using Buffer = boost::shared_ptr<engine_api::ustringbuf>;

// Where the text a call printed goes.  A stream the caller did not give for
// a captured stream falls back to sys.stdout / sys.stderr, so the text does
// not vanish.
struct Capture {
    engine_api::Handle handle = 0;
    Buffer buffer;
    PyObject* stream = nullptr;  // borrowed from the keywords
    const char* fallback = nullptr;
};

// The StringIO class the captures must be, looked up once: every collect
// reads its streams.  Borrowed (held for the life of the process); nullptr
// with an error set when it cannot be found.
PyObject* stringIOClass() {
    static PyObject* cls = nullptr;
    if (cls != nullptr) return cls;
#ifdef VELDRA_PY2
    PyRef io = PyRef::steal(PyImport_ImportModule("StringIO"));
#else
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
#endif
    PyRef found = io ? PyRef::steal(PyObject_GetAttrString(io.get(), "StringIO")) : PyRef();
    if (!found) {
        setErrorFromMessage(PyExc_NameError, msg::engine::StringIODoesNotExist());
        return nullptr;
    }
    cls = found.release();
    return cls;
}

// Reads the "out" and "err" keywords; each given stream must be an
// io.StringIO (StringIO.StringIO in the 2.7 build).
bool readStreams(PyObject* kwargs, Capture& out, Capture& err) {
    if (kwargs == nullptr) return true;
    PyObject* stringIO = stringIOClass();  // borrowed
    if (stringIO == nullptr) return false;
    return scanKeywords(
        kwargs,
        [&](bool isErr, PyObject* value) {
            if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(stringIO) &&
                PyObject_IsInstance(value, stringIO) != 1) {
                setErrorFromMessage(PyExc_TypeError,
                                    isErr ? msg::engine::StringIOForConErr() : msg::engine::StringIOForConOut());
                return false;
            }
            (isErr ? err : out).stream = value;
            return true;
        },
        [](PyObject*, PyObject*) { return true; });
}

// Writes the captured text, all of it (NULs included), to its stream.
// False with a Python error set when decoding or writing fails.
bool writeCaptured(const Capture& c) {
    if (c.handle == 0 || !c.buffer) return true;
    const fl::ustring text = c.buffer->str();
    if (text.empty()) return true;
    PyObject* stream = c.stream ? c.stream : PySys_GetObject(const_cast<char*>(c.fallback));  // borrowed
    if (stream == nullptr || stream == Py_None) return true;
    PyRef str = PyRef::steal(engineTextToStr(text));
    if (!str) return false;
    PyRef written = PyRef::steal(PyObject_CallMethod(stream, "write", "O", str.get()));
    return static_cast<bool>(written);
}

// Writes both captures; an error already pending stays the call's error.
void writeAll(const Capture& out, const Capture& err) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const bool failed = type != nullptr;
    for (const Capture* c : {&out, &err}) {
        if (!writeCaptured(*c) && failed) PyErr_Clear();
    }
    if (failed) {
        PyErr_Restore(type, value, traceback);
    }
}

PyObject* assemble(std::vector<vdutil::QxArrayPtr>& results, int numOut) {
    if (numOut < 1 || results.empty()) Py_RETURN_NONE;
    auto convert = [](vdutil::QxArrayPtr& r) {
        PythonQxarray::ArrayHolder holder(r.release());
        return PythonQxarray::toPyObject(holder);
    };
    if (results.size() == 1) return convert(results[0]);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(results.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* item = convert(results[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// The future handle from item 0 of the positional tuple.
bool readFuture(PyObject* args, engine_api::Handle& future) {
    PyObject* handles = positional(args, 0, msg::engine::HandleShouldBeTuple);
    std::vector<engine_api::Handle> h;
    if (!handles || !readHandleTuple(handles, 1, h)) return false;
    future = h[0];
    return true;
}

// Runs `call`, an engine-client operation on `future` that waits at most
// `timeout` seconds, without the interpreter lock only when it may wait: a
// call that has finished (or no wait at all) keeps the lock, since letting it
// go would hand it to another thread for a few microseconds of work.
template <class Call>
decltype(auto) withoutGilIfWaiting(engine_api::Handle future, double timeout, Call&& call) {
    if (timeout == 0 || engine_api::isDoneFEval(future)) return call();
    return withoutGil(std::forward<Call>(call));
}

// A yes-or-no question about the future named by the first argument.
// Questions that never wait (is it done, was it cancelled) keep the
// interpreter lock: they look at the call's state and nothing more.
template <class Op>
PyObject* askFuture(PyObject* args, Op op, bool mayWait) {
    engine_api::Handle future = 0;
    if (!readFuture(args, future)) return nullptr;
    return PyBool_FromLong(mayWait ? withoutGil([&] { return op(future); }) : op(future));
}

}  // namespace

PyObject* getFEvalResultImpl(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 3) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::FevalResultTakes3Args());
        return nullptr;
    }
    std::vector<engine_api::Handle> handles;
    int numOut = 0;
    double timeout = 0;
    const double noLimit = -1.0;
    if (!readHandleTuple(PyTuple_GET_ITEM(args, 0), 3, handles) ||
        !readInt32(PyTuple_GET_ITEM(args, 1), msg::engine::NumOutShouldBeInt, numOut) ||
        !readTimeout(PyTuple_GET_ITEM(args, 2), timeout, &noLimit))
        return nullptr;

    // numpy=True: numeric and logical results as NumPy arrays.
    PyObject* numpyFlag = nullptr;  // borrowed
    if (kwargs != nullptr) {
        // The key made once: every collect looks for it.
#ifdef VELDRA_PY2
        static PyObject* const key = PyString_InternFromString("numpy");
#else
        static PyObject* const key = PyUnicode_InternFromString("numpy");
#endif
        if (key == nullptr) return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
        numpyFlag = PyDict_GetItem(kwargs, key);
    }
    const int asNumpy = numpyFlag ? PyObject_IsTrue(numpyFlag) : 0;
    if (asNumpy < 0) return nullptr;

    Capture out{handles[1], Buffer(), nullptr, "stdout"};
    Capture err{handles[2], Buffer(), nullptr, "stderr"};
    if ((out.handle != 0 || err.handle != 0) && !readStreams(kwargs, out, err)) return nullptr;

    // Translated here, not at the boundary: the text the call printed goes
    // out on failure too.
    PyRef result;
    translated(Failures::Result, [&] {
        if (err.handle != 0) err.buffer.reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
        if (out.handle != 0) out.buffer.reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
        std::vector<vdutil::QxArrayPtr> results = withoutGilIfWaiting(
            handles[0], timeout, [&] { return engine_api::getFEvalResult(handles, out.buffer, err.buffer, timeout); });
        PythonQxarray::NumpyResults mode(asNumpy != 0);
        result = PyRef::steal(assemble(results, numOut));
    });
    writeAll(out, err);
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

// _batch.collect_many(batch, nout, out=None, err=None): the results of the
// calls of `batch` (a handle from submit_many), in order, waiting as long as
// they take; the text of the calls up to the first that failed goes to the
// streams.  The batch is released on every path: when a call failed (its
// error is raised, the calls after it are cancelled) or the wait was
// interrupted by a signal.
PyObject* collectManyImpl(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* batchArg = nullptr;
    PyObject* nout = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &batchArg, &nout)) return nullptr;
    engine_api::Handle batch = 0;
    int numOut = 0;
    if (!readHandle(batchArg, msg::engine::HandleShouldBeTuple, batch) ||
        !readInt32(nout, msg::engine::NumOutShouldBeInt, numOut))
        return nullptr;
    // The buffers exist for the streams given; no stream, no text kept.
    Capture out{0, Buffer(), nullptr, "stdout"};
    Capture err{0, Buffer(), nullptr, "stderr"};
    if (!readStreams(kwargs, out, err)) return nullptr;

    // Translated here, not at the boundary: the batch is released and the
    // text goes out on failure too.
    PyRef results;
    const bool collected = translated(Failures::Result, [&] {
        if (out.stream) {
            out.handle = 1;
            out.buffer.reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
        }
        if (err.stream) {
            err.handle = 1;
            err.buffer.reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
        }
        // The wait goes in slices, so that Ctrl-C gets in between.
        constexpr double kSlice = 0.1;
        std::vector<engine_api::BatchCall> calls;
        for (bool got = false; !got;) {
            try {
                calls = withoutGil([&] { return engine_api::getFunctionBatchResult(batch, kSlice); });
                got = true;
            } catch (const engine_api::TimeoutException&) {  // a slice is over, not the wait
                if (PyErr_CheckSignals() < 0) throw PythonErrorSet();
            }
        }
        results = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(calls.size())));
        if (!results) throw PythonErrorSet();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            engine_api::BatchCall& c = calls[i];
            if (out.buffer && !c.out.empty())
                out.buffer->sputn(c.out.data(), static_cast<std::streamsize>(c.out.size()));
            if (err.buffer && !c.err.empty())
                err.buffer->sputn(c.err.data(), static_cast<std::streamsize>(c.err.size()));
            if (c.error) std::rethrow_exception(c.error);
            PyObject* item = assemble(c.results, numOut);
            if (!item) throw PythonErrorSet();
            PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), item);
        }
    });
    if (!collected) results = PyRef();
    {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        withoutGil([&]() noexcept {
            try {
                engine_api::destroyFunctionBatch(batch);
            } catch (...) {
                // Released already (or the engine went): nothing to do.
            }
        });
        PyErr_Restore(type, value, traceback);
    }
    writeAll(out, err);
    if (PyErr_Occurred()) return nullptr;
    return results.release();
}

// _batch.release(batch): releases a batch from submit_many that will not be
// collected; its calls still to run are cancelled.
PyObject* releaseManyImpl(PyObject*, PyObject* args) {
    PyObject* batchArg = nullptr;
    if (!PyArg_ParseTuple(args, "O", &batchArg)) return nullptr;
    engine_api::Handle batch = 0;
    if (!readHandle(batchArg, msg::engine::HandleShouldBeTuple, batch)) return nullptr;
    withoutGil([&] { engine_api::destroyFunctionBatch(batch); });
    Py_RETURN_NONE;
}

// takeFEvalOutput(handles): (out, err), the text the call has written to
// each captured stream since the last take, each a str or None when there is
// none; what is left comes with the result.
PyObject* takeFEvalOutputImpl(PyObject*, PyObject* args) {
    PyObject* tuple = positional(args, 0, msg::engine::HandleShouldBeTuple);
    std::vector<engine_api::Handle> handles;
    if (!tuple || !readHandleTuple(tuple, 3, handles)) return nullptr;
    Buffer buffers[2];
    if (handles[1]) buffers[0].reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
    if (handles[2]) buffers[1].reset(new engine_api::ustringbuf(std::ios::in | std::ios::out));
    withoutGil([&] { engine_api::takeFEvalOutput(handles, buffers[0], buffers[1]); });
    PyRef texts[2];
    for (int i = 0; i < 2; ++i) {
        const fl::ustring text = buffers[i] ? buffers[i]->str() : fl::ustring();
        texts[i] = text.empty() ? PyRef::borrow(Py_None) : PyRef::steal(engineTextToStr(text));
        if (!texts[i]) return nullptr;
    }
    return PyTuple_Pack(2, texts[0].get(), texts[1].get());
}

// takeFEvalProgress(handles): (done, total), the call's latest progress
// report, or None when none came since the last take.
PyObject* takeFEvalProgressImpl(PyObject*, PyObject* args) {
    engine_api::Handle future = 0;
    if (!readFuture(args, future)) return nullptr;
    double done = 0, total = 0;
    if (!withoutGil([&] { return engine_api::takeFEvalProgress(future, done, total); })) Py_RETURN_NONE;
    return Py_BuildValue("(dd)", done, total);
}

PyObject* destroyFEvalResultImpl(PyObject*, PyObject* args) {
    PyObject* tuple = positional(args, 0, msg::engine::HandleShouldBeTuple);
    std::vector<engine_api::Handle> handles;
    if (!tuple || !readHandleTuple(tuple, 3, handles)) return nullptr;
    // A collected call is released keeping the lock, as it cannot wait.
    if (!engine_api::destroyFEvalResultNow(handles)) withoutGil([&] { engine_api::destroyFEvalResult(handles); });
    Py_RETURN_NONE;
}

PyObject* cancelFEvalImpl(PyObject*, PyObject* args) {
    return askFuture(args, engine_api::cancelFEval, true);
}
PyObject* isDoneFEvalImpl(PyObject*, PyObject* args) {
    return askFuture(args, engine_api::isDoneFEval, false);
}
PyObject* isCancelledFEvalImpl(PyObject*, PyObject* args) {
    return askFuture(args, engine_api::isCancelledFEval, false);
}

PyObject* waitForFEvalImpl(PyObject*, PyObject* args) {
    engine_api::Handle future = 0;
    if (!readFuture(args, future)) return nullptr;
    PyObject* t = positional(args, 1, msg::engine::TimtoutShouldBeIntFloat);
    double timeout = 0;
    if (!t || !readTimeout(t, timeout)) return nullptr;
    return PyBool_FromLong(
        withoutGilIfWaiting(future, timeout, [&] { return engine_api::waitFEval(future, timeout); }));
}

}  // namespace veldra
