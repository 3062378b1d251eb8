// The entry and the run: flags, help, version, the command, and the exit status.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace corvanelle {

// The six flag words, stripped wherever they stand on the command line.
inline constexpr std::array<std::string_view, 6> kFlagWords = {
    "--json", "--json-output", "--no-remote", "--version", "--help", "-h"};

// Removes every element equal to `flag`, byte for byte, keeping the others' order.
// Returns whether anything was removed.
bool remove_flag(std::vector<std::string>& arguments, std::string_view flag);

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
Result<CommandLine> parse_command_line(std::vector<std::string> arguments);

// One run of the program over the process arguments that follow the program name.
// Returns the exit status: 0 or 1.
int run(std::vector<std::string> arguments);

}  // namespace corvanelle
