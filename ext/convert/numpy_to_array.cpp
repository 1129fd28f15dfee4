// NumPy arrays and scalars to numeric and logical engine arrays.
//
// They are read through the buffer protocol alone (format, shape, strides),
// so the module neither needs NumPy's headers nor NumPy itself: without
// NumPy no value ever reaches this converter.
#include <convert/array_buffer.hpp>
#include <convert/block_type.hpp>
#include <convert/to_array_converters.hpp>

#include <core/errors.hpp>
#include <core/gil.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace PythonQxarray {

using matrix::unique_array_ptr;
using veldra::PyRef;

namespace {

// Copies of this many bytes and more run with the interpreter lock
// released; the held buffer view keeps the memory in place meanwhile.
constexpr std::size_t kUnlockedCopyBytes = std::size_t(1) << 20;

// The engine class of a buffer's items, with complexity; false for formats
// without one (float16, long double, objects, text, records, another byte
// order).
bool classOf(const Py_buffer& view, qxClassID& classID, bool& isComplex) {
    const char* f = view.format;
    if (f == nullptr) return false;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    const char native = '>';
#else
    const char native = '<';
#endif
    if (*f == '@' || *f == '=' || *f == native || (native == '>' && *f == '!')) ++f;
    isComplex = *f == 'Z';
    if (isComplex) ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    const Py_ssize_t width = isComplex ? view.itemsize / 2 : view.itemsize;
    if (isComplex && view.itemsize % 2 != 0) return false;
    const char code = f[0];
    static const qxClassID sint[] = {qxINT8_CLASS,    qxINT16_CLASS,   qxUNKNOWN_CLASS, qxINT32_CLASS,
                                     qxUNKNOWN_CLASS, qxUNKNOWN_CLASS, qxUNKNOWN_CLASS, qxINT64_CLASS};
    static const qxClassID uint[] = {qxUINT8_CLASS,   qxUINT16_CLASS,  qxUNKNOWN_CLASS, qxUINT32_CLASS,
                                     qxUNKNOWN_CLASS, qxUNKNOWN_CLASS, qxUNKNOWN_CLASS, qxUINT64_CLASS};
    classID = qxUNKNOWN_CLASS;
    if (code == 'd' && width == 8) classID = qxDOUBLE_CLASS;
    else if (code == 'f' && width == 4) classID = qxSINGLE_CLASS;
    else if (code == '?' && width == 1 && !isComplex) classID = qxLOGICAL_CLASS;
    else if (!isComplex && width >= 1 && width <= 8 && std::strchr("bhilq", code)) classID = sint[width - 1];
    else if (!isComplex && width >= 1 && width <= 8 && std::strchr("BHILQ", code)) classID = uint[width - 1];
    return classID != qxUNKNOWN_CLASS;
}

// Refuses the value with the module's unsupported-value error, naming its
// type and, when it has one, its dtype.
void refuse(PyObject* value) {
    std::string key = Py_TYPE(value)->tp_name;
    PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &error, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(error);
    Py_XDECREF(traceback);
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(value, "dtype"));
    PyRef text = dtype ? PyRef::steal(PyObject_Str(dtype.get())) : PyRef();
#ifdef VELDRA_PY2
    const char* name = text && PyString_Check(text.get()) ? PyString_AS_STRING(text.get()) : nullptr;
#else
    const char* name = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
#endif
    if (name != nullptr) key += std::string(" (dtype ") + name + ")";
    PyErr_Clear();
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedPythonData(key));
}

// The engine dimensions of a NumPy shape: 0-d is 1-by-1, 1-d of n is 1-by-n
// (0-by-0 when empty), as the typed-array constructors do; trailing
// singleton dimensions past the second are dropped.
std::vector<qxSize> engineDims(const Py_buffer& view) {
    std::vector<qxSize> dims;
    if (view.ndim == 0) return {1, 1};
    if (view.ndim == 1) {
        if (view.shape[0] == 0) return {0, 0};
        return {1, static_cast<qxSize>(view.shape[0])};
    }
    for (int i = 0; i < view.ndim; ++i) dims.push_back(static_cast<qxSize>(view.shape[i]));
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    return dims;
}

