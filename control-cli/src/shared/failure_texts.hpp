// The fixed texts of the failures the client reports, each written once. The reporter
// classifies a failure by its text alone, so these words are part of the program's contract;
// the stand-in host and the tests compare against them from here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvanelle::texts {

// The command line.
inline constexpr std::string_view kCommandLineOutOfMemory =
    "not enough memory to read the command line";
inline constexpr std::string_view kListNeedsTarget = "list requires apps, windows, or screens";
// Each followed by the word as it was typed.
inline constexpr std::string_view kUnknownCommand = "unknown command: ";
inline constexpr std::string_view kUnsupportedListTarget = "unsupported list target: ";

inline std::string unknown_command(std::string_view word) {
    return std::string(kUnknownCommand).append(word);
}
inline std::string unsupported_list_target(std::string_view word) {
    return std::string(kUnsupportedListTarget).append(word);
}

// Arguments are counted from 1 after the program's name.
inline std::string argument_not_utf8(std::size_t position) {
    return "argument " + std::to_string(position) + " is not valid UTF-8";
}

// The exchange.
inline constexpr std::string_view kSocketNotConfigured =
    "CORVANELLE_CONTROL_SOCKET is not configured";
inline constexpr std::string_view kRequestTooLarge =
    "control request exceeds the protocol frame limit";
inline constexpr std::string_view kFrameSizeInvalid = "control response frame size is invalid";
inline constexpr std::string_view kRequestOutOfMemory = "not enough memory to make the request";
inline constexpr std::string_view kReplyOutOfMemory = "not enough memory to read the reply";

// Standard output: the reply, the version document or the help text.
inline constexpr std::string_view kOutputOutOfMemory = "not enough memory to write the output";

// The socket layer, and every other transfer that must move a whole buffer.
inline constexpr std::string_view kPathTooLong = "path must be shorter than SUN_LEN";
inline constexpr std::string_view kWriteIncomplete = "failed to write whole buffer";
inline constexpr std::string_view kFillIncomplete = "failed to fill whole buffer";

}  // namespace corvanelle::texts
