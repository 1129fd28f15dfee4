// The C++ helpers: text, dimensions, owning creation and shared copies.
#include "array_impl.hpp"

#include <fl/except.hpp>
#include <fl/utf.hpp>
#include <qx/matrix.hpp>

#include <cstring>

namespace matrix {

unique_array_ptr create(const fl::uchar* text, std::size_t length) {
    const qxSize dims[2] = {length == 0 ? 0u : 1u, length};
    if (length > 0 && !text) throw fl::except::bad_alloc();
    unique_array_ptr a(qxCreateCharArray(2, dims));
    if (!a) throw fl::except::bad_alloc();
    if (length > 0) std::memcpy(qxGetData(a.get()), text, length * sizeof(fl::uchar));
    return a;
}

unique_array_ptr create(const fl::ustring& text) {
    return create(text.data(), text.size());
}

fl::ustring get_ustring(const qxArray* a) {
    if (qxGetClassID(a) != qxCHAR_CLASS) return {};
    const auto* units = static_cast<const fl::uchar*>(qxGetData(a));
    if (!units) return {};
    return fl::ustring(units, units + qxGetNumberOfElements(a));
}

std::string get_string(const qxArray* a) {
    const fl::ustring text = get_ustring(a);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a surrogate without its partner
        }
        fl::utf::appendUtf8(c, out);
    }
    return out;
}

std::vector<qxSize> get_dimensions(const qxArray* a) {
    if (!a) return {};
    const qxSize* d = qxGetDimensions(a);
    return std::vector<qxSize>(d, d + qxGetNumberOfDimensions(a));
}

qxSize get_N(const qxArray* a) {
    return qxGetN(a);
}

qxSize get_number_of_elements(const qxArray* a) {
    return qxGetNumberOfElements(a);
}

int get_number_of_struct_fields(const qxArray* a) {
    return qxGetNumberOfFields(a);
}

std::string get_struct_field_name_by_number(const qxArray* a, int field) {
    const char* name = qxGetFieldNameByNumber(a, field);
    return name ? std::string(name) : std::string();
}

qxArray* get_struct_field_by_number(const qxArray* a, qxSize index, int field) {
    return qxGetFieldByNumber(a, index, field);
}

namespace detail {

qxArray* create_numeric(qxSize m, qxSize n, qxClassID classID, qxComplexity complexity) {
    qxArray* a = qxCreateNumericMatrix(m, n, classID, complexity);
    if (!a) throw fl::except::bad_alloc();
    return a;
}

qxArray* shared_copy(const qxArray* a) {
    if (!a) return nullptr;
    qxArray* copy = qx::impl::sharedCopy(a);
    if (!copy) throw fl::except::bad_alloc();
    return copy;
}

}  // namespace detail

}  // namespace matrix