bool fortranContiguous(const Py_buffer& view) {
    Py_ssize_t expected = view.itemsize;
    for (int i = 0; i < view.ndim; ++i) {
        if (view.shape[i] != 1 && view.strides[i] != expected) return false;
        expected *= view.shape[i];
    }
    return true;
}

// Copies items of `width` bytes along axis 0 (`n` of them, `stride` apart)
// to consecutive places; the constant widths let the compiler move each
// item in one load and store.
template <std::size_t W>
void gatherRun(char* out, const char* in, Py_ssize_t n, Py_ssize_t stride) {
    for (Py_ssize_t i = 0; i < n; ++i, out += W, in += stride) std::memcpy(out, in, W);
}

void gather(char* out, const char* in, Py_ssize_t n, Py_ssize_t stride, std::size_t width) {
    switch (width) {
    case 1:
        gatherRun<1>(out, in, n, stride);
        break;
    case 2:
        gatherRun<2>(out, in, n, stride);
        break;
    case 4:
        gatherRun<4>(out, in, n, stride);
        break;
    default:
        gatherRun<8>(out, in, n, stride);
        break;
    }
}

// Writes the elements of `view` in column-major order (first index fastest)
// to `re` and, for a complex view, the imaginary halves to `im`.
void copyElements(const Py_buffer& view, char* re, char* im, std::size_t width) {
    const std::size_t count = qxSize(view.len / view.itemsize);
    if (count == 0) return;
    const char* base = static_cast<const char*>(view.buf);
    if (im == nullptr && fortranContiguous(view)) {
        std::memcpy(re, base, count * width);
        return;
    }
    const int ndim = view.ndim;
    const Py_ssize_t n0 = ndim == 0 ? 1 : view.shape[0];
    const Py_ssize_t s0 = ndim == 0 ? 0 : view.strides[0];
    std::vector<Py_ssize_t> index(ndim > 1 ? ndim : 1, 0);
    std::size_t done = 0;
    while (done < count) {
        Py_ssize_t offset = 0;
        for (int d = 1; d < ndim; ++d) offset += index[d] * view.strides[d];
        gather(re + done * width, base + offset, n0, s0, width);
        if (im != nullptr) gather(im + done * width, base + offset + width, n0, s0, width);
        done += std::size_t(n0);
        for (int d = 1; d < ndim; ++d) {  // the next run: an odometer over axes 1...
            if (++index[d] < view.shape[d]) break;
            index[d] = 0;
        }
    }
}

// Reads the value's items.  NumPy scalars of Python 2.7 builds offer no
// buffer of their own; their 0-d array (which the view then holds) does.
bool getRecordsOf(PyObject* value, HeldBuffer& buffer) {
    if (buffer.getRecords(value)) return true;
#if PY_MAJOR_VERSION < 3
    PyErr_Clear();
    PyRef array = PyRef::steal(PyObject_CallMethod(value, const_cast<char*>("__array__"), nullptr));
    if (array && buffer.getRecords(array.get())) return true;
#endif
    return false;
}

}  // namespace

qxArray* PyNumpyToArray::convert(PyObject* value) const {
    HeldBuffer buffer;
    if (!getRecordsOf(value, buffer)) {
        refuse(value);
        return nullptr;
    }
    const Py_buffer& view = buffer.view();
    qxClassID classID = qxUNKNOWN_CLASS;
    bool isComplex = false;
    if (!classOf(view, classID, isComplex) || (view.ndim > 0 && view.strides == nullptr)) {
        refuse(value);
        return nullptr;
    }
    // A result that comes back unchanged goes as the engine array it is, a
    // view of an own block as that block.
    const std::vector<qxSize> dims = engineDims(view);
    if (qxArray* same = sharedEngineArray(value, view, classID, isComplex, dims)) return same;
    unique_array_ptr a = newArrayForOverwrite(dims, classID, isComplex);
    if (!a) return nullptr;
    const std::size_t width = qxGetElementSize(a.get());
    char* re = static_cast<char*>(qxGetData(a.get()));
    char* im = isComplex ? static_cast<char*>(qxGetImagData(a.get())) : nullptr;
    if (static_cast<std::size_t>(view.len) >= kUnlockedCopyBytes) {
        veldra::GilRelease nogil;
        copyElements(view, re, im, width);
    } else {
        copyElements(view, re, im, width);
    }
    return a.release();
}

}  // namespace PythonQxarray
