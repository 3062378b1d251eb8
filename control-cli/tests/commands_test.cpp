#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/commands.hpp"
#include "shared/failure_texts.hpp"

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
        {"list", {}, std::string(texts::kListNeedsTarget), {}},
        {"list", {"Apps"}, texts::unsupported_list_target("Apps"), {}},
        {"list", {"app"}, texts::unsupported_list_target("app"), {}},
        {"list", {"apps "}, texts::unsupported_list_target("apps "), {}},
        {"list", {""}, texts::unsupported_list_target(""), {}},
        {"Click", {}, texts::unknown_command("Click"), {}},
        {"click ", {}, texts::unknown_command("click "), {}},
        {"set_value", {}, texts::unknown_command("set_value"), {}},
        {"setvalue", {}, texts::unknown_command("setvalue"), {}},
        {"List", {"apps"}, texts::unknown_command("List"), {}},
        {"", {}, texts::unknown_command(""), {}},
        {"timed out", {}, texts::unknown_command("timed out"), {}},
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
