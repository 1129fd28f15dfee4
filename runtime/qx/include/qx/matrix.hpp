#pragma once
// C++ helpers over the array library.
#include <fl/ustring.hpp>
#include <qx/qx.hpp>

#include <memory>
#include <string>
#include <vector>

namespace matrix {

struct qxDestroy_deleter {
    void operator()(qxArray* a) const noexcept { qxDestroyArray(a); }
};
// The owner of an array: destroys it through qxDestroyArray.
using unique_array_ptr = std::unique_ptr<qxArray, qxDestroy_deleter>;

// A char array of `length` UTF-16 code units: 1-by-length, 0-by-0 for no text.
// Throws fl::except::OutOfMemory when no array can be made.
unique_array_ptr create(const fl::uchar* text, std::size_t length);
unique_array_ptr create(const fl::ustring& text);

// The code units of a char array in element order (empty for other classes).
fl::ustring get_ustring(const qxArray* a);
// The same text as UTF-8 (lone surrogates become U+FFFD).
std::string get_string(const qxArray* a);

std::vector<qxSize> get_dimensions(const qxArray* a);
qxSize get_N(const qxArray* a);
qxSize get_number_of_elements(const qxArray* a);
int get_number_of_struct_fields(const qxArray* a);
std::string get_struct_field_name_by_number(const qxArray* a, int field);
qxArray* get_struct_field_by_number(const qxArray* a, qxSize index, int field);

namespace detail {
// m-by-n zero-filled numeric or logical array.  Throws fl::except::OutOfMemory
// when no array can be made.
qxArray* create_numeric(qxSize m, qxSize n, qxClassID classID, qxComplexity complexity);
// A second array sharing the first one's element blocks (and, for cells and
// structs, shared copies of their members).  nullptr for nullptr.  Throws
// fl::except::OutOfMemory when no array can be made.
qxArray* shared_copy(const qxArray* a);
}  // namespace detail

}  // namespace matrix
