#include <string>

#include <gtest/gtest.h>

#include "support.hpp"

#include "report/failure.hpp"

namespace corvanelle {
namespace {

TEST(ClassifyFailure, ByPhraseInOrder) {
    struct Case {
        std::string message;
        const char* code;
    };
    const Case cases[] = {
        {"CORVANELLE_CONTROL_SOCKET is not configured", "CONTROL_SOCKET_NOT_CONFIGURED"},
        {"xCORVANELLE_CONTROL_SOCKETx", "CONTROL_SOCKET_NOT_CONFIGURED"},
        {"corvanelle_control_socket", "CLIENT_FAILURE"},
        {"No such file or directory (os error 2)", "CONTROL_HOST_UNAVAILABLE"},
        {"Connection refused (os error 111)", "CONTROL_HOST_UNAVAILABLE"},
        {"no such file", "CLIENT_FAILURE"},
        {"connection refused", "CLIENT_FAILURE"},
        {"Connection timed out (os error 110)", "CONTROL_TRANSPORT_TIMEOUT"},
        {"unknown command: Timed Out", "CONTROL_TRANSPORT_TIMEOUT"},
        {"TIMED OUT", "CONTROL_TRANSPORT_TIMEOUT"},
        {"timed out", "CONTROL_TRANSPORT_TIMEOUT"},
        {"unknown command: Timed-Out", "CLIENT_FAILURE"},
        {"unknown command: timedout", "CLIENT_FAILURE"},
        {"timed  out", "CLIENT_FAILURE"},
        {"timed\tout", "CLIENT_FAILURE"},
        // Look-alikes that only a Unicode-aware fold would match.
        {"\xef\xbd\x94imed out", "CLIENT_FAILURE"},
        {"T\xc4\xb0MED OUT", "CLIENT_FAILURE"},
        {"tıme out", "CLIENT_FAILURE"},
        // Order between classes.
        {"No such file, timed out", "CONTROL_HOST_UNAVAILABLE"},
        {"CORVANELLE_CONTROL_SOCKET: Connection refused", "CONTROL_SOCKET_NOT_CONFIGURED"},
        {"timed out; Connection refused", "CONTROL_HOST_UNAVAILABLE"},
        {"Resource temporarily unavailable (os error 11)", "CLIENT_FAILURE"},
        {"", "CLIENT_FAILURE"},
        {"timed ou", "CLIENT_FAILURE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_failure(c.message).code, c.code) << c.message;
    }
}

TEST(ClassifyFailure, RetryableOnlyForHostAndTimeout) {
    EXPECT_FALSE(classify_failure("CORVANELLE_CONTROL_SOCKET").retryable);
    EXPECT_TRUE(classify_failure("No such file").retryable);
    EXPECT_TRUE(classify_failure("timed out").retryable);
    EXPECT_FALSE(classify_failure("x").retryable);
}

TEST(FailureEnvelope, ExampleLinesByteForByte) {
    const std::string unknown = failure_envelope("unknown command: foo");
    EXPECT_EQ(
        unknown,
        R"({"data":null,"debugLogs":[],"error":{"code":"CLIENT_FAILURE","details":null,"message":"unknown command: foo","recommendedFix":"Run `corvanelle-control bridge status --json`, preserve this error message, and do not retry a mutation without inspecting current state.","retryable":false},"requestId":"client","success":false})");
    EXPECT_EQ(unknown.size(), 322U);
    const std::string unset = failure_envelope("CORVANELLE_CONTROL_SOCKET is not configured");
    EXPECT_EQ(
        unset,
        R"({"data":null,"debugLogs":[],"error":{"code":"CONTROL_SOCKET_NOT_CONFIGURED","details":null,"message":"CORVANELLE_CONTROL_SOCKET is not configured","recommendedFix":"Run the bundled CLI through Corvanelle's authorized SSH shell, or set CORVANELLE_CONTROL_SOCKET to the socket exported by the running desktop app.","retryable":false},"requestId":"client","success":false})");
    EXPECT_EQ(unset.size(), 369U);
}

TEST(FailureEnvelope, OtherClassesAndAwkwardMessages) {
    struct Case {
        std::string message;
        std::string fix;
        bool retryable;
    };
    const Case cases[] = {
        {"Connection refused (os error 111)",
         "Open Corvanelle Desktop, then rerun `corvanelle-control bridge status --json` before "
         "retrying the requested action.",
         true},
        {"Operation timed out",
         "Check `corvanelle-control bridge status --json`; inspect current UI state before "
         "retrying because a mutation may have been dispatched.",
         true},
        {"unknown command: a\"b\\c\nd\te\x01", "", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        const std::string line = failure_envelope(c.message);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const Document envelope = test::parse_json(line);
        Document::Value error = envelope.root();
        ASSERT_TRUE(envelope.root().find("error", error)) << line;
        Document::Value member = error;
        ASSERT_TRUE(error.find("message", member));
        EXPECT_EQ(member.text(), c.message);
        ASSERT_TRUE(error.find("retryable", member));
        EXPECT_EQ(member.boolean(), c.retryable);
        if (!c.fix.empty()) {
            ASSERT_TRUE(error.find("recommendedFix", member));
            EXPECT_EQ(member.text(), c.fix);
        }
        EXPECT_EQ(envelope.root().size(), 5U);
        EXPECT_EQ(error.size(), 5U);
    }
}

}  // namespace
}  // namespace corvanelle
