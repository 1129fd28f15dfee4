#include <fl/except.hpp>

#include <fl/utf.hpp>

namespace fl::except {

namespace detail {

std::string diagnostic(const std::string& identifier, const std::string& message) {
    if (identifier.empty()) return message;
    return identifier + ": " + message;
}

fl::ustring widen(const std::string& utf8) {
    return fl::utf::convert<char16_t>(utf8);
}

}  // namespace detail

const char* OutOfMemory::what() const noexcept {
    return "out of memory in the engine libraries";
}

OutOfMemory bad_alloc() {
    return OutOfMemory();
}

}  // namespace fl::except
