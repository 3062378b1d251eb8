// The stand-in host as a tool people leave running: what a hostile local client sends can
// neither end it nor make it hold unbounded memory, and it keeps answering afterwards.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "exchange/socket.hpp"
#include "support.hpp"

namespace corvanelle {
namespace {

using test::StubHost;
using test::TempDir;
using Args = std::vector<std::string>;

// A raw connection to a host, for sending what no well-behaved client would.
class Connection {
  public:
    explicit Connection(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        const auto address = socket_address(path);
        connected_ = address && ::connect(fd_, address->get(), address->length) == 0;
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    [[nodiscard]] bool connected() const { return connected_; }
    void send(const std::string& bytes) const { test::ScriptedHost::send_bytes(fd_, bytes); }
    // Everything the host sends until it closes.
    [[nodiscard]] std::string until_closed() const {
        std::string got;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

  private:
    int fd_;
    bool connected_ = false;
};

bool answers(const StubHost& host) {
    test::ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    const auto result = test::run_process(test::client_path(), {"--json", "click"}, options);
    return result.status == 0 && test::json_at(result.out, "success") == "true";
}

bool alive(int pid) {
    return ::kill(pid, 0) == 0 && ::waitpid(pid, nullptr, WNOHANG) == 0;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Host, HostileRequestsAreRefusedAndTheHostGoesOn) {
    const TempDir replies;
    replies.write("click.json", R"({"success":true,"canned":1})");
    StubHost host({"--replies", replies.path()});
    const std::string deep = std::string(30000, '[') + std::string(30000, ']');
    const std::string requests[] = {
        // Nested 30 000 levels deep: refused by the reader's 127 levels, no recursion.
        deep,
        // Command words that name no plain file of the replies folder.
        std::string(
            R"({"arguments":[],"command":".\u0000","protocolVersion":1,"requestId":"1-1"})"),
        R"({"arguments":[],"command":"../click","protocolVersion":1,"requestId":"1-2"})",
        R"({"arguments":[],"command":"..","protocolVersion":1,"requestId":"1-3"})",
        R"({"arguments":[],"command":".","protocolVersion":1,"requestId":"1-4"})",
        // Valid JSON of the wrong shape, and not JSON at all.
        R"({"arguments":[[[1]]],"command":7})",
        "\xff\xfe",
        "[1,]",
    };
    for (const auto& request : requests) {
        const Connection connection(host.path());
        ASSERT_TRUE(connection.connected());
        connection.send(test::frame(request));
        (void)connection.until_closed();
    }
    // Lengths that announce nothing, or more than a frame may hold.
    for (const std::string field : {std::string(4, '\0'), std::string("\x00\x40\x00\x01", 4),
                                    std::string("\xff\xff\xff\xff")}) {
        const Connection connection(host.path());
        connection.send(field);
        EXPECT_EQ(connection.until_closed(), "") << "a refused frame is answered with nothing";
    }
    EXPECT_TRUE(alive(host.pid()));
    EXPECT_TRUE(answers(host));
    const auto log = lines_of(host.stop());
    ASSERT_EQ(log.size(), 12U);
    EXPECT_TRUE(log[0].starts_with("! refused, not a JSON request: nesting deeper than 127"))
        << log[0];
    for (std::size_t i = 1; i <= 5; ++i) {
        EXPECT_EQ(log[i], requests[i]) << "logged as it arrived";
    }
    for (std::size_t i = 6; i <= 7; ++i) {
        EXPECT_TRUE(log[i].starts_with("! refused, not a JSON request: ")) << log[i];
    }
    for (std::size_t i = 8; i <= 10; ++i) {
        EXPECT_EQ(log[i], "! refused, a frame length of 0 or above 4194304 bytes");
    }
}

TEST(Host, LogShowsTheBytesThatArrived) {
    StubHost host;
    // Unsorted keys and escapes the client would never send: the log keeps them as they are.
    const std::string request =
        R"({"requestId":"9-9","command":"type","arguments":["\/é\u00e9\t"],"protocolVersion":1})";
    {
        const Connection connection(host.path());
        connection.send(test::frame(request));
        (void)connection.until_closed();
    }
    test::ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    (void)test::run_process(test::client_path(), {"type", "a\"b\\", "é\t"}, options);
    const auto log = lines_of(host.stop());
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0], request);
    EXPECT_TRUE(log[1].starts_with(R"({"arguments":["a\"b\\","é\t"],"command":"type",)")) << log[1];
}

// The sanitizers need what these tests take away from the host: AddressSanitizer's shadow
// memory cannot live under an address-space limit, and with no descriptor left UBSan's own
// memory checks (which open a pipe) fail and report false errors.
#if defined(__SANITIZE_ADDRESS__)
#define CORVANELLE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANELLE_TEST_SANITIZED 1
#endif
#endif

#ifdef __linux__
std::size_t resident_kib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stoul(line.substr(6));
        }
    }
    return 0;
}

