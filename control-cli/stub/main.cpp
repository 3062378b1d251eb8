// corvanelle-control-stub: a stand-in for the desktop application's control socket, for
// trying the client and scripts without the application. It answers one request frame with
// one reply frame per connection, serves connections concurrently within fixed bounds, logs
// each request as it arrived, and can imitate a faulty host.
//
// The rooms: options (the command line), place (the socket path), process (hygiene and
// signals), accept (the accept loop), connection (one connection's three steps), replies (the
// reply sources; relay, recorder and replay among them), budget (memory), log (the request
// log).
#include <fcntl.h>
#include <sys/socket.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "accept.hpp"
#include "option_table.hpp"
#include "options.hpp"
#include "place.hpp"
#include "process.hpp"
#include "recorder.hpp"
#include "replay.hpp"
#include "report/output.hpp"
#include "version.hpp"

namespace {

using namespace corvanelle;
using namespace corvanelle::stub;

// The one place where a failure to start becomes output: one line (two for a usage mistake,
// whose text holds the pointer to --help), and exit status 2.
int report(const Failure& failure) {
    (void)std::fprintf(stderr, "%s: %s\n", kProgram, failure.message.c_str());
    return 2;
}

// The log's descriptor: standard output (borrowed), a file (owned), or none.
Result<int> open_log(const Settings& settings, bool output_was_closed, Descriptor& owned) {
    if (settings.given.has(Option::quiet)) {
        return -1;
    }
    if (!settings.given.has(Option::log)) {
        if (output_was_closed) {
            (void)std::fprintf(stderr, "%s: standard output is closed: no request log is kept\n",
                               kProgram);
            return -1;
        }
        return STDOUT_FILENO;
    }
    owned = Descriptor(
        ::open(settings.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!owned.is_open()) {
        return fail("cannot open the log " + settings.log_path + ": " + os_error_message(errno));
    }
    return owned.get();
}

// Help and version: the settings ask for one of them.
int inform(const Settings& settings) {
    if (settings.action == Settings::Action::help) {
        (void)std::fputs(help_text().c_str(), stdout);
    } else {
        (void)std::printf("%s %.*s\n", kProgram, static_cast<int>(kVersion.size()),
                          kVersion.data());
    }
    return 0;
}

// Everything the host holds lives as long as the process: connection threads are never
// waited for.
struct Running {
    Descriptor log_file;
    RequestLog log;
    Place place;
    Pipe wake;  // ending signals, and connections that end
    Socket listener;
};

// The log, the signals and the place, in that order; the log's writer once listening.
Status start(const Settings& settings, bool output_was_closed, Running& running) {
    auto log_fd = open_log(settings, output_was_closed, running.log_file);
    if (!log_fd) {
        return forward_failure(log_fd);
    }
    auto wake = catch_ending_signals();
    if (!wake) {
        return forward_failure(wake);
    }
    running.wake = std::move(*wake);
    auto listener = running.place.take(settings.socket_path, SOMAXCONN);
    if (!listener) {
        return forward_failure(listener);
    }
    running.listener = std::move(*listener);
    return *log_fd >= 0 ? running.log.start(*log_fd) : Status();
}

// The start line on standard error, with how many recordings a replayer loaded, and a
// warning when that is none and nothing stands behind it.
void announce(const std::string& path, const Settings& settings, const Replay* replay) {
    if (replay != nullptr) {
        (void)std::fprintf(stderr, "%s: listening on %s, replaying %zu recordings\n", kProgram,
                           path.c_str(), replay->loaded());
        if (replay->loaded() == 0 && !settings.given.has(Option::forward)) {
            const std::string_view code = code_name(Code::not_recorded);
            (void)std::fprintf(stderr,
                               "%s: warning: %s holds no recordings: every request will be "
                               "answered %.*s\n",
                               kProgram, settings.replay_path.c_str(),
                               static_cast<int>(code.size()), code.data());
        }
    } else {
        (void)std::fprintf(stderr, "%s: listening on %s\n", kProgram, path.c_str());
    }
}

// With --strict, at the end: the replay's summary to standard error and the log; status 1
// when a recording was never used or a request had none.
int sum_up(Replay& replay, RequestLog& log) {
    std::vector<std::string> lines;
    const bool clean = replay.summary(lines);
    for (const std::string& line : lines) {
        (void)std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
        log.add("! " + line);
    }
    return clean ? 0 : 1;
}

int run(int argc, char** argv) {
    // Before anything else opens a descriptor.
    const auto tidy = tidy_process();
    if (!tidy) {
        return report(tidy.error());
    }
#if defined(__GLIBC__)
    // Buffers of a request's size come from the system and go back to it when freed, so
    // that what the budget gives back is given back by the process too.
    (void)::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    static auto settings = read_command_line(argc, argv);
    if (!settings) {
        return report(settings.error());
    }
    if (settings->action != Settings::Action::serve) {
        return inform(*settings);
    }
    // The folders of recordings, before the socket is taken: a host that cannot use them
    // never listens.
    static auto recorder = Recorder::open(*settings);
    if (!recorder) {
        return report(recorder.error());
    }
    static auto replay = Replay::open(*settings);
    if (!replay) {
        return report(replay.error());
    }
    static Running running;
    running.log.redact_with(settings->redaction);
    if (auto started = start(*settings, *tidy, running); !started) {
        running.place.leave();
        return report(started.error());
    }
    for (const std::string& name : settings->redaction.unset()) {
        std::string line = "! --redact " + name;
        line.append(": the variable ")
            .append(name)
            .append(" is not set, so replies keep its placeholder as recorded");
        running.log.add(line);
    }
    announce(running.place.path(), *settings, replay->get());
    if (settings->ready_fd >= 0) {
        const Descriptor ready(settings->ready_fd);  // closed once written to
        (void)write_all(ready.get(), "listening on " + running.place.path() + "\n");
    }
    static MemoryBudget budget(settings->memory_budget);
    static const Host host{*settings, running.log, &budget, recorder->get(), replay->get()};
    serve_until_signalled(running.listener, host, running.wake);
    running.place.leave();
    const int status = settings->given.has(Option::strict) ? sum_up(**replay, running.log) : 0;
    // What is queued for the log gets a moment to be written; a log nobody reads is not
    // waited for. Connections still being served end with the process.
    running.log.finish(std::chrono::seconds(2));
    std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Only setting up can get here (connections keep their own failures): say so, once.
        return report(Failure{e.what()});
    }
}
