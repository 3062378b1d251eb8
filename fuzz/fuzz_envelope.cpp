// Any valid UTF-8 message: exactly one class, and one line of JSON that reads back to the
// same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exchange/reader.hpp"
#include "report/failure.hpp"
#include "shared/utf8.hpp"

using namespace corvanelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(message)) {
        return 0;
    }
    const FailureClass found = classify_failure(message);
    const std::string line = failure_envelope(message);
    if (line.find('\n') != std::string::npos) {
        std::abort();
    }
    const auto envelope = read_json_text(line);
    if (!envelope || envelope->root().kind() != Document::Kind::object ||
        envelope->root().size() != 5) {
        std::abort();
    }
    Document::Value error = envelope->root();
    Document::Value member = error;
    if (!envelope->root().find("error", error) || !error.find("message", member) ||
        member.text() != message || !error.find("code", member) || member.text() != found.code ||
        !error.find("retryable", member) || member.boolean() != found.retryable) {
        std::abort();
    }
    return 0;
}
