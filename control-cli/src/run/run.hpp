// The entry and the run: flags, help, version, the command, and the exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvanelle {

// Removes every element equal to `flag`, byte for byte, keeping the others' order.
// Returns whether anything was removed.
bool remove_flag(std::vector<std::string>& arguments, std::string_view flag);

std::string help_text();

// One run of the program over the process arguments that follow the program name.
// Returns the exit status: 0 or 1.
int run(std::vector<std::string> arguments);

}  // namespace corvanelle
