// What the host holds: what every connection shares (the settings, the log, the budget), and
// what one connection holds while it is served. Connections only read what they share.
#pragma once

#include <cstddef>

#include "budget.hpp"
#include "exchange/socket.hpp"
#include "log.hpp"
#include "settings.hpp"
#include "shared/document.hpp"

namespace corvanelle::stub {

class Recorder;
class Replay;

struct Host {
    const Settings& settings;
    RequestLog& log;
    MemoryBudget* budget;  // none: nothing is counted (the fuzz target serves one connection)
    Recorder* recorder = nullptr;  // with --record
    Replay* replay = nullptr;      // with --replay
};

struct Connection {
    const Host& host;
    Socket socket;
    Clock::time_point request_deadline;  // for receiving the request
    Charge charge;                       // what the connection holds of the budget
    std::size_t request_size = 0;        // once its length has arrived
};

// What a request of `size` bytes may cost, charged before any of it is allocated: its buffer
// as it grows (and the half of it copied across when it last grew), the parsed request, and
// its default reply.
inline std::size_t receiving_cost(std::size_t size) {
    return size + size / 2;
}
// What the reader reserves for the text, by the builder's own reckoning; once more the text's
// size for a number or string that arrives in pieces; and 64 KiB for the parser's own stack
// and the handful of small vectors besides.
inline std::size_t parsing_cost(std::size_t size) {
    constexpr std::size_t kParserOverhead = std::size_t{64} * 1024;
    return DocumentBuilder::reserved_bytes(size) + size + kParserOverhead;
}
// The echoed strings never take more room than they took in the request (the writer escapes
// only what JSON requires, and a request must escape at least that much), and the request's
// own keys and brackets take more than the reply's fixed members, so a default reply is at
// most the request's size and this.
inline constexpr std::size_t kReplyFrame = 512;
inline std::size_t reply_cost(std::size_t size) {
    return size + kReplyFrame;
}

}  // namespace corvanelle::stub
