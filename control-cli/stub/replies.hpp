// Where a connection's reply comes from. Each reply option is one row of the table of reply
// sources (replies.cpp) and one function: the first source that is on and answers, answers.
// A source is asked before anything is read, while the request lives (its parts), or once the
// request's memory has gone back (its bytes alone: the relay, which passes them on).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/frame.hpp"
#include "host.hpp"
#include "reply.hpp"
#include "request.hpp"

namespace corvanelle::stub {

// The longest --raw file: it sends broken frames on purpose, up to twice the frame limit.
inline constexpr std::size_t kRawLimit = 2 * kFrameLimit;

// A reply decided before anything is read (--hang-up, --no-read), if there is one.
std::optional<Reply> reply_before_reading(Connection& connection);
// The reply to a request while it lives (a reply file is only opened), if a source has one.
std::optional<Reply> reply_to(Connection& connection, const RequestParts& request);
// The reply of a source asked once the request is gone; it logs the request (log_request).
Reply reply_once_gone(Connection& connection, Asked asked);

// Opens the --replies folder and reads the --reply and --raw files, and checks --forward, at
// set-up.
Status read_reply_options(Settings& settings);

// Whether a command word may name a file of the replies folder: no "/", no NUL, not "." or
// "..", not empty, and short enough for a file name.
bool is_reply_file_name(std::string_view command);

}  // namespace corvanelle::stub
