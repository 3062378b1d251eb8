// The host's command line: one table of options drives the parser, --help, the range checks
// and the rule of which reply options exclude each other.
#pragma once

#include <string>

#include "settings.hpp"
#include "shared/result.hpp"

namespace corvanelle::stub {

inline constexpr const char* kProgram = "corvanelle-control-stub";

// A mistake in the command line: its text ends with the pointer to --help. Set-up failures
// (a file that cannot be read, a path in use) are plain failures. main reports either, once,
// with exit status 2.
Unexpected usage_error(const std::string& message);

// The settings the command line gives, with the files and folders it names opened and read.
Result<Settings> read_command_line(int argc, char** argv);

}  // namespace corvanelle::stub
