// One request and one reply with the desktop application over its control socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/frame.hpp"
#include "shared/document.hpp"
#include "shared/result.hpp"

namespace corvanelle {

class Socket;

inline constexpr const char* kSocketVariable = "CORVANELLE_CONTROL_SOCKET";

struct Timeouts {
    // Each single wait for reply data, and for the socket to take request data.
    std::chrono::microseconds receive = std::chrono::seconds(120);
    std::chrono::microseconds send = std::chrono::seconds(10);
};

// "{pid}-{nanoseconds since the epoch}"; a clock before the epoch counts as 0.
std::string format_request_id(std::uint32_t pid, const timespec& now);

// The request document: protocol version, a fresh request id, the command and its arguments.
Document build_request(std::string_view command, const std::vector<std::string>& arguments);

// Sends `command` with `arguments` to the socket named by CORVANELLE_CONTROL_SOCKET and returns
// the reply. The socket is closed before this returns, on every path.
Result<Document> transact(std::string_view command, const std::vector<std::string>& arguments,
                          const Timeouts& timeouts = {});

// The receiving half of an exchange: one reply frame, its length checked before any payload
// byte is read, then the payload read as one JSON value.
Result<Document> receive_reply(const Socket& socket);

}  // namespace corvanelle
