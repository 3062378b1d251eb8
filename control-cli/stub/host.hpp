// The stand-in desktop host's handling of one connection: receive one request frame, log it,
// answer it. Framing, reading and writing are the client's own; nothing a client sends can
// make the host hold more than its bounds or end it.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/socket.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

struct Options {
    std::string socket_path;
    int replies_dir = -1;  // an open directory, or -1
    std::optional<std::string> reply_payload;
    std::optional<std::string> raw_reply;
    bool fail = false;
    std::chrono::milliseconds delay{0};
    std::optional<std::size_t> close_after;
    bool no_reply = false;
    bool no_read = false;
    bool hang_up = false;
    // Each wait for a request byte, and for the client to take a reply byte.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    std::size_t max_connections = 256;
};

// One line per request: the payload exactly as it arrived, or a line starting with "! " for
// anything else, which no JSON text can start with.
class RequestLog {
  public:
    RequestLog() = default;  // keeps nothing
    explicit RequestLog(int fd) : fd_(fd) {}
    void write(std::string_view line);

  private:
    int fd_ = -1;
    std::mutex mutex_;
};

// What the host does with one request payload: the line to log, and the reply payload, if
// the request is to be answered.
struct Answer {
    std::string log_line;
    std::optional<std::string> reply;
};
Answer answer_request(const Options& options, std::string_view payload);

// Serves one accepted connection to its end, under the options' time-out.
void serve_connection(const Socket& socket, const Options& options, RequestLog& log);

// Everything left to read on `fd`, at most `limit` bytes; EINTR is repeated.
Result<std::string> read_to_end(int fd, std::size_t limit);

// Whether a command word may name a file of the replies folder: no "/", no NUL, not "." or
// "..", not empty.
bool is_reply_file_name(std::string_view command);

}  // namespace corvanelle::stub
