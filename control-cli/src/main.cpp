#include <csignal>
#include <string>
#include <vector>

#include "run/run.hpp"

int main(int argc, char** argv) {
    // A reader of standard output or standard error that goes away must make writes fail
    // with EPIPE, not end the process. Sockets keep the signal away by themselves.
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Argument 0, the program's path, is not part of the argument list.
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return corvanelle::run(std::move(arguments));
}
