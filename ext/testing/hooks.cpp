// Hooks for the tests and benchmarks, reached through ctypes.  Only a build
// with VELDRA_TEST_HOOKS has them; the module never calls them itself, and a
// shipped module does not carry them.
#include <convert/to_array.hpp>
#include <convert/to_python.hpp>

#include <platform/qx.hpp>

#include <chrono>

// For tests: the number of engine arrays alive in this process, so that a
// failed conversion can be shown to leave none behind.
extern "C" __attribute__((visibility("default"))) std::size_t veldra_live_arrays(void) {
    return qxLiveArrayCount();
}

// For benchmarks: converts `value` (borrowed) to an engine array and destroys
// it, reporting the seconds each step took.  0, or -1 with a Python error set.
// Call with the interpreter lock held.
extern "C" __attribute__((visibility("default"))) int veldra_convert_timed(PyObject* value, double* convert,
                                                                           double* destroy) {
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    qxArray* array = nullptr;
    try {
        array = PythonQxarray::toQxArray(value);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    const auto t1 = clock::now();
    const bool failed = array == nullptr || PyErr_Occurred() != nullptr;
    qxDestroyArray(array);
    const auto t2 = clock::now();
    *convert = std::chrono::duration<double>(t1 - t0).count();
    *destroy = std::chrono::duration<double>(t2 - t1).count();
    return failed ? -1 : 0;
}

// For benchmarks: converts `value` (borrowed) to an engine array, then times
// turning that array back into a Python value.  A new reference, or nullptr
// with a Python error set.  Call with the interpreter lock held.
extern "C" __attribute__((visibility("default"))) PyObject* veldra_to_python_timed(PyObject* value, double* seconds) {
    using clock = std::chrono::steady_clock;
    PyObject* result = nullptr;
    try {
        PythonQxarray::ArrayHolder holder(PythonQxarray::toQxArray(value));
        if (!holder || PyErr_Occurred()) return nullptr;
        const auto t0 = clock::now();
        result = PythonQxarray::toPyObject(holder);
        *seconds = std::chrono::duration<double>(clock::now() - t0).count();
    } catch (const std::bad_alloc&) {
        Py_CLEAR(result);
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        Py_CLEAR(result);
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return result;
}
