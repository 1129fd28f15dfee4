#pragma once
#include <fl/ustring.hpp>

namespace fl::filesystem {
// The folder the engine's installation lives in: the folder of the shared
// object (or executable) this library is linked into.
fl::ustring get_install_path();
}  // namespace fl::filesystem
