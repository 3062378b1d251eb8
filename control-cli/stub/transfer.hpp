// The host's own transfers: non-blocking sockets moved through the program's transfer loop,
// each wait for the socket bounded by a deadline. A connection receives its request and sends
// its reply through them, and the relay talks to the application through them.
#pragma once

#include <poll.h>
#include <limits>
#include <span>
#include <string_view>

#include "budget.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

// The failure of a wait whose deadline passed first.
inline constexpr std::string_view kTimedOut = "the time-out passed";

// Makes `fd` non-blocking.
Status make_non_blocking(int fd);

// Waits until `fd` is ready for `events`, or fails with kTimedOut when the deadline passes first.
Status wait_until_ready(int fd, short events, Clock::time_point deadline);

// Every byte, by the deadline. Receiving fails with "failed to fill whole buffer" at the end of
// the stream; either fails with kTimedOut when a wait passes the deadline, and otherwise with
// the system's error.
Status receive_by(int fd, std::span<char> bytes, Clock::time_point deadline);
Status send_by(int fd, std::string_view bytes, Clock::time_point deadline);

// A frame's length field, received by the deadline and decoded; the caller checks it.
Result<std::size_t> receive_length_by(int fd, Clock::time_point deadline);
// A frame, its length field and then its payload, by the deadline: at most `limit` bytes of
// the two together.
Status send_frame_by(int fd, std::string_view payload, Clock::time_point deadline,
                     std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace corvanelle::stub
