#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/commands.hpp"

namespace corvanelle {
namespace {

using Args = std::vector<std::string>;

TEST(ResolveCommand, Table) {
    struct Case {
        std::string word;
        Args arguments;
        std::string result;  // the command word sent, or the failure message
        Args sent;
    };
    const Case cases[] = {
        {"click", {"--x", "1"}, "click", {"--x", "1"}},
        {"set-value", {}, "set-value", {}},
        {"completions", {"zsh"}, "completions", {"zsh"}},
        {"window", {"list"}, "window", {"list"}},
        {"list", {"apps"}, "app", {"list"}},
        {"list", {"applications", "-a"}, "app", {"list", "-a"}},
        {"list", {"windows", "--all"}, "window", {"list", "--all"}},
        {"list", {"screens"}, "screen", {"list"}},
        {"list", {"displays", "2"}, "screen", {"list", "2"}},
        {"list", {"windows", "windows"}, "window", {"list", "windows"}},
        {"list", {}, "list requires apps, windows, or screens", {}},
        {"list", {"Apps"}, "unsupported list target: Apps", {}},
        {"list", {"app"}, "unsupported list target: app", {}},
        {"list", {"apps "}, "unsupported list target: apps ", {}},
        {"list", {""}, "unsupported list target: ", {}},
        {"Click", {}, "unknown command: Click", {}},
        {"click ", {}, "unknown command: click ", {}},
        {"set_value", {}, "unknown command: set_value", {}},
        {"setvalue", {}, "unknown command: setvalue", {}},
        {"List", {"apps"}, "unknown command: List", {}},
        {"", {}, "unknown command: ", {}},
        {"timed out", {}, "unknown command: timed out", {}},
    };
    for (const auto& c : cases) {
        Args arguments = c.arguments;
        const auto resolved = resolve_command(c.word, arguments);
        if (resolved) {
            EXPECT_EQ(*resolved, c.result) << c.word;
            EXPECT_EQ(arguments, c.sent) << c.word;
        } else {
            EXPECT_EQ(resolved.error().message, c.result) << c.word;
        }
    }
}

TEST(ResolveCommand, EveryTableWordAndNoOther) {
    for (const auto word : kCommandTable) {
        Args arguments;
        EXPECT_EQ(resolve_command(word, arguments).value_or(""), word);
    }
    EXPECT_EQ(kCommandTable.front(), "bridge");
    EXPECT_EQ(kCommandTable.back(), "completions");
    for (const auto& target : kListTargets) {
        Args arguments;
        EXPECT_FALSE(resolve_command(target.target, arguments).has_value()) << target.target;
    }
}

}  // namespace
}  // namespace corvanelle
