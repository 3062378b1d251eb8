// The replayer (--replay): each request is answered with the reply of the first recording not
// yet used whose request has the same command and arguments (the request ids are not
// compared), so that a script that asks the same thing twice gets the two replies in the order
// they were recorded. The recordings (recording.hpp) are read and checked when the host
// starts; what it keeps of each is a few numbers, and a reply is read again when it is used.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "replies.hpp"

namespace corvanelle::stub {

class Replay {
  public:
    // The recordings in the folder --replay names, checked: one that cannot be read or is not
    // a recording (not a plain file, a symbolic link, too long, malformed) is refused, naming
    // the file and why. Nothing without --replay.
    static Result<std::unique_ptr<Replay>> open(const Settings& settings);

    // The recorded reply to a well-formed request, its file opened (complete_reply reads it),
    // or a failure reply when no unused recording has its command and arguments.
    std::optional<Reply> answer(Connection& c, const RequestParts& request);

    // What tells requests apart here: their command and arguments, hashed twice over.
    struct Key {
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        bool operator==(const Key&) const = default;
    };
    // What is kept of one recording.
    struct Recorded {
        Key key;
        std::uint64_t inode = 0;  // the file as it was read: one that changed is not used
        std::uint64_t size = 0;
        std::time_t modified = 0;
        std::uint32_t reply_offset = 0;
        std::uint32_t reply_length = 0;
        std::uint32_t number = 0;
        std::uint8_t digits = 0;  // of its name
        bool used = false;
    };

  private:
    explicit Replay(Descriptor folder) : folder_(std::move(folder)) {}

    Descriptor folder_;
    std::mutex mutex_;
    std::vector<Recorded> recorded_;  // in the order of their numbers
};

// The reply source of --replay: the host's replayer answers.
std::optional<Reply> replayed(Connection& c, const RequestParts* request);

}  // namespace corvanelle::stub
