// The recorder (--record): every exchange the relay passes on is kept in a folder, one file
// each, numbered in the order the requests were handed to the application (recording.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "settings.hpp"
#include "shared/descriptor.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

class Recorder {
  public:
    // The folder --record names, made with mode 0700 if it is not there and locked for this
    // host alone, with what an earlier host left half written removed. A folder that already
    // holds recordings is refused, unless --append asks to number on after them. Nothing
    // without --record.
    static Result<std::unique_ptr<Recorder>> open(const Settings& settings);

    // One exchange being recorded: its request written, under a temporary name, so that its
    // bytes need not be held while the application answers. One that is never finished
    // leaves nothing behind.
    class Exchange {
      public:
        Exchange(Exchange&&) = default;
        Exchange& operator=(Exchange&&) = delete;
        ~Exchange();

      private:
        friend class Recorder;
        Exchange(const Recorder& recorder, std::uint32_t number, Descriptor file)
            : recorder_(&recorder), number_(number), file_(std::move(file)) {}
        const Recorder* recorder_;
        std::uint32_t number_;
        Descriptor file_;  // closed once finished
    };

    // Begins the next exchange with its request; then finish() it with the reply, which
    // renames it into place, a file of mode 0600. A recording that cannot be written changes
    // nothing else: the failure says which exchange was not kept and why, for a "! " line.
    // With --redact, both are written with their secrets redacted, and an exchange whose
    // secrets cannot be (a value outside the strings) is not kept.
    Result<Exchange> begin(std::string_view request);
    Status finish(Exchange& exchange, std::string_view reply) const;

  private:
    // The bytes written for one frame of an exchange (its request or its reply), after the
    // format's text that goes before it; with --redact, its secrets redacted.
    Status write_frame(int fd, std::string_view before, std::string_view frame) const;

    Recorder(Descriptor folder, const Redaction& redaction)
        : folder_(std::move(folder)), redaction_(redaction) {}

    Descriptor folder_;
    const Redaction& redaction_;
    std::mutex mutex_;
    std::uint32_t next_ = 1;
};

}  // namespace corvanelle::stub
