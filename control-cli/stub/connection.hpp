// One connection, in three steps: receive the request (by its deadline, charged to the budget
// before any of it is allocated), choose the reply from the reply sources (replies.hpp), and
// deliver it (by a deadline of its own, with the delivery faults the options ask for).
// Framing and reading are the client's own.
#pragma once

#include "exchange/socket.hpp"
#include "host.hpp"

namespace corvanelle::stub {

// Serves one accepted connection to its end. Nothing escapes: running out of memory ends this
// connection only.
void serve_connection(const Host& host, Socket socket);

}  // namespace corvanelle::stub
