#pragma once

#include <string>
#include <system_error>
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

// The system's words for an error number ("No such file or directory").
inline std::string systemText(int error) { return std::system_category().message(error); }

// A failed system call: "<what>: <the system's words>", with the error number kept.
inline Failure failSystem(const std::string& what, int error) { return fail(what + ": " + systemText(error), error); }

// The one way an operation in this project reports a failure it expects: a value, or an Error.
// Nothing throws on these paths (constructing the bridge is the one exception, by design). The
// shape follows std::expected, so it can become one when every compiler we build with has it.
//
//   Result<int> parsePort(std::string_view text);
//   NERIX_TRY_ASSIGN(int port, parsePort(text));   // a failure returns from the caller
//   use(port);
//   NERIX_TRY(writeAll(fd, text));                  // the same for a Result<void>
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

// Propagating a failure is one line. NERIX_TRY(e) returns e's error from the calling function
// (which returns some Result); NERIX_TRY_ASSIGN(declaration, e) does the same, else moves e's
// value into the declaration. Macros because a function cannot return from its caller.
#define NERIX_TRY(expression)                                         \
    do {                                                              \
        if (auto nerixTried = (expression); !nerixTried) /* NOLINT */ \
            return ::nerix::fail(nerixTried.error());                 \
    } while (false)

#define NERIX_TRY_JOIN2(a, b) a##b
#define NERIX_TRY_JOIN(a, b) NERIX_TRY_JOIN2(a, b)
#define NERIX_TRY_ASSIGN(declaration, expression) \
    NERIX_TRY_ASSIGN_AS(declaration, expression, NERIX_TRY_JOIN(nerixTried, __COUNTER__))
// A declaration and a name cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define NERIX_TRY_ASSIGN_AS(declaration, expression, tried)       \
    auto tried = (expression);                                    \
    if (!tried) return ::nerix::fail(tried.error()); /* NOLINT */ \
    declaration = std::move(tried).value()
// NOLINTEND(bugprone-macro-parentheses)
