// The host's request log: one line per request, its payload as it arrived, or a line starting
// with "! " (which no JSON text can start with) for anything else.
//
// Serving never waits for the log. Connections only queue their lines; one writer thread of
// the log's own writes them out, each whole: a log that is not ready (a non-blocking pipe
// that is full) is waited for. When the queue falls 4 MiB behind (whatever reads the log is
// slow or has stopped), or a write fails (a full disk, a file-size limit), lines are dropped,
// and once the log takes lines again a "! " line says how many and why. A line that a failing
// write cut short is ended first, and a "! " line after it says so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "redaction.hpp"
#include "shared/owned_text.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

class RequestLog {
  public:
    // What the queue holds at most, besides the one line being added: lines are dropped beyond.
    static constexpr std::size_t kQueueBytes = std::size_t{4} * 1024 * 1024;
    static constexpr std::size_t kQueueLines = 4096;

    RequestLog() = default;  // keeps nothing
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // Starts writing to `fd` (borrowed: it outlives the log) from a thread of the log's own.
    Status start(int fd);
    // Requests are logged with the secrets of `redaction` (which outlives the log) replaced
    // by their placeholders, as a recording holds them. Set before start().
    void redact_with(const Redaction& redaction) { redaction_ = &redaction; }

    // A request as it arrived: its own bytes, not a copy, unless they must change (below).
    void add_request(OwnedText request);
    // A line, without its line feed.
    void add(std::string_view line);

    // Lets the writer go on until the queue is written out or `grace` has passed.
    void finish(std::chrono::milliseconds grace);

  private:
    void add_line(OwnedText line);
    // How far one entry got: written whole, cut short by a failing write, or not at all.
    enum class Entry { whole, cut, lost };
    Entry write_entry(std::string_view text);  // the writer's alone
    void write_out();

    int fd_ = -1;
    const Redaction* redaction_ = nullptr;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable written_;
    std::deque<OwnedText> lines_;
    std::size_t queued_bytes_ = 0;
    std::size_t dropped_behind_ = 0;  // lines the full queue could not take
    std::size_t dropped_failed_ = 0;  // lines a failing write lost
    std::string failure_;             // the writer's alone: the last write failure
    bool cut_ = false;                // the writer's alone: the last entry was cut short
    bool writing_ = false;            // the writer holds a line it took from the queue
    bool ending_ = false;
    std::thread writer_;
};

// What the log writes for a request: its bytes, except that the code points U+0080 to U+009F,
// U+2028 and U+2029 (valid raw inside JSON strings, but line breaks or terminal controls to
// some readers) become \u escapes, so that the line is the same JSON value and every reader
// sees one line. Empty when the request holds a line feed or a carriage return (outside its
// strings, where JSON allows them), which cannot be logged as it is.
OwnedText loggable_request(OwnedText request);

}  // namespace corvanelle::stub
