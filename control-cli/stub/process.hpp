// The process's own hygiene, as a program people leave running needs it, and the signals that
// end it.
#pragma once

#include "shared/descriptor.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

// First of all: a standard descriptor (0, 1, 2) that is closed is opened on /dev/null, so that
// no descriptor the host opens takes its number and receives what is meant for it; SIGPIPE
// and SIGXFSZ are ignored, so that a closed reader or a file-size limit is an error to handle,
// not the end. True when standard output was closed.
Result<bool> tidy_process();

// Both ends of a new pipe, close-on-exec and non-blocking.
struct Pipe {
    Descriptor read;
    Descriptor write;
};
Result<Pipe> make_pipe();

// The byte SIGINT, SIGTERM and SIGHUP write to the pipe that catch_ending_signals() returns;
// others may write other bytes to it to wake whoever waits on it.
inline constexpr char kEndingSignal = 'S';
Result<Pipe> catch_ending_signals();

}  // namespace corvanelle::stub
