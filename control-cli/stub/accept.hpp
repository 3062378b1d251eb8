// The accept loop: one thread per connection, at most --max-connections of them, so that each
// connection's deadlines are plain polls with the time left and the code of one connection
// reads straight through. The listening thread only accepts, and only while a slot is free.
#pragma once

#include "exchange/socket.hpp"
#include "host.hpp"
#include "process.hpp"

namespace corvanelle::stub {

// Accepts and serves until an ending signal arrives on `wake` (catch_ending_signals()), on
// which connections also say that they have ended. At the cap, or out of descriptors,
// connections wait in the listen queue.
void serve_until_signalled(const Socket& listener, const Host& host, const Pipe& wake);

}  // namespace corvanelle::stub
