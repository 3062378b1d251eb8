// The command words the client may send, and the list form rewritten onto them.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "shared/result.hpp"

namespace corvanelle {

// In this order in the help text; lookup is by exact, case-sensitive comparison.
inline constexpr std::array<std::string_view, 29> kCommandTable = {
    "bridge",    "permissions", "screen",  "image", "capture",     "see",    "verify",  "click",
    "type",      "set-value",   "action",  "press", "scroll",      "paste",  "drag",    "move",
    "window",    "menu",        "menubar", "app",   "dock",        "dialog", "browser", "space",
    "clipboard", "clean",       "tools",   "learn", "completions",
};

struct ListTarget {
    std::string_view target;
    std::string_view command;
};

// "list <target> …" is sent as "<command> list …".
inline constexpr std::array<ListTarget, 5> kListTargets = {{
    {"apps", "app"},
    {"applications", "app"},
    {"windows", "window"},
    {"screens", "screen"},
    {"displays", "screen"},
}};

// Returns the command word to send; `arguments` is edited in place to the arguments to send.
Result<std::string> resolve_command(std::string_view word, std::vector<std::string>& arguments);

}  // namespace corvanelle
