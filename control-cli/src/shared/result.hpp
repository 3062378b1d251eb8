// The one failure type of the program, and the result type every stage returns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace corvanelle {

// A failure travels as its text alone: the reporter classifies it by that text.
struct Failure {
    std::string message;
};

// A failure on its way out of a stage, convertible to any Result.
struct Unexpected {
    Failure failure;
};

inline Unexpected fail(std::string message) {
    return Unexpected{Failure{std::move(message)}};
}
inline Unexpected fail(std::string_view message) {
    return fail(std::string(message));
}
inline Unexpected fail(const char* message) {
    return fail(std::string(message));
}

// Either a value or a failure: the shape of std::expected, kept small and our own so that the
// code builds with every compiler and standard library it meets (std::expected needs newer ones
// than some of ours).
template <typename T>
class [[nodiscard]] Result {
  public:
    // Implicit on purpose, as std::expected's: a stage returns its value or fail(...) as it is.
    // cppcheck-suppress noExplicitConstructor
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    // cppcheck-suppress noExplicitConstructor
    Result(Unexpected&& failure) : state_(std::in_place_index<1>, std::move(failure.failure)) {}

    [[nodiscard]] bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    [[nodiscard]] T& operator*() & { return std::get<0>(state_); }
    [[nodiscard]] const T& operator*() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& operator*() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] T* operator->() { return &std::get<0>(state_); }
    [[nodiscard]] const T* operator->() const { return &std::get<0>(state_); }

    [[nodiscard]] Failure& error() { return std::get<1>(state_); }
    [[nodiscard]] const Failure& error() const { return std::get<1>(state_); }

    template <typename U>
    [[nodiscard]] T value_or(U&& fallback) const {
        return has_value() ? std::get<0>(state_) : T(std::forward<U>(fallback));
    }

  private:
    std::variant<T, Failure> state_;
};

// A stage that produces nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    // cppcheck-suppress noExplicitConstructor
    Result(Unexpected&& failure) : failure_(std::move(failure.failure)) {}

    [[nodiscard]] bool has_value() const { return !failure_.has_value(); }
    explicit operator bool() const { return has_value(); }
    [[nodiscard]] Failure& error() { return *failure_; }
    [[nodiscard]] const Failure& error() const { return *failure_; }

  private:
    std::optional<Failure> failure_;
};

using Status = Result<void>;

// Passes a failure on unchanged.
template <typename T>
Unexpected forward_failure(Result<T>& result) {
    return Unexpected{std::move(result.error())};
}

// The system's description of an error number, then " (os error N)".
std::string os_error_message(int error_number);

}  // namespace corvanelle
