#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <regex>
#include <string>

#include <csignal>

#include <gtest/gtest.h>

#include "exchange/exchange.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "shared/failure_texts.hpp"
#include "support.hpp"

namespace corvanelle {
namespace {

using test::frame;
using test::ScriptedHost;
using Args = std::vector<std::string>;

// Each test names its socket through the variable, as the program's caller would.
class Exchange : public ::testing::Test {
  protected:
    void SetUp() override { descriptors_before_ = test::open_descriptor_count(); }
    void TearDown() override {
        ::unsetenv(kSocketVariable);
        EXPECT_EQ(test::open_descriptor_count(), descriptors_before_) << "a descriptor leaked";
    }
    static void use_socket(const std::string& path) { ::setenv(kSocketVariable, path.c_str(), 1); }

    static std::string failure_of(const Result<Document>& reply) {
        return reply ? "(a reply: " + to_compact(*reply) + ")" : reply.error().message;
    }

    // Runs one exchange against a host that reads the request and answers with `bytes`.
    static Result<Document> answered_with(const std::string& bytes, const Timeouts& timeouts = {}) {
        ScriptedHost host([&](int fd, ScriptedHost& h) {
            h.read_request(fd);
            ScriptedHost::send_bytes(fd, bytes);
        });
        use_socket(host.path());
        return transact("click", {}, timeouts);
    }

