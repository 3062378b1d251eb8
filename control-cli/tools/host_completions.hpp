// The shell completions of the stand-in host, made from its option table.
#pragma once

#include <string>

namespace corvanelle::tools {

std::string host_bash();
std::string host_zsh();
std::string host_fish();

}  // namespace corvanelle::tools
