#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "report/failure.hpp"
#include "run/run.hpp"
#include "shared/failure_texts.hpp"

int main(int argc, char** argv) {
    // A reader of standard output or standard error that goes away must make writes fail
    // with EPIPE, not end the process. Sockets keep the signal away by themselves.
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Each stage of the run reports running out of memory as its own failure; what is left
    // for here is copying and reading the command line. Nothing leaves main as an exception.
    try {
        // Argument 0, the program's path, is not part of the argument list.
        std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
        return corvanelle::run(std::move(arguments));
    } catch (const std::bad_alloc&) {
        return corvanelle::report_failure(corvanelle::texts::kCommandLineOutOfMemory);
    }
}