  private:
    std::size_t descriptors_before_ = 0;
};

const Timeouts kShort{std::chrono::milliseconds(200), std::chrono::milliseconds(200)};

TEST_F(Exchange, RequestOnTheWire) {
    struct Case {
        std::string command;
        Args arguments;
        std::string prefix;  // the payload up to the request id
    };
    const Case cases[] = {
        {"click", {}, R"({"arguments":[],"command":"click","protocolVersion":1,"requestId":")"},
        {"type",
         {"", "42", "true", "{\"a\":1}", "tab\there\nq\"b\\", "é/"},
         R"({"arguments":["","42","true","{\"a\":1}","tab\there\nq\"b\\","é/"],"command":"type","protocolVersion":1,"requestId":")"},
    };
    for (const auto& c : cases) {
        ScriptedHost host([](int fd, ScriptedHost& h) {
            h.read_request(fd);
            ScriptedHost::send_bytes(fd, frame(R"({"success":true})"));
            h.read_to_end(fd);
        });
        use_socket(host.path());
        const auto reply = transact(c.command, c.arguments);
        host.join();
        ASSERT_TRUE(reply.has_value()) << failure_of(reply);
        EXPECT_TRUE(host.saw_end_of_stream) << "the client closes its socket";
        ASSERT_GT(host.received.size(), 4U);
        const std::string payload = host.received.substr(4);
        EXPECT_EQ(frame(payload), host.received) << "the length field counts the payload";
        EXPECT_TRUE(payload.starts_with(c.prefix)) << payload;
        const std::regex id_shape(std::to_string(::getpid()) + "-[1-9][0-9]{18}\"\\}");
        EXPECT_TRUE(std::regex_match(payload.substr(c.prefix.size()), id_shape)) << payload;
    }
}

TEST(RequestId, ProcessIdAndNanosecondsSinceTheEpoch) {
    EXPECT_EQ(format_request_id(4242, {1, 500'000'000}), "4242-1500000000");
    EXPECT_EQ(format_request_id(4242, {0, 0}), "4242-0");
    EXPECT_EQ(format_request_id(4242, {-1, 999'999'999}), "4242-0");
    EXPECT_EQ(format_request_id(4294967295U, {0, 7}), "4294967295-7");
    // Past 2262 the count no longer fits 64 bits.
    EXPECT_EQ(format_request_id(1, {20'000'000'000, 1}), "1-20000000000000000001");
}

TEST_F(Exchange, VariableUnsetOrNotUtf8) {
    ::unsetenv(kSocketVariable);
    EXPECT_EQ(failure_of(transact("click", {})), std::string(texts::kSocketNotConfigured));
    use_socket("/tmp/\xff\xfe");
    EXPECT_EQ(failure_of(transact("click", {})), std::string(texts::kSocketNotConfigured));
}

TEST_F(Exchange, PathLengthLimit) {
    const test::TempDir dir;
    const std::size_t limit = sizeof(sockaddr_un{}.sun_path) - 1;
    ASSERT_EQ(max_socket_path_length(), limit);
    std::string path = dir.path() + "/";
    path.append(limit - path.size(), 'p');
    use_socket(path);  // fits: tried, and missing
    EXPECT_EQ(failure_of(transact("click", {})), os_error_message(ENOENT));
    use_socket(path + "p");
    EXPECT_EQ(failure_of(transact("click", {})), texts::kPathTooLong);
}

TEST_F(Exchange, MissingFileAndNobodyListening) {
    const test::TempDir dir;
    use_socket(dir.file("absent"));
    EXPECT_EQ(failure_of(transact("click", {})), os_error_message(ENOENT));

    // A socket file that nobody listens on any more.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const std::string path = dir.file("stale");
    const auto address = socket_address(path);
    ASSERT_TRUE(address);
    ASSERT_EQ(::bind(fd, address->get(), address->length), 0);
    ::close(fd);
    use_socket(path);
    EXPECT_EQ(failure_of(transact("click", {})), os_error_message(ECONNREFUSED));
}

TEST_F(Exchange, EmptyPathNeverReachesTheAbstractNamespace) {
#if defined(__linux__)
    // Something listening on the empty abstract name must not receive the request.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const bool bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address),
                              offsetof(sockaddr_un, sun_path) + 1) == 0 &&
                       ::listen(listener, 1) == 0;
#endif
    use_socket("");
    const auto reply = transact("click", {});
    ASSERT_FALSE(reply.has_value());
    EXPECT_NE(reply.error().message.find(" (os error "), std::string::npos) << failure_of(reply);
#if defined(__linux__)
    EXPECT_EQ(reply.error().message, os_error_message(EINVAL));
    if (bound) {
        ::fcntl(listener, F_SETFL, O_NONBLOCK);
        EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "connected to the abstract name";
    }
    ::close(listener);
#endif
}

TEST_F(Exchange, RequestFrameLimit) {
    const std::size_t overhead = to_compact(build_request("type", {""})).size();
    const std::string fits(kFrameLimit - overhead, 'x');
    {
        ScriptedHost host([](int fd, ScriptedHost& h) {
            h.read_request(fd);
            ScriptedHost::send_bytes(fd, frame("true"));
        });
        use_socket(host.path());
        const auto reply = transact("type", {fits});
        host.join();
        EXPECT_TRUE(reply.has_value()) << failure_of(reply);
        EXPECT_EQ(host.received.size(), 4 + kFrameLimit);
        EXPECT_EQ(host.received.substr(0, 4), std::string("\x00\x40\x00\x00", 4));
    }
    {
        ScriptedHost host([](int fd, ScriptedHost& h) { h.read_to_end(fd); });
        use_socket(host.path());
        EXPECT_EQ(failure_of(transact("type", {fits + "x"})), texts::kRequestTooLarge);
        host.join();
        EXPECT_TRUE(host.saw_end_of_stream);
        EXPECT_EQ(host.received, "") << "nothing is sent";
    }
}

TEST_F(Exchange, ReplyFrames) {
    struct Case {
        std::string bytes;
        std::string result;  // the reply written compact, or the failure message
    };
    const std::string big = "\"" + std::string(kFrameLimit - 2, 'a') + "\"";
    const Case cases[] = {
        {std::string("\x00\x00\x00\x02{}", 6), "{}"},
        {frame("7"), "7"},
        {frame(" [1,\"s\"]\n"), "[1,\"s\"]"},
        {frame(R"({"success":true})") + "trailing bytes are never read", R"({"success":true})"},
        {std::string("\x00\x00\x00\x00{}", 6), std::string(texts::kFrameSizeInvalid)},
        {std::string("\x00\x40\x00\x01", 4) + "x", std::string(texts::kFrameSizeInvalid)},
        {"\xff\xff\xff\xff", std::string(texts::kFrameSizeInvalid)},
        {std::string("\x02\x00\x00\x00{}", 6), std::string(texts::kFrameSizeInvalid)},
        {std::string("\x00\x00", 2), std::string(texts::kFillIncomplete)},
        {"", std::string(texts::kFillIncomplete)},
        {frame("{\"success\":true}").substr(0, 10), std::string(texts::kFillIncomplete)},
        {frame("[1,]"), "syntax error at line 1 column 4"},
        {frame(big), big},
    };
    for (const auto& c : cases) {
        const auto reply = answered_with(c.bytes);
        EXPECT_EQ(reply ? to_compact(*reply) : reply.error().message, c.result)
            << "reply bytes: " << c.bytes.substr(0, 40);
    }
}

TEST_F(Exchange, HostGoneWhileSending) {
#ifndef CORVANELLE_TEST_BSD_VARIANT
    // The shipped socket code alone keeps the signal away: this process does not ignore it.
    struct sigaction current {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &current), 0);
    ASSERT_EQ(current.sa_handler, SIG_DFL);
#endif
    ScriptedHost host([](int fd, ScriptedHost&) {
        char field[4];
        (void)::recv(fd, field, sizeof field, MSG_WAITALL);
    });
    use_socket(host.path());
    // A request larger than the socket's buffers is still being sent when the host closes.
    EXPECT_EQ(failure_of(transact("type", {std::string(kFrameLimit / 2, 'x')})),
              os_error_message(EPIPE));
}

TEST_F(Exchange, SendTimeoutWhenTheHostNeverReads) {
    // The host holds the connection, unread, until the client has given up.
    std::promise<void> client_done;
    ScriptedHost host(
        [done = client_done.get_future().share()](int, ScriptedHost&) { done.wait(); });
    use_socket(host.path());
    EXPECT_EQ(failure_of(transact("type", {std::string(kFrameLimit / 2, 'x')}, kShort)),
              os_error_message(EAGAIN));
    client_done.set_value();
    host.join();
}

TEST_F(Exchange, ReceiveTimeoutWhenTheHostNeverAnswers) {
    ScriptedHost host([](int fd, ScriptedHost& h) {
        h.read_request(fd);
        h.read_to_end(fd);
    });
    use_socket(host.path());
    EXPECT_EQ(failure_of(transact("click", {}, kShort)), os_error_message(EAGAIN));
    host.join();
    EXPECT_TRUE(host.saw_end_of_stream) << "the socket is closed after a time-out";
}

TEST(Socket, DefaultsAndProperties) {
    auto socket = Socket::open_stream();
    ASSERT_TRUE(socket.has_value());
    EXPECT_NE(::fcntl(socket->fd(), F_GETFD) & FD_CLOEXEC, 0);
    const Timeouts defaults;
    ASSERT_TRUE(socket->set_timeouts(defaults.receive, defaults.send).has_value());
    timeval tv{};
    socklen_t size = sizeof tv;
    ASSERT_EQ(::getsockopt(socket->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &size), 0);
    EXPECT_EQ(tv.tv_sec, 120);
    EXPECT_EQ(tv.tv_usec, 0);
    ASSERT_EQ(::getsockopt(socket->fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, &size), 0);
    EXPECT_EQ(tv.tv_sec, 10);
    EXPECT_EQ(tv.tv_usec, 0);

    const int fd = socket->fd();
    Socket moved = std::move(*socket);
    EXPECT_EQ(socket->fd(), -1);
    EXPECT_EQ(moved.fd(), fd);
}

}  // namespace
}  // namespace corvanelle
