// What the whole host was told at start: read once from the command line, then only read, by
// every connection at once. What one connection holds is in host.hpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <string>
#include <vector>

#include "redaction.hpp"
#include "shared/descriptor.hpp"

namespace corvanelle::stub {

// Every option of the host; the option table (options.cpp) has one row for each.
enum class Option : std::uint8_t {
    replies,
    reply,
    fail,
    raw,
    close_after,
    no_reply,
    no_read,
    hang_up,
    delay,
    timeout,
    max_connections,
    memory_budget,
    log,
    quiet,
    ready_fd,
    forward,
    record,
    append,
    replay,
    redact,
    strict,
    repeat_last,
    help,
    version,
};

// A set of options, such as the ones given or the ones an option excludes.
class OptionSet {
  public:
    constexpr OptionSet() = default;
    constexpr OptionSet(std::initializer_list<Option> options)
        : bits_(std::accumulate(
              options.begin(), options.end(), std::uint32_t{0},
              [](std::uint32_t bits, Option option) { return bits | bit(option); })) {}
    [[nodiscard]] constexpr bool has(Option option) const { return (bits_ & bit(option)) != 0; }
    [[nodiscard]] constexpr bool has_any(OptionSet other) const {
        return (bits_ & other.bits_) != 0;
    }
    [[nodiscard]] constexpr bool empty() const { return bits_ == 0; }
    constexpr void add(Option option) { bits_ |= bit(option); }
    constexpr OptionSet operator|(OptionSet other) const {
        OptionSet both;
        both.bits_ = bits_ | other.bits_;
        return both;
    }

  private:
    static constexpr std::uint32_t bit(Option option) {
        return std::uint32_t{1} << static_cast<unsigned>(option);
    }
    std::uint32_t bits_ = 0;
};

struct Settings {
    enum class Action { serve, help, version } action = Action::serve;
    OptionSet given;
    std::string socket_path;

    // The reply options' values: paths as given, then what they name, read at set-up.
    std::string replies_path;
    std::string reply_path;
    std::string raw_path;
    Descriptor replies_folder;
    std::string reply_payload;
    std::string raw_bytes;
    std::size_t close_after = 0;
    std::chrono::milliseconds delay{0};
    // The application's socket (--forward), and the folders of recordings.
    std::string forward_path;
    std::string record_path;
    std::string replay_path;
    // The variables --redact names, as given; then their values, read at set-up.
    std::vector<std::string> redact_names;
    Redaction redaction;

    // The whole time to receive one request, and again to send one reply.
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    std::size_t max_connections = 256;
    std::size_t memory_budget = std::size_t{256} * 1024 * 1024;
    std::string log_path;  // empty: standard output
    int ready_fd = -1;     // borrowed: written to once, then closed
};

}  // namespace corvanelle::stub
