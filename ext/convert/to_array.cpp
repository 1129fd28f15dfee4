#include <convert/to_array.hpp>
#include <convert/to_array_converters.hpp>

#include <core/errors.hpp>

#include <cstring>

namespace PythonQxarray {

namespace {

ToQxRegistry& registry() {
    static ToQxRegistry r;
    return r;
}

}  // namespace

const ToQxRegistry& pyTypeConverters() {
    return registry();
}

void initToQxConverters() {
    ToQxRegistry& r = registry();
    if (!r.empty()) return;
    // In insertion order; every row owns its own converter.
    r.emplace("float", boost::shared_ptr<ConvertToQxArray>(new PyFloatToDouble));
    r.emplace("complex", boost::shared_ptr<ConvertToQxArray>(new PyComplexToDouble));
    r.emplace("int", boost::shared_ptr<ConvertToQxArray>(new PyIntToInt64));
    r.emplace("long", boost::shared_ptr<ConvertToQxArray>(new PyLongToInt64));
    r.emplace("bool", boost::shared_ptr<ConvertToQxArray>(new PyBoolToLogical));
    r.emplace("str", boost::shared_ptr<ConvertToQxArray>(new PyStrToChar));
#ifdef VELDRA_PY2
    r.emplace("unicode", boost::shared_ptr<ConvertToQxArray>(new PyUnicodeToChar));
#endif
    r.emplace("dict", boost::shared_ptr<ConvertToQxArray>(new PyDictToStruct));
    r.emplace("set", boost::shared_ptr<ConvertToQxArray>(new PySetToCell));
    r.emplace("list", boost::shared_ptr<ConvertToQxArray>(new PyListToCell));
    r.emplace("tuple", boost::shared_ptr<ConvertToQxArray>(new PyTupleToCell));
    r.emplace("bytes", boost::shared_ptr<ConvertToQxArray>(new PyBytesToUint8));
    r.emplace("bytearray", boost::shared_ptr<ConvertToQxArray>(new PyByteArrayToUint8));
    r.emplace("NoneType", boost::shared_ptr<ConvertToQxArray>(new PyNoneToError));
    r.emplace("memoryview", boost::shared_ptr<ConvertToQxArray>(new PyMVToError));
    r.emplace("NULL", boost::shared_ptr<ConvertToQxArray>(new NullToError));
    // The scalar types (numpy.float64, numpy.bool_, ...) share this row: see findConverter.
    r.emplace("numpy.ndarray", boost::shared_ptr<ConvertToQxArray>(new PyNumpyToArray));
    r.emplace("veldra.object", boost::shared_ptr<ConvertToQxArray>(new PyObjectToRef));
    r.emplace("vdarray.double", boost::shared_ptr<ConvertToQxArray>(new PyVdDoubleToDouble));
    r.emplace("vdarray.single", boost::shared_ptr<ConvertToQxArray>(new PyVdSingleToSingle));
    r.emplace("vdarray.int8", boost::shared_ptr<ConvertToQxArray>(new PyVdInt8ToInt8));
    r.emplace("vdarray.int16", boost::shared_ptr<ConvertToQxArray>(new PyVdInt16ToInt16));
    r.emplace("vdarray.int32", boost::shared_ptr<ConvertToQxArray>(new PyVdInt32ToInt32));
    r.emplace("vdarray.int64", boost::shared_ptr<ConvertToQxArray>(new PyVdInt64ToInt64));
    r.emplace("vdarray.uint8", boost::shared_ptr<ConvertToQxArray>(new PyVdUint8ToUint8));
    r.emplace("vdarray.uint16", boost::shared_ptr<ConvertToQxArray>(new PyVdUint16ToUint16));
    r.emplace("vdarray.uint32", boost::shared_ptr<ConvertToQxArray>(new PyVdUint32ToUint32));
    r.emplace("vdarray.uint64", boost::shared_ptr<ConvertToQxArray>(new PyVdUint64ToUint64));
    r.emplace("vdarray.logical", boost::shared_ptr<ConvertToQxArray>(new PyVdLogicalToLogical));
}

namespace {

// Converters of the types that are not defined in Python, by type object.
// Such a type lives as long as the interpreter and its key cannot change,
// so the registry's answer holds for good.  Read and written with the
// interpreter lock held.
class StaticTypeCache {
public:
    const ConvertToQxArray* find(PyTypeObject* type) const noexcept {
        for (std::size_t i = 0; i < used_; ++i)
            if (rows_[i].type == type) return rows_[i].converter;
        return nullptr;
    }
    void add(PyTypeObject* type, const ConvertToQxArray* converter) noexcept {
        if (used_ < kRows) rows_[used_++] = Row{type, converter};
    }

private:
    struct Row {
        PyTypeObject* type;
        const ConvertToQxArray* converter;
    };
    static constexpr std::size_t kRows = 32;
    Row rows_[kRows]{};
    std::size_t used_ = 0;
};

StaticTypeCache& staticTypes() {
    static StaticTypeCache cache;
    return cache;
}

}  // namespace

const ConvertToQxArray& findConverter(const char* typeName, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    const bool cacheable = !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && typeName == type->tp_name;
    if (cacheable) {
        if (const ConvertToQxArray* known = staticTypes().find(type)) return *known;
    }
    std::string key = typeName;
    // The type's own dictionary only: a subclass has a key of its own.
    veldra::PyRef dict = veldra::PyRef::steal(veldra::compat::typeDict(type));
    PyObject* module = dict ? PyDict_GetItemString(dict.get(), "__module__") : nullptr;
#ifdef VELDRA_PY2
    // Classes of the typed-array module are "vdarray.<name>"; every other
    // class goes by its bare name, and is refused even when that is the name
    // of a built-in type: its converter would read the value as that type.
    bool foreignClass = false;
    if (module != nullptr) {
        if (PyString_Check(module) && std::strstr(PyString_AS_STRING(module), "veldra.vdarray"))
            key = std::string("vdarray.") + typeName;
        else foreignClass = true;
    }
#else
    const bool foreignClass = false;
    if (module != nullptr) {
        if (const char* name = PyUnicode_AsUTF8(module)) key = std::string(name) + "." + typeName;
    }
#endif
    const ToQxRegistry& r = registry();
    auto found = foreignClass ? r.end() : r.find(key);
    // NumPy's own types (its scalars, and ndarray) are read by their buffer;
    // subclasses defined in Python (masked arrays, matrices) are not.
    if (found == r.end() && cacheable && std::strncmp(typeName, "numpy.", 6) == 0) found = r.find("numpy.ndarray");
    if (found != r.end()) {
        if (cacheable) staticTypes().add(type, found->second.get());
        return *found->second;
    }
    veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedPythonData(key));
    return *r.at("NULL");
}

qxArray* toQxArray(PyObject* value) {
    return findConverter(Py_TYPE(value)->tp_name, value).convert(value);
}

}  // namespace PythonQxarray
