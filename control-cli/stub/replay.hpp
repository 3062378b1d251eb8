// The replayer (--replay): each request is answered with the reply of the first recording not
// yet used whose request has the same command and arguments (compared as the JSON values they
// are, whatever their types), so that a script that asks the same thing twice gets the
// two replies in the order they were recorded. The recordings (recording.hpp) are read and
// checked when the host starts; what it keeps of each is a few numbers, and a reply is read
// again, and checked against what was read at start, when it is used.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host.hpp"
#include "reply.hpp"
#include "request.hpp"

namespace corvanelle::stub {

// What tells requests apart here, hashed twice over.
struct Key {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    bool operator==(const Key&) const = default;
};

// The replayer's one request key: the request's command and each of its arguments, as the
// JSON values they are (written compactly, so that equal values give equal keys), each with
// its length; an absent member, or arguments that are not an array, as what they are. A
// request that is not an object is keyed by the whole of it. Other members (the id, the
// protocol version) are not compared. With --redact, each value's secrets count as their
// placeholders, so that a request typed with a secret finds the recording that holds it.
Key request_key(Document::Value request, const Redaction& redaction = Redaction());
// The key of a command alone, for telling a near miss.
Key command_key(std::string_view command, const Redaction& redaction = Redaction());

class Replay {
  public:
    // The recordings in the folder --replay names, checked: one that cannot be read or is not
    // a recording (not a plain file, a symbolic link, too long, malformed) is refused, naming
    // the file and why. Nothing without --replay.
    static Result<std::unique_ptr<Replay>> open(const Settings& settings);

    // The recorded reply to a request, its file still to be read, or a failure reply when no
    // recording answers it; nothing when another source is to answer (a request that is not
    // well formed, or with --forward, one without a recording).
    std::optional<Reply> answer(const Settings& settings, const RequestParts& request);

    [[nodiscard]] std::size_t loaded() const { return recorded_.size(); }

    // With --strict, at the end: the recordings never used and the requests that had none, one
    // line each after a first line that counts them; whether both lists are empty.
    [[nodiscard]] bool summary(std::vector<std::string>& lines);

    // What is kept of one recording.
    struct Recorded {
        Key key;
        Key command;
        std::uint64_t first_argument = 0;  // the key of its first argument alone
        std::uint64_t reply_digest = 0;
        std::uint32_t arguments = 0;  // how many
        std::uint32_t reply_offset = 0;
        std::uint32_t reply_length = 0;
        std::uint32_t number = 0;
        std::uint8_t digits = 0;  // of its name
        bool used = false;
    };

    // What a request is matched by: its key, its command's key, and its arguments' count and
    // the key of the first of them (for the nearest of a near miss).
    static Recorded match_of(const RequestParts& request, const Redaction& redaction = Redaction());
    // Why a request found no unused recording, for STUB_NOT_RECORDED (recordings in the
    // order of their numbers).
    static std::string near_miss(const std::vector<Recorded>& recordings,
                                 const RequestParts& request,
                                 const Redaction& redaction = Redaction());

  private:
    Replay(Descriptor folder, const Redaction& redaction)
        : folder_(std::move(folder)), redaction_(redaction) {}
    Reply reply_of(const Recorded& recorded, const RequestParts& request) const;
    void remember_unmatched(const RequestParts& request);

    Descriptor folder_;
    const Redaction& redaction_;  // the settings'
    std::mutex mutex_;
    std::vector<Recorded> recorded_;  // in the order of their numbers
    std::vector<std::string> unmatched_;
    std::size_t unmatched_more_ = 0;  // beyond what unmatched_ keeps
};

// The reply source of --replay: the host's replayer answers.
std::optional<Reply> replayed(Connection& c, Asked& asked);

}  // namespace corvanelle::stub
