// Any list of arguments (NUL-separated in the input; flag words and invalid UTF-8 included)
// through flag stripping and command resolution, checked against what the flag table and the
// command table promise.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commands/commands.hpp"
#include "run/run.hpp"
#include "shared/failure_texts.hpp"
#include "shared/utf8.hpp"

using namespace corvanelle;

namespace {

bool contains(const std::vector<std::string>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// The flag `word` is on this command line: none when it is no flag word, or when it yields to
// another flag word that is there too.
const FlagWord* stripped_flag(std::string_view word, const std::vector<std::string>& arguments) {
    for (const FlagWord& flag : kFlagWords) {
        if (flag.word == word) {
            return flag.yields_to.empty() || !contains(arguments, flag.yields_to) ? &flag : nullptr;
        }
    }
    return nullptr;
}

bool any_stripped(const std::vector<std::string>& arguments, FlagEffect effect) {
    return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& word) {
        const FlagWord* flag = stripped_flag(word, arguments);
        return flag != nullptr && flag->effect == effect;
    });
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
            current += kFlagWords[data[++i] % kFlagWords.size()].word;
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (size > 0) {
        arguments.push_back(std::move(current));
    }

    const auto line = parse_command_line(arguments);
    if (any_stripped(arguments, FlagEffect::version)) {
        // Wins over everything else, arguments that are not UTF-8 included.
        if (!line || line->action != CommandLine::Action::version) {
            std::abort();
        }
        return 0;
    }
    // The words that would be resolved and sent, by their place on the command line.
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (stripped_flag(arguments[i], arguments) == nullptr) {
            kept.push_back(i);
        }
    }
    if (kept.empty() || any_stripped(arguments, FlagEffect::help)) {
        if (!line || line->action != CommandLine::Action::help) {
            std::abort();
        }
        return 0;
    }
    for (const std::size_t i : kept) {
        if (!is_valid_utf8(arguments[i])) {
            // The first such word, by its place on the command line as given.
            if (line || line.error().message != texts::argument_not_utf8(i + 1)) {
                std::abort();
            }
            return 0;
        }
    }
    if (!line) {
        // Exactly one message, and one of resolution's three kinds.
        const std::string& message = line.error().message;
        if (!message.starts_with(texts::kUnknownCommand) &&
            !message.starts_with(texts::kUnsupportedListTarget) &&
            message != texts::kListNeedsTarget) {
            std::abort();
        }
        return 0;
    }
    if (line->action != CommandLine::Action::forward) {
        std::abort();
    }
    // No stripped flag word is ever forwarded.
    for (const std::string& sent : line->arguments) {
        if (stripped_flag(sent, arguments) != nullptr) {
            std::abort();
        }
    }
    const bool known =
        std::find(kCommandTable.begin(), kCommandTable.end(), line->command) != kCommandTable.end();
    if (!known || line->compact != any_stripped(arguments, FlagEffect::compact)) {
        std::abort();
    }
    return 0;
}
