// The program as its callers see it: the real binary, its output, its exit status, and
// what reaches the stand-in host.
#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/failure.hpp"
#include "report/json_text.hpp"
#include "shared/failure_texts.hpp"
#include "shared/result.hpp"
#include "support.hpp"

namespace corvanelle {
namespace {

using test::ProcessOptions;
using test::ProcessResult;
using test::StubHost;
using Args = std::vector<std::string>;

constexpr std::size_t kFrameLimitForTests = std::size_t{4} * 1024 * 1024;

const std::string kHelp =
    "Corvanelle native computer control\n"
    "Usage: corvanelle-control <command> [options]\n"
    "\n"
    "Commands:\n"
    "  bridge\n  permissions\n  screen\n  image\n  capture\n  see\n  verify\n  click\n"
    "  type\n  set-value\n  action\n  press\n  scroll\n  paste\n  drag\n  move\n  window\n"
    "  menu\n  menubar\n  app\n  dock\n  dialog\n  browser\n  space\n  clipboard\n  clean\n"
    "  tools\n  learn\n  completions\n"
    "\n"
    "Use --json or --json-output for compact structured output.\n";

const std::string kVersion =
    "{\n"
    "  \"data\": {\n"
    "    \"name\": \"corvanelle-control\",\n"
    "    \"protocolVersion\": 1,\n"
    "    \"version\": \"1.1.0\"\n"
    "  },\n"
    "  \"success\": true\n"
    "}\n";
const std::string kVersionCompact =
    "{\"data\":{\"name\":\"corvanelle-control\",\"protocolVersion\":1,\"version\":\"1.1.0\"},"
    "\"success\":true}\n";

ProcessResult client(const Args& args, const std::optional<std::string>& socket = std::nullopt,
                     bool close_stdout = false) {
    ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = socket;
    options.close_stdout = close_stdout;
    return test::run_process(test::client_path(), args, options);
}

// The request payloads a stand-in host logged, byte for byte as they arrived, with each
// request id (checked for its form) cut out.
std::vector<std::string> requests_seen(StubHost& host) {
    std::vector<std::string> requests;
    std::istringstream log(host.stop());
    const std::regex id(R"(,"requestId":"[0-9]+-[0-9]+"\})");
    for (std::string line; std::getline(log, line);) {
        EXPECT_TRUE(std::regex_search(line, id)) << line;
        requests.push_back(std::regex_replace(line, id, "}"));
    }
    return requests;
}

TEST(Cli, HelpAndVersion) {
    struct Case {
        Args args;
        const std::string& out;
    };
    const Case cases[] = {
        {{}, kHelp},
        {{"--json"}, kHelp},
        {{"--no-remote", "--json-output"}, kHelp},
        {{"--help"}, kHelp},
        {{"-h"}, kHelp},
        {{"click", "--help"}, kHelp},
        {{"-h", "unknown-word"}, kHelp},
        {{"--json", "--help", "-h"}, kHelp},
        {{"--version"}, kVersion},
        {{"click", "--version", "--help"}, kVersion},
        {{"nonsense", "--version"}, kVersion},
        {{"--json", "--version"}, kVersionCompact},
        {{"--version", "--json-output", "-h"}, kVersionCompact},
    };
    for (const auto& c : cases) {
        const auto result = client(c.args);
        EXPECT_EQ(result.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(Cli, FlagsAreStrippedWhereverTheyStand) {
    struct Case {
        Args args;
        std::string sent;  // the request without its id
        bool compact;
    };
    const Case cases[] = {
        {{"click", "--json", "--json-output"},
         R"({"arguments":["--json-output"],"command":"click","protocolVersion":1})",
         true},
        {{"--json-output", "click"},
         R"({"arguments":[],"command":"click","protocolVersion":1})",
         true},
        {{"--no-remote", "click", "1", "--no-remote", "2"},
         R"({"arguments":["1","2"],"command":"click","protocolVersion":1})",
         false},
        {{"type", "--json", "a", "--json"},
         R"({"arguments":["a"],"command":"type","protocolVersion":1})",
         true},
        {{"list", "displays", "--json", "2"},
         R"({"arguments":["list","2"],"command":"screen","protocolVersion":1})",
         true},
        {{"type", "-H", "--Json", "-hh", "--help=1"},
         R"({"arguments":["-H","--Json","-hh","--help=1"],"command":"type","protocolVersion":1})",
         false},
    };
    for (const auto& c : cases) {
        StubHost host;
        const auto result = client(c.args, host.path());
        const auto requests = requests_seen(host);
        ASSERT_EQ(requests.size(), 1U) << ::testing::PrintToString(c.args);
        EXPECT_EQ(requests[0], c.sent);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        const bool one_line = result.out.find('\n') == result.out.size() - 1;
        EXPECT_EQ(one_line, c.compact) << result.out;
    }
}

TEST(Cli, ReplyPrintedExactlyAndJudgedBySuccess) {
    const test::TempDir replies;
    struct Case {
        std::string reply;
        std::string indented;
        int status;
        std::string err = {};
    };
    const Case cases[] = {
        {R"({"success":true,"b":[],"a":{}})",
         "{\n  \"a\": {},\n  \"b\": [],\n  \"success\": true\n}\n", 0},
        {R"({"success":false})", "{\n  \"success\": false\n}\n", 1},
        {R"({"success":"true"})", "{\n  \"success\": \"true\"\n}\n", 1},
        {R"({"success":1})", "{\n  \"success\": 1\n}\n", 1},
        {R"({"success":null})", "{\n  \"success\": null\n}\n", 1},
        {R"({"ok":true})", "{\n  \"ok\": true\n}\n", 1},
        {R"([{"success":true}])", "[\n  {\n    \"success\": true\n  }\n]\n", 1},
        {R"("success")", "\"success\"\n", 1},
        {R"({"success":true,"success":false})", "{\n  \"success\": false\n}\n", 1},
        {R"({"success":false,"success":true})", "{\n  \"success\": true\n}\n", 0},
        {R"({"s":"\/\u00e9\u001B","n":[1.50,1e2,-0]})",
         "{\n  \"n\": [\n    1.5,\n    100.0,\n    -0.0\n  ],\n  \"s\": \"/é\\u001b\"\n}\n", 1},
        {R"({"success":true,"n":0e99999999999-1})", "", 1,
         test::expected_envelope("CLIENT_FAILURE", "syntax error at line 1 column 34")},
    };
    for (const auto& c : cases) {
        replies.write("see.json", c.reply);
        StubHost host({"--replies", replies.path()});
        const auto indented = client({"see"}, host.path());
        EXPECT_EQ(indented.out, c.indented) << c.reply;
        EXPECT_EQ(indented.status, c.status) << c.reply;
        EXPECT_EQ(indented.err, c.err);
        const auto compact = client({"--json", "see"}, host.path());
        if (!c.indented.empty()) {
            EXPECT_EQ(compact.out.find('\n'), compact.out.size() - 1) << compact.out;
        }
        EXPECT_EQ(compact.status, c.status);
        EXPECT_EQ(compact.err, c.err);
    }
}

TEST(Cli, FailuresGiveOneEnvelopeLine) {
    const test::TempDir dir;
    struct Case {
        Args args;
        std::optional<std::string> socket;
        std::string message;
        std::string code;
    };
    const Case cases[] = {
        {{"foo"}, dir.file("s"), texts::unknown_command("foo"), "CLIENT_FAILURE"},
        {{"--json", "foo"}, dir.file("s"), texts::unknown_command("foo"), "CLIENT_FAILURE"},
        {{"click"},
         std::nullopt,
         std::string(texts::kSocketNotConfigured),
         "CONTROL_SOCKET_NOT_CONFIGURED"},
        {{"click", "--json-output"},
         std::nullopt,
         std::string(texts::kSocketNotConfigured),
         "CONTROL_SOCKET_NOT_CONFIGURED"},
        {{"click"}, dir.file("absent"), os_error_message(ENOENT), "CONTROL_HOST_UNAVAILABLE"},
        {{"Timed Out"},
         std::nullopt,
         texts::unknown_command("Timed Out"),
         "CONTROL_TRANSPORT_TIMEOUT"},
        {{"Timed-Out"}, std::nullopt, texts::unknown_command("Timed-Out"), "CLIENT_FAILURE"},
        {{"xCORVANELLE_CONTROL_SOCKET"},
         std::nullopt,
         texts::unknown_command("xCORVANELLE_CONTROL_SOCKET"),
         "CONTROL_SOCKET_NOT_CONFIGURED"},
        {{"say \"hi\"\n"}, std::nullopt, texts::unknown_command("say \"hi\"\n"), "CLIENT_FAILURE"},
        {{"list"}, std::nullopt, std::string(texts::kListNeedsTarget), "CLIENT_FAILURE"},
        {{"list", "--json", "--no-remote"},
         std::nullopt,
         std::string(texts::kListNeedsTarget),
         "CLIENT_FAILURE"},
        {{"list", "Apps"}, std::nullopt, texts::unsupported_list_target("Apps"), "CLIENT_FAILURE"},
        {{"--no-remote", "--json", ""}, std::nullopt, texts::unknown_command(""), "CLIENT_FAILURE"},
    };
    for (const auto& c : cases) {
        const auto result = client(c.args, c.socket);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, test::expected_envelope(c.code, c.message))
            << ::testing::PrintToString(c.args);
    }
    // The first example line, written out in full.
    EXPECT_EQ(
        client({"--json", "foo"}).err,
        R"({"data":null,"debugLogs":[],"error":{"code":"CLIENT_FAILURE","details":null,"message":"unknown command: foo","recommendedFix":"Run `corvanelle-control bridge status --json`, preserve this error message, and do not retry a mutation without inspecting current state.","retryable":false},"requestId":"client","success":false})"
        "\n");
}

TEST(Cli, ArgumentThatIsNotUtf8IsRefusedBeforeAnythingIsSent) {
    StubHost host;
    const auto result = client({"type", "ok", "\xc3\x28", "\xff"}, host.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, test::expected_envelope("CLIENT_FAILURE", texts::argument_not_utf8(3)));
    EXPECT_TRUE(requests_seen(host).empty());
}

TEST(Cli, VersionAndHelpWinOverAnArgumentThatIsNotUtf8) {
    EXPECT_EQ(client({"--version", "\xed\xa0\x80"}).out, kVersion);
    EXPECT_EQ(client({"\xff", "--json", "--version"}).out, kVersionCompact);
    EXPECT_EQ(client({"click", "\xc3\x28", "--help"}).out, kHelp);
    const auto result = client({"--json", "type", "\xc3\x28"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.err,
        R"({"data":null,"debugLogs":[],"error":{"code":"CLIENT_FAILURE","details":null,"message":"argument 3 is not valid UTF-8","recommendedFix":"Run `corvanelle-control bridge status --json`, preserve this error message, and do not retry a mutation without inspecting current state.","retryable":false},"requestId":"client","success":false})"
        "\n");
}

TEST(Cli, NonBlockingStandardOutputStillGetsEveryByte) {
    // A 4 MiB reply into a pipe that a parent made non-blocking and that is read slowly: a
    // full pipe is a wait, not a failure.
    const test::TempDir replies;
    const std::string text(kFrameLimitForTests - 64, 'x');
    replies.write("see.json", R"({"success":true,"data":")" + text + R"("})");
    StubHost host({"--replies", replies.path()});
    ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    options.nonblocking_output = true;
    options.read_pause = std::chrono::microseconds(50);
    const auto result = test::run_process(test::client_path(), {"see"}, options);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.size(), text.size() + 36);
    EXPECT_EQ(result.out, "{\n  \"data\": \"" + text + "\",\n  \"success\": true\n}\n");
}

TEST(Cli, PrintedReplyReachesThePipeAsItIsMade) {
    // Small values 120 levels deep: their indented text (49 MB) is 120 times the reply, and is
    // never held whole, so the client's peak memory stays below it. A sanitized debug build's
    // allocator keeps freed memory in quarantine (about 100 MB here), so only the output is
    // checked there.
    const test::TempDir replies;
    std::string values = "0";
    for (int i = 1; i < 200000; ++i) {
        values += ",0";
    }
    const std::string reply = R"({"data":)" + std::string(120, '[') + values +
                              std::string(120, ']') + R"(,"success":true})";
    replies.write("see.json", reply);
    StubHost host({"--replies", replies.path()});
    const auto result = client({"see"}, host.path());
    EXPECT_TRUE(result.out == to_indented(test::parse_json(reply)) + "\n") << result.out.size();
    if (!test::kSanitized) {
        EXPECT_LT(result.peak_bytes, result.out.size());
    }
}

TEST(Cli, ClosedStandardOutputIsAFailureNotASignal) {
    StubHost host;
    const Args cases[] = {{"--version"}, {"--help"}, {}, {"click"}, {"--json", "click"}};
    for (const auto& args : cases) {
        const auto result = client(args, host.path(), /*close_stdout=*/true);
        EXPECT_EQ(result.signal, 0) << ::testing::PrintToString(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, test::expected_envelope("CLIENT_FAILURE", os_error_message(EPIPE)));
    }
}

TEST(Cli, StandInHostFaults) {
    struct Case {
        Args host_options;
        std::string message;
    };
    const Case cases[] = {
        {{"--close-after", "2"}, std::string(texts::kFillIncomplete)},
        {{"--close-after", "10"}, std::string(texts::kFillIncomplete)},
        {{"--raw", "/dev/null"}, std::string(texts::kFillIncomplete)},
    };
    for (const auto& c : cases) {
        StubHost host(c.host_options);
        const auto result = client({"click"}, host.path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, test::expected_envelope("CLIENT_FAILURE", c.message));
    }
    StubHost failing({"--fail"});
    const auto result = client({"--json", "click"}, failing.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(test::json_at(result.out, "success"), "false");
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace corvanelle
