// The host as a Unix process: its log, its socket file's life, and running out of threads or
// descriptors.
#include "host_support.hpp"

namespace corvanelle::host_test {
namespace {

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

#ifdef __linux__
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

TEST(Host, NoThreadForAConnectionClosesItAndTheHostGoesOn) {
#ifdef CORVANELLE_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory cannot live under an address-space limit";
#else
    if (!kCanLimitOtherProcesses) {
        GTEST_SKIP() << "only Linux sets another process's limits";
    }
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
    if (!kCanLimitOtherProcesses) {
        GTEST_SKIP() << "only Linux sets another process's limits";
    }
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
        // A live host's socket is refused, not taken over, and its lock file left alone.
        struct stat lock_before {};
        struct stat lock_after {};
        ASSERT_EQ(::stat((path + ".lock").c_str(), &lock_before), 0);
        EXPECT_THROW(StubHost second({}, path), std::runtime_error);
        ASSERT_EQ(::stat((path + ".lock").c_str(), &lock_after), 0);
        EXPECT_EQ(lock_before.st_ino, lock_after.st_ino);
        EXPECT_TRUE(answers(first));
        first.kill_hard();
    }
    {
        // Whoever holds the lock file's lock, even a shared one, holds the path.
        const int lock = ::open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(lock, LOCK_SH), 0);
        EXPECT_THROW(StubHost waiting({}, path), std::runtime_error);
        ::close(lock);
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
    {
        // What lives at the path or the lock's when the host ends is not its own: left alone.
        StubHost host({}, path);
        ASSERT_EQ(::unlink(path.c_str()) | ::unlink((path + ".lock").c_str()), 0);
        dir.write("c.sock", "another's");
        dir.write("c.sock.lock", "another's");
        host.stop();
        EXPECT_EQ(::lstat(path.c_str(), &left) | ::lstat((path + ".lock").c_str(), &left), 0);
        ::unlink(path.c_str());
    }
    {
        // A path as long as the platform allows, and not a byte longer.
        const std::string longest =
            dir.file(std::string(max_socket_path_length() - dir.path().size() - 1, 'p'));
        StubHost host({}, longest);
        EXPECT_TRUE(answers(host));
        EXPECT_THROW(StubHost longer({}, longest + "p"), std::runtime_error);
    }
    // Two hosts started on one path at the same moment: exactly one of them serves.
    for (int round = 0; round < 10; ++round) {
        const auto start = [&] {
            try {
                return std::make_unique<StubHost>(Args{}, path);
            } catch (const std::runtime_error&) {
                return std::unique_ptr<StubHost>();
            }
        };
        auto one = std::async(std::launch::async, start);
        auto other = std::async(std::launch::async, start);
        const auto first = one.get();
        const auto second = other.get();
        ASSERT_EQ((first ? 1 : 0) + (second ? 1 : 0), 1) << "round " << round;
        EXPECT_TRUE(answers(first ? *first : *second));
    }
    dir.write("plain", "x");
    EXPECT_THROW(StubHost on_a_file({}, dir.file("plain")), std::runtime_error);
}

}  // namespace
}  // namespace corvanelle::host_test
