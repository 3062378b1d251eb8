#include "process.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace corvanelle::stub {
namespace {

// Where the signal handler writes; the descriptor itself is owned by the pipe that
// catch_ending_signals() returns, which lives as long as the process.
int signal_write_end = -1;

extern "C" void on_ending_signal(int /*signal*/) {
    const int saved = errno;
    (void)!::write(signal_write_end, &kEndingSignal, 1);
    errno = saved;
}

}  // namespace

Result<bool> tidy_process() {
    bool output_was_closed = false;
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(standard, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one: it stays open, as a standard descriptor does,
        // for the life of the process.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != standard) {
            return fail("cannot open /dev/null for a closed standard descriptor: " +
                        os_error_message(errno));
        }
        output_was_closed = output_was_closed || standard == STDOUT_FILENO;
    }
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    return output_was_closed;
}

Result<Pipe> make_pipe() {
    int ends[2] = {-1, -1};
    if (::pipe(ends) != 0) {
        return fail(os_error_message(errno));
    }
    Pipe pipe{Descriptor(ends[0]), Descriptor(ends[1])};
    for (const int fd : ends) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            return fail(os_error_message(errno));
        }
    }
    return pipe;
}

Result<Pipe> catch_ending_signals() {
    auto pipe = make_pipe();
    if (!pipe) {
        return pipe;
    }
    signal_write_end = pipe->write.get();
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0) {
            return fail(os_error_message(errno));
        }
    }
    return pipe;
}

}  // namespace corvanelle::stub
