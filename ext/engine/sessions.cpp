// Module functions for the engine-client process and engine sessions: each
// checks its arguments, releases the interpreter lock around one engine-client
// operation and converts the result back.  What they throw is translated at
// their entry<> (the method table says by which policy).
#include <core/errors.hpp>
#include <core/gil.hpp>
#include <core/text.hpp>
#include <engine/functions.hpp>

#include <platform/engine_api.hpp>
#include <platform/i18n.hpp>

#include <string>
#include <vector>

namespace veldra {

namespace {

PyObject* handleToPython(engine_api::Handle h) {
    return Py_BuildValue("K", static_cast<unsigned long long>(h));
}

// Parses a single "K" handle; the interpreter's own error on failure.
bool parseHandle(PyObject* args, engine_api::Handle& handle) {
    unsigned long long h = 0;
    if (!PyArg_ParseTuple(args, "K", &h)) return false;
    handle = h;
    return true;
}

// A str as UTF-16 code units, without the byte-order mark the interpreter's
// encoder writes first.  False with the encoder's error set on failure.
bool toWide(PyObject* text, fl::ustring& wide) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF16String(text));
    if (!encoded) return false;
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    if (size >= 2) {
        bytes += 2;
        size -= 2;
    }
    wide.assign(reinterpret_cast<const fl::uchar*>(bytes), static_cast<std::size_t>(size) / sizeof(fl::uchar));
    return true;
}

}  // namespace

PyObject* createProcessImpl(PyObject*, PyObject*) {
    withoutGil(engine_api::createProcess);
    Py_RETURN_NONE;
}

PyObject* closeProcessImpl(PyObject*, PyObject*) {
    withoutGil(engine_api::terminateProcess);
    Py_RETURN_NONE;
}

PyObject* createVELDRAAsyncImpl(PyObject*, PyObject* args) {
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "O", &list)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::StartupOptionShouldBePO());
        return nullptr;
    }
    if (!PyList_Check(list)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::StartupOptionShouldBeLS());
        return nullptr;
    }
    std::vector<fl::ustring> options;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    options.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
#ifdef VELDRA_PY2
        // Byte strings only; a unicode option is refused.
        if (!PyString_Check(item)) {
            setErrorFromMessage(PyExc_TypeError, msg::engine::StartupOptionShouldBeStr());
            return nullptr;
        }
        const char* utf8 = PyString_AS_STRING(item);
#else
        if (!PyUnicode_Check(item)) {
            setErrorFromMessage(PyExc_TypeError, msg::engine::StartupOptionShouldBeStr());
            return nullptr;
        }
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, nullptr);
        if (!utf8) return nullptr;
#endif
        // Widened from the NUL-terminated form: an option ends at a NUL.
        options.push_back(fl::i18n::to_ustring(utf8));
    }
    return handleToPython(withoutGil([&] { return engine_api::createOutOfProcessVELDRAAsync(std::move(options)); }));
}

PyObject* getVELDRAImpl(PyObject*, PyObject* args) {
    engine_api::Handle launch = 0;
    if (!parseHandle(args, launch)) return nullptr;
    return handleToPython(withoutGil([&] { return engine_api::getOutOfProcessVELDRA(launch); }));
}

PyObject* attachVELDRAAsyncImpl(PyObject*, PyObject* args) {
    PyObject* name = nullptr;
    if (!PyArg_ParseTuple(args, "O", &name)) return nullptr;
    fl::ustring wide;
#ifdef VELDRA_PY2
    // A byte string is read as narrow text.
    if (PyString_Check(name)) {
        wide = fl::i18n::to_ustring(
            std::string(PyString_AS_STRING(name), static_cast<std::size_t>(PyString_GET_SIZE(name))));
    } else if (!toWide(name, wide)) {
        return nullptr;
    }
#else
    if (!toWide(name, wide)) return nullptr;
#endif
    return handleToPython(withoutGil([&] { return engine_api::attachSharedVELDRAAsync(wide); }));
}

PyObject* waitForVELDRAImpl(PyObject*, PyObject* args) {
    unsigned long long launch = 0;
    double timeout = 0;
    if (!PyArg_ParseTuple(args, "Kd", &launch, &timeout)) return nullptr;
    return PyBool_FromLong(withoutGil([&] { return engine_api::waitVELDRA(launch, timeout); }));
}

PyObject* isDoneVELDRAImpl(PyObject*, PyObject* args) {
    engine_api::Handle launch = 0;
    if (!parseHandle(args, launch)) return nullptr;
    return PyBool_FromLong(withoutGil([&] { return engine_api::isDoneVELDRA(launch); }));
}

PyObject* cancelVELDRAImpl(PyObject*, PyObject* args) {
    engine_api::Handle launch = 0;
    if (!parseHandle(args, launch)) return nullptr;
    withoutGil([&] { engine_api::cancelVELDRAAsync(launch); });
    Py_RETURN_NONE;
}

PyObject* destroyVELDRAImpl(PyObject*, PyObject* args) {
    engine_api::Handle handle = 0;
    if (!parseHandle(args, handle)) return nullptr;
    withoutGil([&] { engine_api::destroyVELDRAHandle(handle); });
    Py_RETURN_NONE;
}

PyObject* findVELDRAImpl(PyObject*, PyObject*) {
    const std::vector<fl::ustring> names = withoutGil(engine_api::findSharedVELDRA);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = engineTextToStr(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

PyObject* closeVELDRAImpl(PyObject*, PyObject* args) {
    unsigned long long engine = 0;
    if (!PyArg_ParseTuple(args, "K", &engine)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::HandleToVeldraShouldBeLI());
        return nullptr;
    }
    withoutGil([&] { engine_api::terminateOutOfProcessVELDRA(engine); });
    Py_RETURN_NONE;
}

}  // namespace veldra
