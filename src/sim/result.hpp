// Value-or-error results for the core's expected failures. Members are named
// like std::expected so a later switch is mechanical.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vantelo::sim {

// What kind of failure an Error reports: bad input (the default), an
// operation stopped at the embedding's request (see stop.hpp), or memory
// that could not be had (the message says for what and how much).
enum class ErrorKind : unsigned char { Invalid, Stopped, OutOfMemory };

// An expected failure: a user-facing message, reported verbatim.
struct Error {
    std::string message;
    ErrorKind kind = ErrorKind::Invalid;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return has_value(); }
    const Error& error() const& { return error_; }
    Error&& error() && { return std::move(error_); }

private:
    Error error_;
    bool failed_ = false;
};

using Status = Result<void>;

inline Error fail(std::string message) { return Error{std::move(message)}; }

}  // namespace vantelo::sim

// Propagates the error of a Status-returning expression.
#define VANTELO_TRY(expr)                                     \
    do {                                                      \
        if (auto vantelo_status_ = (expr); !vantelo_status_)  \
            return std::move(vantelo_status_).error();        \
    } while (0)

#define VANTELO_CONCAT_INNER(a, b) a##b
#define VANTELO_CONCAT(a, b) VANTELO_CONCAT_INNER(a, b)

// Declares `lhs` from the value of a Result-returning expression, or returns
// its error.
#define VANTELO_ASSIGN_OR_RETURN(lhs, expr) \
    VANTELO_ASSIGN_OR_RETURN_IMPL(VANTELO_CONCAT(vantelo_result_, __LINE__), lhs, expr)
#define VANTELO_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
    auto tmp = (expr);                                \
    if (!tmp) return std::move(tmp).error();          \
    lhs = std::move(tmp).value()
