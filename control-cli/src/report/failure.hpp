// Turning a failure message into the error envelope on standard error.
#pragma once

#include <string>
#include <string_view>

namespace corvanelle {

struct FailureClass {
    std::string_view code;
    bool retryable;
    std::string_view recommended_fix;
};

// Classifies by the message's text alone; every message, the empty one too, has one class.
FailureClass classify_failure(std::string_view message);

// The envelope as one line of compact JSON, without the line feed.
std::string failure_envelope(std::string_view message);

// Writes the envelope and a line feed to standard error and returns the exit status, 1.
int report_failure(std::string_view message);

}  // namespace corvanelle
