// The one failure type of the program, and the result type every stage returns.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace corvanelle {

// A failure travels as its text alone: the reporter classifies it by that text.
struct Failure {
    std::string message;
};

template <typename T>
using Result = std::expected<T, Failure>;

// A stage that produces nothing but may fail.
using Status = std::expected<void, Failure>;

inline std::unexpected<Failure> fail(std::string message) {
    return std::unexpected<Failure>(Failure{std::move(message)});
}

// The system's description of an error number, then " (os error N)".
std::string os_error_message(int error_number);

}  // namespace corvanelle
