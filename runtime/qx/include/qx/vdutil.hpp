#pragma once
// References to engine objects, and the owner of result arrays.
#include <qx/qx.hpp>

#include <memory>
#include <vector>

namespace vdutil {

struct QxArrayDeleter {
    void operator()(qxArray* a) const noexcept { qxDestroyArray(a); }
};
using QxArrayPtr = std::unique_ptr<qxArray, QxArrayDeleter>;

namespace matrixref {
// True when `a` is an object array (class 17) that refers to objects of an
// engine session that is still alive.
bool refIsRef(const qxArray* a);
// A new 1-by-1 reference to one element of `a`, given zero-based indices, one
// per dimension.  nullptr when `a` is no reference or an index is out of range.
qxArray* refElementIndexRef(const qxArray* a, const std::vector<qxSize>& indices);
}  // namespace matrixref

}  // namespace vdutil
