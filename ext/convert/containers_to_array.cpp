// Lists, tuples and sets to cell arrays, dicts to structs.
#include <convert/to_array_converters.hpp>

#include <core/errors.hpp>

#include <cstring>
#include <vector>

namespace PythonQxarray {

using matrix::unique_array_ptr;
using veldra::PyRef;

namespace {

// Bounds nesting by the interpreter's recursion limit, so that a container
// reaching itself through others ends in RecursionError, not a crash.
class RecursionGuard {
public:
    RecursionGuard() : entered_(Py_EnterRecursiveCall(" while converting a value for VELDRA") == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

// The containers being converted on this thread, outermost first: one met
// again is a cycle (a list holding a dict holding the list), refused as a
// container holding itself.  Per thread, since Python code that runs during
// a conversion may let another thread convert meanwhile.
thread_local std::vector<PyObject*> tlsPath;

class PathEntry {
public:
    explicit PathEntry(PyObject* container) {
        for (PyObject* seen : tlsPath) {
            if (seen == container) {
                veldra::setErrorFromMessage(PyExc_ValueError, PyDict_Check(container)
                                                                  ? veldra::msg::qxarray::RecurDictNotSupported()
                                                                  : veldra::msg::qxarray::RecurListNotSupported());
                return;
            }
        }
        tlsPath.push_back(container);
        entered_ = true;
    }
    ~PathEntry() {
        if (entered_) tlsPath.pop_back();
    }
    PathEntry(const PathEntry&) = delete;
    PathEntry& operator=(const PathEntry&) = delete;
    bool entered() const noexcept { return entered_; }

private:
    bool entered_ = false;
};

// One element, the way toQxArray converts a top-level value.  The element
// array, or nullptr with the element's error set.
unique_array_ptr convertElement(PyObject* item) {
    return unique_array_ptr(findConverter(Py_TYPE(item)->tp_name, item).convert(item));
}

// Exact floats, what numeric lists and dicts are mostly made of, skip the
// converter lookup: the registry's "float" row is PyFloatToDouble for good,
// and this is what it makes.  No Python error can come of it.
bool isExactFloat(PyObject* item) {
    return Py_TYPE(item) == &PyFloat_Type;
}

qxArray* floatElement(PyObject* item) {
    qxArray* number = qxCreateDoubleScalar(PyFloat_AS_DOUBLE(item));
    if (!number) throw fl::except::bad_alloc();
    return number;
}

// Fills a 1-by-N cell from a snapshot of the items (a tuple holding them).
// `self` is the container itself when it must not hold itself.
qxArray* cellFromItems(PyObject* items, PyObject* self, PyObject* container) {
    RecursionGuard guard;
    if (!guard.entered()) return nullptr;
    PathEntry path(container);
    if (!path.entered()) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    unique_array_ptr cell(qxCreateCellMatrix(1, static_cast<qxSize>(n)));
    if (!cell) throw fl::except::bad_alloc();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, i);
        if (self != nullptr && item == self) {
            veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::RecurListNotSupported());
            return nullptr;
        }
        if (isExactFloat(item)) {
            qxSetCell(cell.get(), static_cast<qxSize>(i), floatElement(item));
            continue;
        }
        unique_array_ptr element = convertElement(item);
        // An element that converted with an error pending (integer overflow)
        // fails the whole value; no Python code runs with it pending.
        if (!element || PyErr_Occurred()) return nullptr;
        qxSetCell(cell.get(), static_cast<qxSize>(i), element.release());
    }
    return cell.release();
}

}  // namespace

qxArray* PyListToCell::convert(PyObject* value) const {
    PyRef items = PyRef::steal(PyList_AsTuple(value));
    return items ? cellFromItems(items.get(), value, value) : nullptr;
}

qxArray* PyTupleToCell::convert(PyObject* value) const {
    return cellFromItems(value, nullptr, value);
}

qxArray* PySetToCell::convert(PyObject* value) const {
    // The elements in the order the set hands them out; the set is left as it is.
    PyRef items = PyRef::steal(PySequence_Tuple(value));
    return items ? cellFromItems(items.get(), nullptr, value) : nullptr;
}

qxArray* PyDictToStruct::convert(PyObject* value) const {
    RecursionGuard guard;
    if (!guard.entered()) return nullptr;
    PathEntry path(value);
    if (!path.entered()) return nullptr;
    PyRef items = PyRef::steal(PyDict_Items(value));  // snapshot of (key, value) pairs
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());

    std::vector<const char*> names;
    names.reserve(static_cast<std::size_t>(n));
#ifdef VELDRA_PY2
    std::vector<PyRef> encodedKeys;  // unicode keys' bytes, held while the names are in use
#endif
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 0);
#ifdef VELDRA_PY2
        // Byte strings as they are; unicode in the interpreter's default
        // encoding.  A NUL inside would cut the name short: refused.
        PyObject* bytes = key;
        if (PyUnicode_Check(key)) {
            encodedKeys.push_back(
                PyRef::steal(PyUnicode_AsEncodedString(key, PyUnicode_GetDefaultEncoding(), nullptr)));
            bytes = encodedKeys.back().get();
        }
        const char* name = nullptr;
        if (bytes != nullptr && PyString_Check(bytes) &&
            std::strlen(PyString_AS_STRING(bytes)) == static_cast<std::size_t>(PyString_GET_SIZE(bytes)))
            name = PyString_AS_STRING(bytes);
#else
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
#endif
        if (name == nullptr || !qxIsValidVariableName(name)) {
            veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::InvalidStructField());
            return nullptr;
        }
        names.push_back(name);  // owned by the key, which the snapshot holds
    }
    unique_array_ptr s(qxCreateStructMatrix(1, 1, static_cast<int>(n), names.data()));
    if (!s) throw fl::except::bad_alloc();

    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* fieldValue = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1);
        if (fieldValue == value) {
            veldra::setErrorFromMessage(PyExc_ValueError, veldra::msg::qxarray::RecurDictNotSupported());
            return nullptr;
        }
        if (isExactFloat(fieldValue)) {
            qxSetFieldByNumber(s.get(), 0, static_cast<int>(j), floatElement(fieldValue));
            continue;
        }
        unique_array_ptr element = convertElement(fieldValue);
        if (!element || PyErr_Occurred()) return nullptr;
        qxSetFieldByNumber(s.get(), 0, static_cast<int>(j), element.release());
    }
    return s.release();
}

}  // namespace PythonQxarray
