// The stand-in desktop host's handling of one connection: receive one request frame, log it,
// answer it. Framing and reading are the client's own; what a client sends can make the
// host hold no more than the memory budget, take no longer than the deadlines, or end it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "budget.hpp"
#include "exchange/socket.hpp"
#include "log.hpp"
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
    // The whole time to receive one request, and the whole time to send one reply.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    std::size_t max_connections = 256;
    std::size_t memory_budget = std::size_t{256} * 1024 * 1024;
};

// What a request of `size` bytes may cost: its buffer as it grows, the parsed request (whose
// arrays the reader reserves from the text's size), and its default reply. All three are
// charged before any of them is allocated.
std::size_t receiving_cost(std::size_t size);
std::size_t parsing_cost(std::size_t size);
std::size_t reply_cost(std::size_t size);

// Serves one accepted connection to its end, within the options' deadlines and, when there is
// one, the budget. Nothing escapes: running out of memory ends this connection only.
void serve_connection(const Socket& socket, const Options& options, RequestLog& log,
                      MemoryBudget* budget);

// Everything left to read on `fd`, at most `limit` bytes; EINTR is repeated.
Result<std::string> read_to_end(int fd, std::size_t limit);

// Whether a command word may name a file of the replies folder: no "/", no NUL, not "." or
// "..", not empty, and short enough for a file name.
bool is_reply_file_name(std::string_view command);

}  // namespace corvanelle::stub
