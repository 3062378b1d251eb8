// Any list of arguments (NUL-separated in the input; flag words and invalid UTF-8 included)
// through flag stripping and command resolution.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commands/commands.hpp"
#include "run/run.hpp"
#include "utf8.hpp"

using namespace corvanelle;

namespace {

constexpr std::array<std::string_view, 6> kFlags = {"--json",    "--json-output", "--no-remote",
                                                    "--version", "--help",        "-h"};

bool contains(const std::vector<std::string>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(std::move(current));
            current.clear();
        } else if (data[i] == 1 && i + 1 < size) {
            // A byte 1 followed by n picks flag word n % 6, so flags are common.
            current += kFlags[data[++i] % kFlags.size()];
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size > 0) {
        arguments.push_back(std::move(current));
    }

    const auto line = parse_command_line(arguments);
    if (contains(arguments, "--version")) {
        // Wins over everything else, arguments that are not UTF-8 included.
        if (!line || line->action != CommandLine::Action::version) {
            std::abort();
        }
        return 0;
    }
    // The words that would be resolved and sent: all but the stripped flags. With --json
    // present, every --json-output is one of them.
    const bool json = contains(arguments, "--json");
    const bool compact = json || contains(arguments, "--json-output");
    const std::string_view compact_flag = json ? "--json" : "--json-output";
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (!(compact && arguments[i] == compact_flag) && arguments[i] != "--no-remote") {
            kept.push_back(i);
        }
    }
    const bool help = kept.empty() || contains(arguments, "--help") || contains(arguments, "-h");
    if (help) {
        if (!line || line->action != CommandLine::Action::help) {
            std::abort();
        }
        return 0;
    }
    for (const std::size_t i : kept) {
        if (!is_valid_utf8(arguments[i])) {
            // The first such word, by its place on the command line as given.
            if (line || line.error().message !=
                            "argument " + std::to_string(i + 1) + " is not valid UTF-8") {
                std::abort();
            }
            return 0;
        }
    }
    if (!line) {
        // Exactly one message, and one of resolution's three kinds.
        const std::string& message = line.error().message;
        if (!message.starts_with("unknown command: ") &&
            !message.starts_with("unsupported list target: ") &&
            message != "list requires apps, windows, or screens") {
            std::abort();
        }
        return 0;
    }
    if (line->action != CommandLine::Action::forward) {
        return 0;
    }
    // No flag word is ever forwarded, but --json-output when --json was there too.
    for (const std::string& sent : line->arguments) {
        for (const std::string_view flag : kFlags) {
            if (sent == flag && !(flag == "--json-output" && contains(arguments, "--json"))) {
                std::abort();
            }
        }
    }
    const bool known =
        std::find(kCommandTable.begin(), kCommandTable.end(), line->command) != kCommandTable.end();
    if (!known ||
        line->compact != (contains(arguments, "--json") || contains(arguments, "--json-output"))) {
        std::abort();
    }
    return 0;
}
