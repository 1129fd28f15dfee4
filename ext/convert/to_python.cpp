#include <convert/to_python.hpp>
#include <convert/to_python_converters.hpp>

#include <core/errors.hpp>

namespace PythonQxarray {

ConvertToPyObject::~ConvertToPyObject() = default;

namespace {

ToPyRegistry& scalars() {
    static ToPyRegistry r;
    return r;
}
ToPyRegistry& arrays() {
    static ToPyRegistry r;
    return r;
}

template <class T>
boost::shared_ptr<ConvertToPyObject> make() {
    return boost::shared_ptr<ConvertToPyObject>(new T);
}

PyObject* dispatch(ArrayHolder& holder, bool release) {
    const qxArray* a = holder.get();
    const ToPyRegistry& r = qxIsScalar(a) ? scalars() : arrays();
    auto it = r.find(qxGetClassID(a));
    if (it == r.end()) {  // function values and the like, also inside cells
        veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedVeldraType());
        return nullptr;
    }
    return it->second->convert(holder, release);
}

}  // namespace

const ToPyRegistry& scalarConverters() {
    return scalars();
}
const ToPyRegistry& arrayConverters() {
    return arrays();
}

void initToPyConverters() {
    ToPyRegistry& s = scalars();
    ToPyRegistry& a = arrays();
    if (!s.empty() || !a.empty()) return;
    s.emplace(qxCELL_CLASS, make<CellToPyList>());
    s.emplace(qxSTRUCT_CLASS, make<StructToPyDict>());
    s.emplace(qxLOGICAL_CLASS, make<LogicalToPyBool>());
    s.emplace(qxCHAR_CLASS, make<CharToPyStr>());
    s.emplace(qxDOUBLE_CLASS, make<DoubleToPyFloat>());
    s.emplace(qxSINGLE_CLASS, make<SingleToPyFloat>());
    s.emplace(qxINT8_CLASS, make<Int8ToPyInt>());
    s.emplace(qxUINT8_CLASS, make<Uint8ToPyInt>());
    s.emplace(qxINT16_CLASS, make<Int16ToPyInt>());
    s.emplace(qxUINT16_CLASS, make<Uint16ToPyInt>());
    s.emplace(qxINT32_CLASS, make<Int32ToPyInt>());
    s.emplace(qxUINT32_CLASS, make<Uint32ToPyLong>());
    s.emplace(qxINT64_CLASS, make<Int64ToPyLong>());
    s.emplace(qxUINT64_CLASS, make<Uint64ToPyLong>());
    s.emplace(qxOBJECT_CLASS, make<OpaqueToPyObject>());

    a.emplace(qxCELL_CLASS, make<CellToPyList>());
    a.emplace(qxSTRUCT_CLASS, make<StructToPyDict>());
    a.emplace(qxLOGICAL_CLASS, make<LogicalToPyVdLogical>());
    a.emplace(qxCHAR_CLASS, make<CharToPyStr>());
    a.emplace(qxDOUBLE_CLASS, make<DoubleToPyVdDouble>());
    a.emplace(qxSINGLE_CLASS, make<SingleToPyVdSingle>());
    a.emplace(qxINT8_CLASS, make<Int8ToPyVdInt8>());
    a.emplace(qxUINT8_CLASS, make<Uint8ToPyVdUint8>());
    a.emplace(qxINT16_CLASS, make<Int16ToPyVdInt16>());
    a.emplace(qxUINT16_CLASS, make<Uint16ToPyVdUint16>());
    a.emplace(qxINT32_CLASS, make<Int32ToPyVdInt32>());
    a.emplace(qxUINT32_CLASS, make<Uint32ToPyVdUint32>());
    a.emplace(qxINT64_CLASS, make<Int64ToPyVdInt64>());
    a.emplace(qxUINT64_CLASS, make<Uint64ToPyVdUint64>());
    a.emplace(qxOBJECT_CLASS, make<OpaqueToPyObject>());
}

PyObject* toPyObject(ArrayHolder& holder) {
    const int classID = holder ? qxGetClassID(holder.get()) : 0;
    if (classID == qxUNKNOWN_CLASS || classID == qxFUNCTION_CLASS || qxIsSparse(holder.get())) {
        veldra::setErrorFromMessage(PyExc_TypeError, veldra::msg::qxarray::UnsupportedVeldraType());
        return nullptr;
    }
    return dispatch(holder, false);
}

PyObject* elementToPyObject(qxArray* element) {
    ArrayHolder holder(element);
    try {
        PyObject* result = dispatch(holder, true);
        holder.release();  // the element stays with its container
        return result;
    } catch (...) {
        holder.release();
        throw;
    }
}

}  // namespace PythonQxarray
