// The host's request log: one line per request, the payload exactly as it arrived, or a line
// starting with "! " (which no JSON text can start with) for anything else.
//
// Serving never waits for the log. Connections only queue their lines; one writer thread of
// the log's own writes them out. When the queue is full, because whatever reads the log (a
// file, a pipe, a terminal) is slow or has stopped, lines are dropped, counted, and the count
// is written as a "! " line once the log takes lines again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "shared/owned_text.hpp"

namespace corvanelle::stub {

class RequestLog {
  public:
    // What the queue holds at most, besides the one line being added: lines are dropped beyond.
    static constexpr std::size_t kQueueBytes = std::size_t{4} * 1024 * 1024;
    static constexpr std::size_t kQueueLines = 4096;

    RequestLog() = default;  // keeps nothing
    // Writes to `fd` from a thread of its own; nothing is written when the thread cannot start.
    explicit RequestLog(int fd);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // A line, without its line feed. The log takes the text itself, not a copy.
    void add(OwnedText line);
    void add(std::string_view line);

    // Lets the writer go on until the queue is written out or `grace` has passed.
    void finish(std::chrono::milliseconds grace);

  private:
    void write_out();

    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable written_;
    std::deque<OwnedText> lines_;
    std::size_t queued_bytes_ = 0;
    std::size_t dropped_ = 0;
    bool writing_ = false;  // the writer holds a line it took from the queue
    bool ending_ = false;
    std::thread writer_;
};

}  // namespace corvanelle::stub
