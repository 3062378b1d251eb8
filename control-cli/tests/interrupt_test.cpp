// Blocking transfers carry on through signals: a send, a receive or an output write that a
// signal interrupts (EINTR) is repeated. Each case runs in a child process whose interval
// timer fires every millisecond, with a handler installed without SA_RESTART, so that the
// system calls really return EINTR.
#include <dirent.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "exchange/exchange.hpp"
#include "report/output.hpp"
#include "support.hpp"

namespace corvanelle {
namespace {

using test::frame;
using test::ScriptedHost;

volatile std::sig_atomic_t interruptions = 0;
extern "C" void count_interruption(int /*signal*/) {
    interruptions = interruptions + 1;
}

// GCC's AddressSanitizer runtime takes no lock around fork(): a child forked while another
// thread holds the allocator's lock (a scripted host's thread as it starts) would wait on that
// lock for ever. So the fork waits, for at most 2 s, until every other thread of this process
// is asleep in a blocking call.
void let_other_threads_settle() {
#ifdef __linux__
    const std::string self = std::to_string(::gettid());
    for (int round = 0; round < 200; ++round) {
        bool asleep = true;
        DIR* tasks = ::opendir("/proc/self/task");
        for (const dirent* task = nullptr; tasks != nullptr && (task = ::readdir(tasks));) {
            const std::string id = task->d_name;
            if (id == "." || id == ".." || id == self) {
                continue;
            }
            std::ifstream stat("/proc/self/task/" + id + "/stat");
            const std::string line((std::istreambuf_iterator<char>(stat)), {});
            const auto end_of_name = line.rfind(") ");
            asleep = asleep && end_of_name != std::string::npos && line[end_of_name + 2] == 'S';
        }
        if (tasks != nullptr) {
            ::closedir(tasks);
        }
        if (asleep) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
#endif
}

// Runs `body` in a child under the interval timer; the child's exit status is what `body`
// returns (0 for success), or 3 when no signal arrived at all.
int under_interruptions(const std::function<int()>& body) {
    let_other_threads_settle();
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct sigaction action {};
        action.sa_handler = count_interruption;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: interrupted calls return EINTR
        ::sigaction(SIGALRM, &action, nullptr);
        const itimerval every_ms{{0, 1000}, {0, 1000}};
        ::setitimer(ITIMER_REAL, &every_ms, nullptr);
        const int status = body();
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::_exit(status != 0 ? status : (interruptions > 0 ? 0 : 3));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(Interruptions, SendAndReceiveAreRepeated) {
    const std::string reply = R"({"success":true,"data":")" + std::string(200000, 'r') + R"("})";
    ScriptedHost host([&](int fd, ScriptedHost& h) {
        // Slow to take the request, slow to answer: the client waits in send, then in recv.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        h.read_request(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string bytes = frame(reply);
        for (std::size_t at = 0; at < bytes.size(); at += 50000) {
            ScriptedHost::send_bytes(fd, bytes.substr(at, 50000));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ::setenv(kSocketVariable, host.path().c_str(), 1);
    const int status = under_interruptions([] {
        // Larger than the socket's buffers, so that the send blocks.
        const auto result = transact("type", {std::string(2 * 1024 * 1024, 'x')});
        return result && result->root().kind() == Document::Kind::object ? 0 : 1;
    });
    ::unsetenv(kSocketVariable);
    host.join();
    EXPECT_EQ(status, 0) << "1: the exchange failed; 3: no signal arrived; 100+: a signal ended it";
}

TEST(Interruptions, OutputWritesAreRepeated) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string text(1024 * 1024, 'w');
    std::size_t read_bytes = 0;
    std::thread reader([&] {
        // Slower than the timer, so that the writer often waits on a full pipe with nothing
        // written yet, which is when its write() returns EINTR.
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            read_bytes += n > 0 ? static_cast<std::size_t>(n) : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const int status = under_interruptions([&] {
        ::close(fds[0]);
        return write_all(fds[1], text).has_value() ? 0 : 1;
    });
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(status, 0) << "1: the write failed; 3: no signal arrived; 100+: a signal ended it";
    EXPECT_EQ(read_bytes, text.size());
}

}  // namespace
}  // namespace corvanelle
