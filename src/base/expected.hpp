#pragma once
// A value or an error message text. Engine and storage code report failures this way;
// only the Python layer turns the text into an exception.
#include <string>
#include <utility>
#include <variant>

namespace zorvik {

struct Error {
    std::string message;
};

template <class T>
class Expected {
public:
    Expected(T value) : v_(std::move(value)) {}
    Expected(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

// Expected<void>: success or an error message.
struct Status {
    Status() = default;
    Status(Error error) : failed(true), message(std::move(error.message)) {}
    bool ok() const { return !failed; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return message; }

    bool failed = false;
    std::string message;
};

}  // namespace zorvik
