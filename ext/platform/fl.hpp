#pragma once
// What the module takes from the foundation library:
//   fl::except::Exception<Tag, std::exception, void>, caught by tag;
//   fl::except::IUserException::GetMessageTxt(), the user-facing message;
//   fl::except::bad_alloc(), thrown when the array library yields no array.
#include <fl/except.hpp>
#include <fl/ustring.hpp>
