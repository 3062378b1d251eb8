// What the run decides from the command line alone, before it reads the environment or
// opens a socket: in-process, at the function that decides it.
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run/run.hpp"
#include "shared/failure_texts.hpp"
#include "shared/utf8.hpp"

namespace corvanelle {
namespace {

using Args = std::vector<std::string>;

// Every boundary of Unicode's table of well-formed UTF-8 byte sequences, and the bytes just
// beyond each.
TEST(Utf8, WellFormedSequencesAndTheirLimits) {
    const std::string accepted[] = {
        "",
        std::string(1, '\0'),
        "\x7f",  // U+0000..U+007F
        "\xc2\x80",
        "\xdf\xbf",  // U+0080..U+07FF
        "\xe0\xa0\x80",
        "\xe0\xbf\xbf",  // U+0800..U+0FFF
        "\xe1\x80\x80",
        "\xec\xbf\xbf",  // U+1000..U+CFFF
        "\xed\x80\x80",
        "\xed\x9f\xbf",  // U+D000..U+D7FF
        "\xee\x80\x80",
        "\xef\xbf\xbf",  // U+E000..U+FFFF
        "\xf0\x90\x80\x80",
        "\xf0\xbf\xbf\xbf",  // U+10000..U+3FFFF
        "\xf1\x80\x80\x80",
        "\xf3\xbf\xbf\xbf",  // U+40000..U+FFFFF
        "\xf4\x80\x80\x80",
        "\xf4\x8f\xbf\xbf",  // U+100000..U+10FFFF
        "a\xc3\xa9z\xf0\x9f\x98\x80",
    };
    for (const auto& text : accepted) {
        EXPECT_TRUE(is_valid_utf8(text)) << ::testing::PrintToString(text);
    }
    const std::string refused[] = {
        "\x80",
        "\xbf",  // a continuation byte alone
        "\xc0\x80",
        "\xc1\xbf",  // overlong two-byte leads
        "\xc2\x7f",
        "\xc2\xc0",
        "\xdf\xc0",  // second byte out of range
        "\xe0\x9f\xbf",
        "\xe0\xc0\x80",  // E0 needs A0..BF
        "\xe1\x7f\x80",
        "\xec\xc0\x80",
        "\xe1\x80\x7f",
        "\xe1\x80\xc0",
        "\xed\xa0\x80",
        "\xed\xbf\xbf",  // surrogates
        "\xee\x7f\x80",
        "\xef\xc0\x80",
        "\xf0\x8f\xbf\xbf",
        "\xf0\xc0\x80\x80",  // F0 needs 90..BF
        "\xf1\x7f\x80\x80",
        "\xf3\xc0\x80\x80",
        "\xf1\x80\x80\x7f",
        "\xf1\x80\x80\xc0",
        "\xf4\x90\x80\x80",
        "\xf4\x7f\x80\x80",  // beyond U+10FFFF
        "\xf5\x80\x80\x80",
        "\xf7\xbf\xbf\xbf",
        "\xf8\x88\x80\x80\x80",
        "\xfe",
        "\xff",
        "\xc2",
        "\xe1\x80",
        "\xf1\x80\x80",  // cut short
        "a\xc3",
        "\xe0\xa0",
        "\xf0\x90\x80",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(is_valid_utf8(text)) << ::testing::PrintToString(text);
        EXPECT_FALSE(is_valid_utf8("ok " + text + " ok")) << ::testing::PrintToString(text);
    }
}

// A text cut for a message ends where a character starts: at every limit within characters
// of one, two, three and four bytes.
TEST(Utf8, PrefixCutsWhereACharacterStarts) {
    const std::string text = "a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80";
    const std::size_t cut_at[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};  // for each limit
    for (std::size_t most = 0; most < std::size(cut_at); ++most) {
        EXPECT_EQ(utf8_prefix(text, most), text.substr(0, cut_at[most])) << most;
    }
}

TEST(ParseCommandLine, Decisions) {
    using Action = CommandLine::Action;
    struct Case {
        Args args;
        Action action;
        bool compact;
        std::string command;  // for forward
        Args arguments;
    };
    const Case cases[] = {
        {{}, Action::help, false, "", {}},
        {{"--json"}, Action::help, true, "", {}},
        {{"--no-remote"}, Action::help, false, "", {}},
        {{"click", "-h"}, Action::help, false, "", {}},
        {{"--help", "click"}, Action::help, false, "", {}},
        {{"click", "--version", "--help"}, Action::version, false, "", {}},
        {{"--json-output", "--version"}, Action::version, true, "", {}},
        // Help and version win over an argument that could never be sent.
        {{"\xff", "--version"}, Action::version, false, "", {}},
        {{"click", "\xc3\x28", "--help"}, Action::help, false, "", {}},
        {{"\xed\xa0\x80", "-h", "--json"}, Action::help, true, "", {}},
        // Flags anywhere, before and after the command word.
        {{"--json", "click"}, Action::forward, true, "click", {}},
        {{"click", "--json"}, Action::forward, true, "click", {}},
        {{"click", "1", "--json", "2"}, Action::forward, true, "click", {"1", "2"}},
        {{"--no-remote", "click", "--no-remote", "x", "--no-remote"},
         Action::forward,
         false,
         "click",
         {"x"}},
        {{"--json-output", "click"}, Action::forward, true, "click", {}},
        // With --json present, --json-output is an argument like any other.
        {{"click", "--json", "--json-output"}, Action::forward, true, "click", {"--json-output"}},
        {{"--json", "type", "--json-output", "--json", "--json-output"},
         Action::forward,
         true,
         "type",
         {"--json-output", "--json-output"}},
        {{"type", "-H", "--Json", "--help=1", "-hh", "--version=2"},
         Action::forward,
         false,
         "type",
         {"-H", "--Json", "--help=1", "-hh", "--version=2"}},
        {{"list", "--json", "windows", "--all"},
         Action::forward,
         true,
         "window",
         {"list", "--all"}},
        {{"type", "", "é"}, Action::forward, false, "type", {"", "é"}},
    };
    for (const auto& c : cases) {
        const auto line = parse_command_line(c.args);
        ASSERT_TRUE(line.has_value())
            << ::testing::PrintToString(c.args) << ": " << line.error().message;
        EXPECT_EQ(line->action, c.action) << ::testing::PrintToString(c.args);
        EXPECT_EQ(line->compact, c.compact) << ::testing::PrintToString(c.args);
        if (c.action == Action::forward) {
            EXPECT_EQ(line->command, c.command) << ::testing::PrintToString(c.args);
            EXPECT_EQ(line->arguments, c.arguments) << ::testing::PrintToString(c.args);
        }
    }
}

TEST(ParseCommandLine, Failures) {
    struct Case {
        Args args;
        std::string message;
    };
    const Case cases[] = {
        // "argument N" counts on the command line as given, flags included.
        {{"\xff"}, texts::argument_not_utf8(1)},
        {{"--json", "type", "ok", "\xc3\x28"}, texts::argument_not_utf8(4)},
        {{"--no-remote", "--json", "--no-remote", "type", "\xc0\x80"}, texts::argument_not_utf8(5)},
        {{"type", "--json", "--json-output", "\xe0\x80\x80", "\xff"}, texts::argument_not_utf8(4)},
        {{"type", "ok", "--no-remote", "\xf4\x90\x80\x80"}, texts::argument_not_utf8(4)},
        // The UTF-8 check comes before resolution: the bad word is named, not the command.
        {{"nonsense", "\xff"}, texts::argument_not_utf8(2)},
        {{"nonsense"}, texts::unknown_command("nonsense")},
        {{"--json", "list"}, std::string(texts::kListNeedsTarget)},
        {{"list", "Windows"}, texts::unsupported_list_target("Windows")},
        {{""}, texts::unknown_command("")},
    };
    for (const auto& c : cases) {
        const auto line = parse_command_line(c.args);
        ASSERT_FALSE(line.has_value()) << ::testing::PrintToString(c.args);
        EXPECT_EQ(line.error().message, c.message) << ::testing::PrintToString(c.args);
    }
}

}  // namespace
}  // namespace corvanelle
