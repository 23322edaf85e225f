#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace nerix {

// What went wrong, in words that name the thing that failed ("/opt/node: No such file or
// directory"), and the system's error number where there is one (0 otherwise).
struct Error {
    std::string message;
    int code = 0;
};

// The failure side of a Result, as `return fail(...)` writes it.
struct Failure {
    Error error;
};

inline Failure fail(std::string message, int code = 0) { return Failure{Error{std::move(message), code}}; }
inline Failure fail(Error error) { return Failure{std::move(error)}; }

// The one way an operation in this project reports a failure it expects: a value, or an Error.
// Nothing throws on these paths (constructing the bridge is the one exception, by design). The
// shape follows std::expected, so it can become one when every compiler we build with has it.
//
//   Result<int> parsePort(std::string_view text);
//   auto port = parsePort(text);
//   if (!port) return fail(port.error());
//   use(*port);
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}                  // NOLINT: implicit by design
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

// An operation that yields nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : error_(std::move(failure.error)), failed_(true) {}  // NOLINT

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

}  // namespace nerix
