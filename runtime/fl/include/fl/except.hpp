#pragma once
// The foundation library's exceptions.
//
// Engine failures that carry a user-facing message are instances of
// fl::except::Exception<Tag>: `what()` is the diagnostic text (identifier
// and message), GetMessageTxt() the message alone (UTF-8) and GetMessage()
// the same message as wide text.  The tag type only distinguishes kinds.
#include <fl/ustring.hpp>

#include <boost/exception/exception.hpp>

#include <new>
#include <stdexcept>
#include <string>

namespace fl::except {

class IUserException {
public:
    virtual ~IUserException() = default;
    // The message meant for the user, UTF-8.
    virtual std::string GetMessageTxt() const = 0;
    // The same message as UTF-16.
    virtual fl::ustring GetMessage() const = 0;
    // A short identifier of the failure ("veldra:engine:unknownFunction"), may be empty.
    virtual std::string GetIdentifier() const = 0;
};

namespace detail {
std::string diagnostic(const std::string& identifier, const std::string& message);
fl::ustring widen(const std::string& utf8);
}  // namespace detail

template <class Tag, class Base = std::exception, class Extra = void>
class Exception : public Base, public IUserException, public virtual boost::exception {
public:
    explicit Exception(std::string message, std::string identifier = std::string())
        : message_(std::move(message)),
          identifier_(std::move(identifier)),
          diagnostic_(detail::diagnostic(identifier_, message_)) {}

    const char* what() const noexcept override { return diagnostic_.c_str(); }
    std::string GetMessageTxt() const override { return message_; }
    fl::ustring GetMessage() const override { return detail::widen(message_); }
    std::string GetIdentifier() const override { return identifier_; }

private:
    std::string message_;
    std::string identifier_;
    std::string diagnostic_;
};

// Memory exhaustion in the engine libraries; catchable as std::bad_alloc.
class OutOfMemory : public std::bad_alloc, public virtual boost::exception {
public:
    const char* what() const noexcept override;
};

// The exception object to throw when an allocation yields nothing:
//   throw fl::except::bad_alloc();
OutOfMemory bad_alloc();

}  // namespace fl::except
