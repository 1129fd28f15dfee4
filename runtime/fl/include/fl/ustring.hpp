#pragma once
// Wide text of the engine libraries: UTF-16 code units.
#include <string>

namespace fl {
using uchar = char16_t;
using ustring = std::u16string;
}  // namespace fl