double cpu_seconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {  // utime, stime
            ticks += std::stoul(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(Host, SilentConnectionsAnnouncingFourMiBCostLittle) {
    StubHost host;
    std::vector<std::unique_ptr<Connection>> silent;
    for (int i = 0; i < 200; ++i) {
        silent.push_back(std::make_unique<Connection>(host.path()));
        silent.back()->send(std::string("\x00\x40\x00\x00{", 5));
    }
    EXPECT_TRUE(answers(host)) << "still answering with 200 connections waiting";
    EXPECT_LT(resident_kib(host.pid()), 64U * 1024);
}

TEST(Host, NoThreadForAConnectionClosesItAndTheHostGoesOn) {
#ifdef CORVANELLE_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory cannot live under an address-space limit";
#else
    StubHost host({"--timeout", "1"});
    // Little address space beyond what the host has mapped: a thread's stack no longer fits.
    // (A limit on processes would do too, but root is exempt from it.)
    rlimit current{};
    ASSERT_EQ(::prlimit(host.pid(), RLIMIT_AS, nullptr, &current), 0);
    std::ifstream status("/proc/" + std::to_string(host.pid()) + "/status");
    std::size_t mapped_kib = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmSize:")) {
            mapped_kib = std::stoul(line.substr(7));
        }
    }
    ASSERT_GT(mapped_kib, 0U);
    const rlimit tight{(mapped_kib + 4 * 1024) * 1024, current.rlim_max};
    ASSERT_EQ(::prlimit(host.pid(), RLIMIT_AS, &tight, nullptr), 0);
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<Connection>(host.path()));
    }
    for (const auto& connection : idle) {
        (void)connection->until_closed();  // closed at once, or after the 1 s time-out
    }
    EXPECT_TRUE(alive(host.pid()));
    ASSERT_EQ(::prlimit(host.pid(), RLIMIT_AS, &current, nullptr), 0);
    EXPECT_TRUE(answers(host));
    EXPECT_NE(host.stop().find("! no thread for a connection; it was closed unanswered"),
              std::string::npos);
#endif
}

TEST(Host, OutOfDescriptorsItBacksOffAndRecovers) {
#ifdef CORVANELLE_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
    StubHost host({"--timeout", "1"});
    // Room for the host's own descriptors and a few connections, no more.
    const rlimit few{12, 12};
    ASSERT_EQ(::prlimit(host.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<Connection>(host.path()));
    }
    const double before = cpu_seconds(host.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(cpu_seconds(host.pid()) - before, 0.2) << "no busy loop on EMFILE";
    idle.clear();
    EXPECT_TRUE(alive(host.pid()));
    EXPECT_TRUE(answers(host));
}
#endif

TEST(Host, SocketFileLifeCycle) {
    const TempDir dir;
    const std::string path = dir.file("c.sock");
    {
        StubHost first({}, path);
        // A live host's socket is refused, not taken over.
        EXPECT_THROW(StubHost second({}, path), std::runtime_error);
        EXPECT_TRUE(answers(first));
        first.kill_hard();
    }
    struct stat left {};
    ASSERT_EQ(::lstat(path.c_str(), &left), 0) << "a killed host leaves its socket";
    {
        StubHost replacing({}, path);  // nobody listens on it: replaced
        EXPECT_TRUE(answers(replacing));
        ::kill(replacing.pid(), SIGHUP);
        int status = 0;
        ASSERT_EQ(::waitpid(replacing.pid(), &status, 0), replacing.pid());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_NE(::lstat(path.c_str(), &left), 0) << "SIGHUP removes the socket";
    }
    dir.write("plain", "x");
    EXPECT_THROW(StubHost on_a_file({}, dir.file("plain")), std::runtime_error);
}

TEST(Host, CommandLineMistakesAreOneLine) {
    const TempDir dir;
    struct Case {
        Args args;
        std::string err_start;
    };
    const Case cases[] = {
        {{"--replies", dir.file("absent"), dir.file("s")},
         "corvanelle-control-stub: cannot open the replies folder "},
        {{"--reply", dir.path(), dir.file("s")}, "corvanelle-control-stub: cannot read "},
        {{"--raw=" + dir.file("absent"), dir.file("s")}, "corvanelle-control-stub: cannot read "},
        {{"--delay=soon", dir.file("s")}, "corvanelle-control-stub: --delay takes"},
        {{"--bogus", dir.file("s")}, "corvanelle-control-stub: unrecognized option"},
        {{"--log"}, "corvanelle-control-stub: option '--log' needs a value"},
        {{}, "corvanelle-control-stub: a socket path is needed"},
    };
    for (const auto& c : cases) {
        const auto result = test::run_process(test::stub_path(), c.args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(c.args);
        EXPECT_TRUE(result.err.starts_with(c.err_start)) << result.err;
        EXPECT_LE(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    }
    const auto help = test::run_process(test::stub_path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--max-connections"), std::string::npos);
}

}  // namespace
}  // namespace corvanelle
