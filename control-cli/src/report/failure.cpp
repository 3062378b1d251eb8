// The report folder: the two JSON text forms, output to file descriptors, and the error
// envelope of a failure, classified by its text alone.
#include "report/failure.hpp"

#include <unistd.h>
#include <algorithm>
#include <new>

#include "report/json_text.hpp"
#include "report/output.hpp"
#include "shared/document.hpp"

namespace corvanelle {
namespace {

constexpr FailureClass kNotConfigured{
    "CONTROL_SOCKET_NOT_CONFIGURED", false,
    "Run the bundled CLI through Corvanelle's authorized SSH shell, or set "
    "CORVANELLE_CONTROL_SOCKET to the socket exported by the running desktop app."};
constexpr FailureClass kHostUnavailable{
    "CONTROL_HOST_UNAVAILABLE", true,
    "Open Corvanelle Desktop, then rerun `corvanelle-control bridge status --json` before "
    "retrying the requested action."};
constexpr FailureClass kTransportTimeout{
    "CONTROL_TRANSPORT_TIMEOUT", true,
    "Check `corvanelle-control bridge status --json`; inspect current UI state before retrying "
    "because a mutation may have been dispatched."};
constexpr FailureClass kClientFailure{
    "CLIENT_FAILURE", false,
    "Run `corvanelle-control bridge status --json`, preserve this error message, and do not "
    "retry a mutation without inspecting current state."};

// Only the 26 ASCII capitals are folded; every other byte stays as it is.
constexpr char fold_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool contains_folded(std::string_view text, std::string_view lower_phrase) {
    return std::search(text.begin(), text.end(), lower_phrase.begin(), lower_phrase.end(),
                       [](char a, char b) { return fold_ascii(a) == b; }) != text.end();
}

}  // namespace

FailureClass classify_failure(std::string_view message) {
    if (message.find("CORVANELLE_CONTROL_SOCKET") != std::string_view::npos) {
        return kNotConfigured;
    }
    if (message.find("No such file") != std::string_view::npos ||
        message.find("Connection refused") != std::string_view::npos) {
        return kHostUnavailable;
    }
    if (contains_folded(message, "timed out")) {
        return kTransportTimeout;
    }
    return kClientFailure;
}

std::string failure_envelope(std::string_view message) {
    const FailureClass found = classify_failure(message);
    DocumentBuilder envelope;
    envelope.start_object();
    envelope.key("success");
    envelope.boolean(false);
    envelope.key("requestId");
    envelope.string("client");
    envelope.key("data");
    envelope.null();
    envelope.key("error");
    envelope.start_object();
    envelope.key("code");
    envelope.string(found.code);
    envelope.key("message");
    envelope.string(message);
    envelope.key("retryable");
    envelope.boolean(found.retryable);
    envelope.key("recommendedFix");
    envelope.string(found.recommended_fix);
    envelope.key("details");
    envelope.null();
    envelope.end();
    envelope.key("debugLogs");
    envelope.start_array();
    envelope.end();
    envelope.end();
    return to_compact(envelope.take());
}

int report_failure(std::string_view message) {
    // Without memory for the envelope, a line feed alone stands in its place: standard error
    // still ends with one line, and the status is still 1.
    std::string line;
    try {
        line = failure_envelope(message);
        line += '\n';
    } catch (const std::bad_alloc&) {
        line.clear();
    }
    // Nothing sensible is left to do when standard error itself cannot be written.
    (void)write_all(STDERR_FILENO, line.empty() ? std::string_view("\n") : line);
    return 1;
}

}  // namespace corvanelle
