// The test binary of the socket code's BSD variant. On Linux that variant has no real means
// of keeping SIGPIPE away from a send (see shim/bsd_socket_constants.h), so this process
// ignores the signal, as the tests of the shipped variant never do.
#include <csignal>

namespace {
const bool kSigpipeIgnored = [] {
    (void)std::signal(SIGPIPE, SIG_IGN);
    return true;
}();
}  // namespace
