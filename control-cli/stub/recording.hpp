// The recordings' format, the one home of its rules for the recorder (--record) and the
// replayer (--replay). Each exchange is one file, named by its number in the order the
// exchanges happened, holding one JSON object whose members "request" and "reply" are the
// request and the reply exactly as their bytes arrived (each is a JSON text, so each can stand
// in the object as it came). A file is written under a temporary name and then renamed, so a
// recording is whole or not there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/frame.hpp"
#include "shared/descriptor.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

inline constexpr std::string_view kRequestMember = "request";
inline constexpr std::string_view kReplyMember = "reply";

// The text a recording's file holds around its request and its reply, as the recorder writes
// it: kOpening, the request, kBetween, the reply, kClosing.
inline constexpr std::string_view kOpening = "{\n  \"request\": ";
inline constexpr std::string_view kBetween = ",\n  \"reply\": ";
inline constexpr std::string_view kClosing = "\n}\n";

// A recording's name: its number in decimal, of at most kNumberDigits digits, then ".json";
// the recorder writes at least kNameDigits of them, with leading zeros, so that names sort in
// the order of their numbers.
inline constexpr std::size_t kNameDigits = 6;
inline constexpr std::size_t kNumberDigits = 9;
inline constexpr std::uint32_t kLastNumber = 999'999'999;

// The longest recording a replay folder may hold: a request and a reply of a whole frame
// each, and room for white space and notes added by hand.
inline constexpr std::size_t kRecordingLimit = 2 * kFrameLimit + std::size_t{1024} * 1024;
// The most recordings a replay folder may hold (each costs the replayer 64 bytes or so).
inline constexpr std::size_t kMostRecordings = 100'000;

// A recording's "request" and "reply" members (the last of each, as JSON reading keeps),
// found by their names as written, without escapes. Each member's value must read as JSON on
// its own, so that a recording nests as deep as the frames it holds; members of other names
// are left alone (a place for notes).
struct Members {
    std::string_view request;
    std::string_view reply;
};
Result<Members> members_of(std::string_view text);

// The number a recording's name stands for; nothing for a name that is not a recording's.
std::optional<std::uint32_t> recording_number(std::string_view name);
// The name of recording `number`, of `digits` digits at least.
std::string recording_name(std::uint32_t number, std::size_t digits = kNameDigits);
// The name a recording is written under before it is renamed; whether a name is one.
std::string temporary_name(std::uint32_t number);
bool is_temporary_name(std::string_view name);

// Calls `visit` with the name of each entry of the folder but "." and "..", until it fails.
Status for_each_name(const Descriptor& folder,
                     const std::function<Status(std::string_view)>& visit);

}  // namespace corvanelle::stub
