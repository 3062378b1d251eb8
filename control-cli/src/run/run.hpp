// The entry and the run: flags, help, version, the command, and the exit status.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "shared/result.hpp"

namespace corvanelle {

// What a flag word does when it is stripped.
enum class FlagEffect { compact, none, version, help };

struct FlagWord {
    std::string_view word;
    FlagEffect effect;
    // When this other flag word is on the line too, this word is not a flag but an argument
    // like any other: with --json given, every --json-output is forwarded.
    std::string_view yields_to;
};

// The six flag words, stripped wherever they stand on the command line, byte for byte: no
// prefixes, no "=value", no bundling. They are stripped in this order. The parser, the shell
// completions and the command-line fuzz target all take them from here.
inline constexpr std::array<FlagWord, 6> kFlagWords = {{
    {"--json", FlagEffect::compact, {}},
    {"--json-output", FlagEffect::compact, "--json"},
    {"--no-remote", FlagEffect::none, {}},
    {"--version", FlagEffect::version, {}},
    {"--help", FlagEffect::help, {}},
    {"-h", FlagEffect::help, "--help"},
}};

// One word of the command line, with its place there counted from 1 after the program name,
// which a failure about the word names.
struct Argument {
    std::string text;
    std::size_t place;
};

// Removes every element whose text equals `flag`, byte for byte, keeping the others' order.
// Returns whether anything was removed.
bool remove_flag(std::vector<Argument>& arguments, std::string_view flag);

std::string help_text();

// What the command line asks for, once flags are stripped and the command word resolved.
struct CommandLine {
    enum class Action { version, help, forward };
    Action action = Action::help;
    bool compact = false;
    std::string command;                 // for forward: the word to send
    std::vector<std::string> arguments;  // for forward: the arguments to send
};

// Everything the run decides before it touches the environment or a socket.
Result<CommandLine> parse_command_line(std::vector<std::string> words);

// One run of the program over the process arguments that follow the program name.
// Returns the exit status: 0 or 1.
int run(std::vector<std::string> arguments);

}  // namespace corvanelle
