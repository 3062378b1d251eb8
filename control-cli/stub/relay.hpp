// The relay (--forward): a request passed unchanged to the application's socket on a
// connection of its own, with the framing, limits and waits of the client, and the reply
// passed back unchanged. Whatever goes wrong with the application, the client gets a failure
// reply naming it, never a broken frame or a silent close, and the log a "! " line.
#pragma once

#include <chrono>

#include "exchange/exchange.hpp"
#include "host.hpp"
#include "reply.hpp"
#include "request.hpp"

namespace corvanelle::stub {

// The client's waits: to hand over the request, and for the reply. The relay gives the
// application until 5 s short of the latter after the client's connection was accepted, so
// that its failure reply reaches the client before the client's own wait ends.
inline constexpr auto kApplicationSendWait =
    std::chrono::duration_cast<std::chrono::seconds>(Timeouts{}.send);
inline constexpr auto kApplicationReplyWait =
    std::chrono::duration_cast<std::chrono::seconds>(Timeouts{}.receive) - std::chrono::seconds(5);

// The reply source of --forward, asked once the request's memory has gone back: its bytes go
// to the application on a connection of its own, into the recording when recording, then to
// the log; the answer is the application's reply frame, or a failure reply that names what
// went wrong.
std::optional<Reply> relayed(Connection& c, Asked& asked);

}  // namespace corvanelle::stub
