// Cells and structs: arrays whose elements are owned member arrays.
#include "array_impl.hpp"

#include <climits>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <utility>

using namespace qx::impl;

namespace {

qxArray* createSlotArray(qxSize ndim, const qxSize* dims, qxClassID cls, qxSize perElement,
                         std::vector<std::shared_ptr<const std::string>>* fields) {
    Shape shape;
    if (!normalizeDims(ndim, dims, &shape)) return nullptr;
    qxSize count = 0;
    if (!mulSize(shape.numel, perElement, &count)) return nullptr;
    qxArray** slots = allocateSlots(count);
    if (count > 0 && !slots) return nullptr;
    Record* a = newRecord(cls, 0, shape);
    if (!a) {
        std::free(slots);
        return nullptr;
    }
    a->payload.slots = slots;
    if (fields) {
        if (!addExtra(a)) {
            qxDestroyArray(a);
            return nullptr;
        }
        a->extra->fields = std::move(*fields);
    }
    return a;
}

// Stores `value` in slot `i`, destroying what was there.  Setting an array
// into itself would make a cycle, so it is refused and left with the caller.
bool setSlot(qxArray* a, qxSize i, qxArray* value) {
    if (value == a) return false;
    qxArray*& slot = full(a)->payload.slots[i];
    if (slot != value) {
        qxDestroyArray(slot);
        slot = value;
    }
    return true;
}

bool isStruct(const qxArray* s) {
    return s && s->cls == qxSTRUCT_CLASS;
}

bool validField(const qxArray* s, int field) {
    return isStruct(s) && field >= 0 && static_cast<std::size_t>(field) < fieldCount(s);
}

int findField(const qxArray* s, const char* name) {
    for (std::size_t i = 0; i < fieldCount(s); ++i)
        if (*full(s)->extra->fields[i] == name) return static_cast<int>(i);
    return -1;
}

}  // namespace

bool qxIsValidVariableName(const char* name) {
    if (!name) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(name[0])) return false;
    std::size_t i = 1;
    for (; name[i] != '\0'; ++i) {
        if (i >= 63) return false;
        const char c = name[i];
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return true;
}

qxArray* qxCreateCellMatrix(qxSize m, qxSize n) {
    const qxSize dims[2] = {m, n};
    return qxCreateCellArray(2, dims);
}

qxArray* qxCreateCellArray(qxSize ndim, const qxSize* dims) {
    return createSlotArray(ndim, dims, qxCELL_CLASS, 1, nullptr);
}

qxArray* qxGetCell(const qxArray* cell, qxSize index) {
    if (!cell || cell->cls != qxCELL_CLASS || index >= numelOf(cell)) return nullptr;
    return full(cell)->payload.slots[index];
}

bool qxSetCell(qxArray* cell, qxSize index, qxArray* value) {
    if (!cell || cell->cls != qxCELL_CLASS || index >= numelOf(cell)) {
        if (value != cell) qxDestroyArray(value);
        return false;
    }
    return setSlot(cell, index, value);
}

qxArray* qxCreateStructMatrix(qxSize m, qxSize n, int nfields, const char** fieldNames) {
    const qxSize dims[2] = {m, n};
    return qxCreateStructArray(2, dims, nfields, fieldNames);
}

qxArray* qxCreateStructArray(qxSize ndim, const qxSize* dims, int nfields, const char** fieldNames) {
    if (nfields < 0 || (nfields > 0 && !fieldNames)) return nullptr;
    std::vector<std::shared_ptr<const std::string>> names;
    try {
        names.reserve(static_cast<std::size_t>(nfields));
        std::unordered_set<std::string_view> seen;
        seen.reserve(static_cast<std::size_t>(nfields));
        for (int i = 0; i < nfields; ++i) {
            const char* name = fieldNames[i];
            if (!qxIsValidVariableName(name)) return nullptr;
            names.push_back(std::make_shared<const std::string>(name));
            if (!seen.insert(*names.back()).second) return nullptr;  // a name given twice
        }
    } catch (...) {
        return nullptr;
    }
    return createSlotArray(ndim, dims, qxSTRUCT_CLASS, static_cast<qxSize>(nfields), &names);
}

int qxGetNumberOfFields(const qxArray* s) {
    return isStruct(s) ? static_cast<int>(fieldCount(s)) : 0;
}

const char* qxGetFieldNameByNumber(const qxArray* s, int field) {
    return validField(s, field) ? full(s)->extra->fields[static_cast<std::size_t>(field)]->c_str() : nullptr;
}

int qxGetFieldNumber(const qxArray* s, const char* name) {
    if (!isStruct(s) || !name) return -1;
    return findField(s, name);
}

qxArray* qxGetFieldByNumber(const qxArray* s, qxSize index, int field) {
    if (!validField(s, field) || index >= numelOf(s)) return nullptr;
    return full(s)->payload.slots[index * fieldCount(s) + static_cast<std::size_t>(field)];
}

bool qxSetFieldByNumber(qxArray* s, qxSize index, int field, qxArray* value) {
    if (!validField(s, field) || index >= numelOf(s)) {
        if (value != s) qxDestroyArray(value);
        return false;
    }
    return setSlot(s, index * fieldCount(s) + static_cast<std::size_t>(field), value);
}

int qxAddField(qxArray* s, const char* name) {
    if (!isStruct(s) || !qxIsValidVariableName(name) || findField(s, name) >= 0) return -1;
    const qxSize oldCount = fieldCount(s);
    if (oldCount >= static_cast<qxSize>(INT_MAX)) return -1;
    const qxSize newCount = oldCount + 1;
    const qxSize numel = numelOf(s);
    qxSize count = 0;
    if (!mulSize(numel, newCount, &count)) return -1;
    qxArray** slots = allocateSlots(count);
    if (count > 0 && !slots) return -1;
    try {
        full(s)->extra->fields.push_back(std::make_shared<const std::string>(name));
    } catch (...) {
        std::free(slots);
        return -1;
    }
    qxArray** old = full(s)->payload.slots;
    for (qxSize e = 0; e < numel; ++e)
        for (qxSize f = 0; f < oldCount; ++f) slots[e * newCount + f] = old[e * oldCount + f];
    std::free(old);
    full(s)->payload.slots = slots;
    return static_cast<int>(oldCount);
}
