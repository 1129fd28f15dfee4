#pragma once
// The reader of compiled gettext catalogs (.mo files).
#include <string>
#include <string_view>
#include <unordered_map>

namespace fl::i18n {

// Message id -> translation, UTF-8.  An id is the file's original string up
// to its first NUL (a plural entry is found by its singular id), a
// translation the first of its forms.  Entries with an empty translation are
// left out: gettext treats them as untranslated.
using MoTexts = std::unordered_map<std::string, std::string>;

// The texts of a catalog held in `bytes`; throws std::runtime_error for
// anything that is not a well-formed catalog (every offset and length is
// checked against the size).
MoTexts parseMoFile(std::string_view bytes);

// The same for the catalog file at `path`, which is also refused when it
// cannot be read.
MoTexts readMoFile(const std::string& path);

}  // namespace fl::i18n
