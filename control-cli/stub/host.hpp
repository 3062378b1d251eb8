// What the host holds: what every connection shares (the settings, the log, the budget), and
// what one connection holds while it is served. Connections only read what they share.
#pragma once

#include <cstddef>
#include <utility>

#include "budget.hpp"
#include "exchange/frame.hpp"
#include "exchange/socket.hpp"
#include "log.hpp"
#include "settings.hpp"
#include "shared/owned_text.hpp"

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
    Holding holding;                     // what the connection holds of the budget
    std::size_t request_size = 0;        // once its length has arrived
};

// The one place a request is logged: its own bytes as they arrived (with --redact, its
// secrets redacted, the copy's room taken at once), before any "! " line about its exchange;
// the memory they held goes back.
inline void log_request(Connection& c, OwnedText request) {
    const std::size_t room = c.host.settings.redaction.redacting_cost(request.view(), kFrameLimit);
    if (c.holding.take_now(room)) {
        c.host.log.add_request(std::move(request));
        c.holding.give_back(room);
    } else {
        c.host.log.add("! a request of " + std::to_string(request.size) +
                       " bytes was not logged: its redacted copy found no room in the memory "
                       "budget");
    }
    c.holding.request_logged();
}

}  // namespace corvanelle::stub
