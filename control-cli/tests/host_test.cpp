// The stand-in host as a tool people leave running: what a hostile local client sends can
// neither end it nor make it hold unbounded memory, and it keeps answering afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "exchange/frame.hpp"
#include "exchange/reader.hpp"
#include "exchange/socket.hpp"
#include "report/json_text.hpp"
#include "support.hpp"
#include "version.hpp"

#ifndef __linux__
// Only Linux sets another process's limits. The cases that need it skip elsewhere; this
// stand-in, failing as a missing call would, keeps them compiling there.
static int prlimit(pid_t, int, const rlimit*, rlimit*) {
    errno = ENOSYS;
    return -1;
}
#endif

namespace corvanelle {
namespace {

using test::StubHost;
using test::TempDir;
using Args = std::vector<std::string>;
constexpr auto npos = std::string::npos;

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
    // Sends give up after this long (the host may rightly stop reading).
    void send_time_out(std::chrono::milliseconds limit) const {
        const timeval tv{static_cast<time_t>(limit.count() / 1000),
                         static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
        (void)::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
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

// The payload of the one whole frame in `bytes`, or nothing when they are not one whole frame
// of a valid length.
std::optional<std::string> frame_payload(const std::string& bytes) {
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    LengthField field{};
    std::memcpy(field.data(), bytes.data(), 4);
    const std::size_t length = decode_length(field);
    if (!valid_frame_length(length) || bytes.size() != 4 + length) {
        return std::nullopt;
    }
    return bytes.substr(4);
}

// What the host sends back for one request frame, until it closes.
std::string ask(const StubHost& host, const std::string& payload) {
    const Connection connection(host.path());
    connection.send(test::frame(payload));
    return connection.until_closed();
}

// A request of `size` bytes whose one argument is a run of x.
std::string request_of_size(std::size_t size, std::string_view command = "click") {
    const std::string head = R"({"arguments":[")";
    const std::string tail =
        std::string(R"("],"command":")") + std::string(command) + R"(","requestId":"1-1"})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

// The densest request a frame can hold: about 2 million values in 4 MiB, one every 2 bytes.
const std::string& dense_request() {
    static const std::string text = [] {
        const std::string tail = R"(0],"command":"click","protocolVersion":1,"requestId":"1-1"})";
        std::string r = R"({"arguments":[)";
        while (r.size() + 2 + tail.size() <= kFrameLimit) {
            r += "0,";
        }
        return r + tail;
    }();
    return text;
}

// A number from /proc/PID/status (kB for memory), or nothing where there is no /proc.
std::optional<std::size_t> proc_status(int pid, std::string_view key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key) && line[key.size()] == ':') {
            return std::stoul(line.substr(key.size() + 1));
        }
    }
    return std::nullopt;
}

// The sanitizers need what some rows take away from the host: AddressSanitizer's shadow
// memory cannot live under an address-space limit or within a resident-memory bound, and
// with no descriptor left UBSan's own memory checks (which open a pipe) fail and report
// false errors.
#if defined(__SANITIZE_ADDRESS__)
#define CORVANELLE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANELLE_TEST_SANITIZED 1
#endif
#endif
#ifdef CORVANELLE_TEST_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#ifdef __linux__
constexpr bool kCanLimitOtherProcesses = true;
#else
constexpr bool kCanLimitOtherProcesses = false;
#endif

// Every row's host runs with these bounds, short so that rows take seconds.
constexpr int kTimeoutSeconds = 2;
constexpr std::size_t kCap = 8;
constexpr std::size_t kBudgetMib = 64;
// What the host may hold beyond its budget: the program itself, the connection threads'
// stacks and the 128 KiB each connection holds outside the budget, and the log's queue.
constexpr std::size_t kOverheadMib = 24;
// A normal client behind at most 2 × --max-connections others: answered once the ones ahead
// have had their time-outs, twice over.
constexpr auto kAnswerBound = std::chrono::seconds(2 * kTimeoutSeconds + 2);

// Keeps an attack going (its connections open, its threads running) until it is dropped.
using Going = std::shared_ptr<void>;

// Connections that each send `bytes` at once from a thread of their own, and keep what comes
// back; they stay open until the attack is dropped.
struct Crowd {
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::string> replies;
    std::vector<std::thread> threads;
    std::string bytes;

    Crowd(const StubHost& host, std::size_t count, std::string sent, bool read)
        : replies(count), bytes(std::move(sent)) {
        for (std::size_t i = 0; i < count; ++i) {
            connections.push_back(std::make_unique<Connection>(host.path()));
            connections.back()->send_time_out(std::chrono::seconds(kTimeoutSeconds));
        }
        for (std::size_t i = 0; i < count; ++i) {
            threads.emplace_back([this, i, read] {
                connections[i]->send(bytes);
                if (read) {
                    replies[i] = connections[i]->until_closed();
                }
            });
        }
    }
    void join() {
        for (auto& thread : threads) {
            thread.join();
        }
        threads.clear();
    }
    ~Crowd() { join(); }
};

const TempDir& replies_folder() {
    static const TempDir dir;
    static const bool written = [] {
        dir.write("click.json", R"({"success":true,"canned":1})");
        dir.write("empty.json", "");
        dir.write("big.json", std::string(5 * 1024 * 1024, ' ') + "{}");
        dir.write("max.json", std::string(kFrameLimit - 2, ' ') + "{}");
        dir.write("over.json", std::string(kFrameLimit - 1, ' ') + "{}");
        // There, but not a file the host may read.
        return ::mkdir(dir.file("folder.json").c_str(), 0755) == 0 &&
               ::symlink("click.json", dir.file("link.json").c_str()) == 0;
    }();
    (void)written;
    return dir;
}

// The write end of a pipe that nobody ever reads, as a path the host can open.
std::string unread_pipe() {
    static const int write_end = [] {
        int ends[2] = {-1, -1};
        return ::pipe(ends) == 0 ? ends[1] : -1;
    }();
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(write_end);
}

// The longest recording a replay folder may hold: two frames and 1 MiB.
constexpr std::size_t kLongestRecording = 2 * kFrameLimit + 1024 * 1024;

// Stands for the path of the application (application()) in a row's options: a host is
// started for it only when a row asks.
const std::string kApplication = "<application>";

// An application whose replies are the default echo's, for the host to relay to.
const StubHost& application() {
    static const StubHost host;
    return host;
}

// Recordings written by hand, as a person makes a fixture: one of `click` for each host.
const TempDir& replay_folder() {
    static const TempDir dir;
    static const bool written = [] {
        const std::string click = R"({"request": {"arguments":[],"command":"click"},
                                      "reply": {"success":true}})";
        dir.write("1.json", click);
        // As long as a recording may be.
        dir.write("2.json", click + std::string(kLongestRecording - click.size(), ' '));
        return true;
    }();
    (void)written;
    return dir;
}

const TempDir& record_folder() {
    static const TempDir dir;
    return dir;
}

// The names in a folder, in order.
std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    for (const dirent* entry = nullptr; listing != nullptr && (entry = ::readdir(listing));) {
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..") {
            names.emplace_back(entry->d_name);
        }
    }
    if (listing != nullptr) {
        ::closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Hostile {
    std::string name;
    Args options;  // besides the bounds above
    std::function<Going(const StubHost&)> attack;
    // Lines the log must hold afterwards, in this order, each given by its start.
    std::vector<std::string> log_lines;
    std::size_t budget_mib = kBudgetMib;
    std::size_t cap = kCap;
    test::Launch launch = {};
    std::chrono::milliseconds answer_bound = kAnswerBound;
};

// The error code of the reply to a request for `command`.
std::string code_of_reply(const StubHost& host, const std::string& command) {
    const auto reply = frame_payload(
        ask(host, R"({"arguments":[],"command":")" + command + R"(","requestId":"1-6"})"));
    return reply ? test::json_at(*reply, "error.code") : "no whole frame";
}

// Sets the host's limit on the size of files it writes, once its log is written out.
void limit_file_size(const StubHost& host, rlim_t bytes) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    struct stat log {};
    const rlim_t size = ::stat(host.log_path().c_str(), &log) == 0 ? log.st_size : 0;
    const rlimit limit{bytes == RLIM_INFINITY ? bytes : size + bytes, RLIM_INFINITY};
    EXPECT_EQ(::prlimit(host.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
}

// A folder that only its owner, a user the tests never are, may list.
const std::string& unlistable_folder() {
    static const TempDir dir;
    EXPECT_EQ(::chmod(dir.path().c_str(), 0311) | ::chown(dir.path().c_str(), 12345, 12345), 0);
    return dir.path();
}

const std::string kRefusedLength = "! refused, a frame length of 0 or above 4194304 bytes";

const Hostile kHostileClients[] = {
    {"HostileRequests",
     {"--replies", replies_folder().path()},
     [](const StubHost& host) -> Going {
         const std::string deep = std::string(30000, '[') + std::string(30000, ']');
         for (const std::string& request : {
                  // Nested 30 000 levels deep: refused by the reader's 127 levels.
                  deep,
                  // Command words that name no plain file of the replies folder.
                  std::string(R"({"arguments":[],"command":".\u0000","requestId":"1-1"})"),
                  std::string(R"({"arguments":[],"command":"../click","requestId":"1-2"})"),
                  std::string(R"({"arguments":[],"command":"..","requestId":"1-3"})"),
                  // Valid JSON of the wrong shape, and not JSON at all.
                  std::string(R"({"arguments":[[[1]]],"command":7})"),
                  std::string("\xff\xfe"),
                  // A carriage return is a line break, in the log as anywhere.
                  std::string("{\"arguments\":[],\r\"command\":\"x\",\"requestId\":\"1-4\"}"),
                  std::string("{\"arguments\":[],\n\"command\":\"x\",\"requestId\":\"1-5\"}"),
              }) {
             (void)ask(host, request);
         }
         // Lengths that announce nothing, or more than a frame may hold: answered with nothing.
         for (const std::string field : {std::string(4, '\0'), std::string("\x00\x40\x00\x01", 4),
                                         std::string("\xff\xff\xff\xff")}) {
             const Connection connection(host.path());
             connection.send(field);
             EXPECT_EQ(connection.until_closed(), "");
         }
         // Reply files that would make no valid frame: a small failure reply of their own.
         for (const auto& [command, code] :
              {std::pair{"empty", "STUB_REPLY_EMPTY"}, std::pair{"big", "STUB_REPLY_TOO_LARGE"}}) {
             const auto reply =
                 frame_payload(ask(host, R"({"arguments":[],"command":")" + std::string(command) +
                                             R"(","requestId":"1-6"})"));
             EXPECT_TRUE(reply &&
                         test::json_at(*reply, "error.code") == '"' + std::string(code) + '"' &&
                         test::json_at(*reply, "requestId") == "\"1-6\"")
                 << command;
         }
         // A reply file of exactly the frame limit is sent whole; one byte more is not.
         const auto at_limit =
             frame_payload(ask(host, R"({"arguments":[],"command":"max","requestId":"1-7"})"));
         EXPECT_TRUE(at_limit && at_limit->size() == kFrameLimit);
         EXPECT_EQ(code_of_reply(host, "over"), "\"STUB_REPLY_TOO_LARGE\"");
         // A request without its id is not one a client sends.
         const auto no_id = frame_payload(ask(host, R"({"arguments":[],"command":"click"})"));
         EXPECT_TRUE(no_id && test::json_at(*no_id, "error.code") == "\"STUB_BAD_REQUEST\"");
         // Replies the host writes by hand, keys in the order the compact writer puts them.
         const auto echo = frame_payload(ask(host, request_of_size(200, "echo")));
         for (const auto& reply : {no_id, echo}) {
             EXPECT_TRUE(reply && to_compact(test::parse_json(*reply)) == *reply);
         }
         return nullptr;
     },
     {"! refused, not a JSON request: nesting deeper than 127",
      R"({"arguments":[],"command":".\u0000","requestId":"1-1"})",
      R"({"arguments":[],"command":"../click","requestId":"1-2"})",
      R"({"arguments":[],"command":"..","requestId":"1-3"})",
      R"({"arguments":[[[1]]],"command":7})", "! refused, not a JSON request: ",
      "! a request of 49 bytes with line breaks (not logged as it is)",
      "! a request of 49 bytes with line breaks (not logged as it is)", kRefusedLength,
      kRefusedLength, kRefusedLength}},
    {"RepliesOverTheFrameLimit",
     {},
     [](const StubHost& host) -> Going {
         // The default reply echoes the request with some bytes more: a request whose reply
         // is as long as a frame may be, and one a byte longer, whose reply becomes a small
         // failure reply instead.
         const std::string small = request_of_size(1000);
         const auto small_reply = frame_payload(ask(host, small));
         EXPECT_TRUE(small_reply.has_value());
         const std::size_t more = small_reply ? small_reply->size() - small.size() : 0;
         const auto at_limit = frame_payload(ask(host, request_of_size(kFrameLimit - more)));
         EXPECT_TRUE(at_limit && at_limit->size() == kFrameLimit &&
                     test::json_at(*at_limit, "success") == "true");
         const auto beyond = frame_payload(ask(host, request_of_size(kFrameLimit - more + 1)));
         EXPECT_TRUE(beyond && test::json_at(*beyond, "error.code") == "\"STUB_REPLY_TOO_LARGE\"");
         return nullptr;
     },
     {}},
    {"DenseRequestsAtOnce",
     {},
     [](const StubHost& host) -> Going {
         // Each costs tens of MiB parsed; the budget lets few at a time through.
         Crowd crowd(host, 8, test::frame(dense_request()), true);
         crowd.join();
         std::size_t answered = 0;
         for (const auto& reply : crowd.replies) {
             EXPECT_TRUE(reply.empty() || frame_payload(reply)) << "only whole, valid frames";
             answered += reply.empty() ? 0 : 1;
         }
         EXPECT_GE(answered, 1U);
         return nullptr;
     },
     {}},
    {"ConnectionsHoldingFourMiBUnread",
     {},
     [](const StubHost& host) -> Going {
         // Each is let in only when the whole of what it may cost fits the budget.
         auto crowd = std::make_shared<Crowd>(
             host, 32, test::frame(std::string(kFrameLimit, ' ')).substr(0, 4 + kFrameLimit - 1),
             false);
         crowd->join();  // every send has gone as far as the host let it
         return crowd;
     },
     {},
     kBudgetMib,
     32},
    {"SlowSenders",
     {},
     [](const StubHost& host) -> Going {
         // Twice as many as the cap, each sending a byte every 100 ms, never a whole request.
         struct Trickle {
             std::vector<std::unique_ptr<Connection>> connections;
             std::atomic<bool> stop{false};
             std::thread thread;
             ~Trickle() {
                 stop = true;
                 thread.join();
             }
         };
         auto trickle = std::make_shared<Trickle>();
         for (std::size_t i = 0; i < 2 * kCap; ++i) {
             trickle->connections.push_back(std::make_unique<Connection>(host.path()));
         }
         trickle->thread = std::thread([t = trickle.get()] {
             const std::string request = test::frame(request_of_size(4096));
             for (std::size_t at = 0; !t->stop && at < request.size(); ++at) {
                 for (const auto& connection : t->connections) {
                     connection->send(request.substr(at, 1));
                 }
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
             }
         });
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
         return trickle;
     },
     {"! no whole request frame: the time-out passed"}},
    {"LogNobodyReads",
     {"--log", unread_pipe()},
     [](const StubHost& host) -> Going {
         // Far more than the pipe holds: every one is answered all the same.
         for (int i = 0; i < 8; ++i) {
             const auto reply = frame_payload(ask(host, request_of_size(30000)));
             EXPECT_TRUE(reply && test::json_at(*reply, "success") == "true") << i;
         }
         return nullptr;
     },
     {}},
    {"LogThatFails",
     {"--log", "/dev/full"},
     [](const StubHost& host) -> Going {
         EXPECT_TRUE(frame_payload(ask(host, request_of_size(100))));
         return nullptr;
     },
     {}},
    {"AllocationsFail",
     {"--memory-budget", "1024"},
     [](const StubHost& host) -> Going {
         if (kSanitized || !kCanLimitOtherProcesses) {
             return nullptr;
         }
         // Little address space beyond what the host has mapped: requests cannot all be
         // held, and whichever allocation fails ends its own connection only.
         rlimit current{};
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_AS, nullptr, &current), 0);
         const auto mapped_kib = proc_status(host.pid(), "VmSize");
         if (!mapped_kib) {
             return nullptr;
         }
         const rlimit tight{(*mapped_kib + 48 * 1024) * 1024, current.rlim_max};
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_AS, &tight, nullptr), 0);
         { Crowd crowd(host, 4, test::frame(dense_request()), true); }
         EXPECT_TRUE(alive(host.pid()));
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_AS, &current, nullptr), 0);
         return nullptr;
     },
     {}},
    {"MemoryGivenBackServesTheWaiting",
     {},
     [](const StubHost& host) -> Going {
         // About 15 MiB each: four at a time, the rest served as memory comes back.
         Crowd crowd(host, 8, test::frame(request_of_size(std::size_t{1} << 20)), true);
         crowd.join();
         for (const auto& reply : crowd.replies) {
             EXPECT_TRUE(frame_payload(reply) &&
                         test::json_at(reply.substr(4), "success") == "true");
         }
         return nullptr;
     },
     {}},
    {"ReplyAfterADelayLongerThanTheTimeout",
     {"--delay", std::to_string(kTimeoutSeconds * 1000 + 500)},
     [](const StubHost& host) -> Going {
         // More than the socket holds: the reply's own time-out starts after the delay.
         EXPECT_TRUE(frame_payload(ask(host, request_of_size(std::size_t{2} << 20))));
         return nullptr;
     },
     {}},
    // T2: the host's own descriptors must not take the numbers of closed standard ones.
    {"StartedWithoutStandardInputAndError",
     {},
     [](const StubHost&) -> Going { return nullptr; },
     {},
     kBudgetMib,
     kCap,
     {.closed = {0, 2}, .log = test::Launch::Log::pipe}},
    {"StartedWithoutStandardInputAndOutput",
     {},
     [](const StubHost&) -> Going { return nullptr; },
     {},
     kBudgetMib,
     kCap,
     {.closed = {0, 1}, .log = test::Launch::Log::output}},
    // T3: lengths of 4 MiB down to 1 byte, no body: a small request is answered at once.
    {"LengthsWithoutTheirBodies",
     {},
     [](const StubHost& host) -> Going {
         auto held = std::make_shared<std::vector<std::unique_ptr<Connection>>>();
         for (std::size_t i = 0; i < 70; ++i) {
             held->push_back(std::make_unique<Connection>(host.path()));
             held->back()->send(
                 test::frame(std::string(kFrameLimit >> (i % 23), ' ')).substr(0, 4));
         }
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
         return held;
     },
     {},
     kBudgetMib,
     128,
     {},
     std::chrono::milliseconds(1000)},
    // T4: reply files that are there but cannot be read answer with a failure.
    {"ReplyFilesThatCannotBeRead",
     {"--replies", replies_folder().path()},
     [](const StubHost& host) -> Going {
         EXPECT_EQ(code_of_reply(host, "folder"), "\"STUB_REPLY_UNREADABLE\"");
         EXPECT_EQ(code_of_reply(host, "link"), "\"STUB_REPLY_UNREADABLE\"");
         if (kSanitized || !kCanLimitOtherProcesses) {
             return nullptr;
         }
         // No descriptor left for the file once the connection has the last one.
         int lowest_free = 0;
         while (
             ::access(("/proc/" + std::to_string(host.pid()) + "/fd/" + std::to_string(lowest_free))
                          .c_str(),
                      F_OK) == 0) {
             ++lowest_free;
         }
         rlimit current{};
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_NOFILE, nullptr, &current), 0);
         const rlimit one{static_cast<rlim_t>(lowest_free) + 1, current.rlim_max};
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_NOFILE, &one, nullptr), 0);
         EXPECT_EQ(code_of_reply(host, "click"), "\"STUB_REPLY_UNREADABLE\"");
         EXPECT_EQ(::prlimit(host.pid(), RLIMIT_NOFILE, &current, nullptr), 0);
         return nullptr;
     },
     {"! the reply file folder.json cannot be read: Is a directory",
      R"({"arguments":[],"command":"folder","requestId":"1-6"})",
      "! the reply file link.json cannot be read: "}},
    // T5: lines far larger than the pipe holds, each written whole.
    {"LogOnANonBlockingPipe",
     {},
     [](const StubHost& host) -> Going {
         for (int i = 0; i < 20; ++i) {
             (void)ask(host, request_of_size(300000));
         }
         return nullptr;
     },
     std::vector<std::string>(20, R"({"arguments":["xxxxxxxx)"),
     kBudgetMib,
     kCap,
     {.log = test::Launch::Log::pipe}},
    // T6: a log write that fails part way, then room again.
    {"LogCutShortByAFailingWrite",
     {},
     [](const StubHost& host) -> Going {
         if (!kCanLimitOtherProcesses) {
             return nullptr;
         }
         (void)ask(host, request_of_size(200, "a"));
         limit_file_size(host, 40);
         (void)ask(host, request_of_size(1000, "b"));
         (void)ask(host, request_of_size(1000, "c"));
         limit_file_size(host, RLIM_INFINITY);
         (void)ask(host, request_of_size(200, "d"));
         (void)ask(host, request_of_size(200, "e"));
         return nullptr;
     },
     kCanLimitOtherProcesses
         ? std::vector<std::string>{request_of_size(200, "a"), R"({"arguments":["xxxx)",
                                    "! the line above was cut short: writing the log failed: File "
                                    "too large (os error 27)",
                                    "! 1 log lines were dropped: writing the log failed: File too "
                                    "large (os error 27)",
                                    request_of_size(200, "d"), request_of_size(200, "e")}
         : std::vector<std::string>{}},
    // T7: the log reaching a file-size limit ends nothing.
    {"LogAtItsFileSizeLimit",
     {},
     [](const StubHost& host) -> Going {
         if (kCanLimitOtherProcesses) {
             limit_file_size(host, 0);
             (void)ask(host, request_of_size(200));
             (void)ask(host, request_of_size(200));
             limit_file_size(host, RLIM_INFINITY);
         }
         return nullptr;
     },
     {kCanLimitOtherProcesses ? "! 2 log lines were dropped: writing the log failed: File too "
                                "large (os error 27)"
                              : "",
      R"({"arguments":[],"command":"click")"}},
    // T8: a crowd waiting for the budget, served in turn.
    {"ManyWaitingForTheBudget",
     {},
     [](const StubHost& host) -> Going {
         Crowd crowd(host, 196, test::frame(request_of_size(std::size_t{1} << 20)), true);
         crowd.join();
         for (const auto& reply : crowd.replies) {
             EXPECT_TRUE(reply.empty() || frame_payload(reply)) << "only whole, valid frames";
         }
         return nullptr;
     },
     {},
     kBudgetMib,
     200},
    // T9: started in a folder it cannot list.
    {"StartedInAFolderItCannotList",
     {},
     [](const StubHost&) -> Going { return nullptr; },
     {},
     kBudgetMib,
     kCap,
     {.folder = unlistable_folder()}},
    // T10: what some readers take for line breaks or terminal controls is logged escaped.
    {"RequestsWithOtherLineBreaks",
     {},
     [](const StubHost& host) -> Going {
         for (const char* text :
              {"a\xC2\x85"
               "b",
               "\xE2\x80\xA8! forged", "\xE2\x80\xA9", "\xC2\x80\xC2\x9F\xC2\xA0"}) {
             (void)ask(host, R"({"arguments":[")" + std::string(text) +
                                 R"("],"command":"t","requestId":"1"})");
         }
         return nullptr;
     },
     {R"({"arguments":["a\u0085b"],"command":"t","requestId":"1"})",
      R"({"arguments":["\u2028! forged"],"command":"t","requestId":"1"})",
      R"({"arguments":["\u2029"],"command":"t","requestId":"1"})",
      R"({"arguments":["\u0080\u009f)"
      "\xC2\xA0"
      R"("],"command":"t","requestId":"1"})"}},
    // A recording the file-size limit cuts short: the client is answered all the same, the
    // log says which exchange was lost, and nothing of it is left in the folder.
    {"RecordingThatCannotBeWritten",
     {"--forward", kApplication, "--record", record_folder().path()},
     [](const StubHost& host) -> Going {
         if (!kCanLimitOtherProcesses) {
             return nullptr;
         }
         limit_file_size(host, 100);
         const auto reply = frame_payload(ask(host, request_of_size(300)));
         EXPECT_TRUE(reply && test::json_at(*reply, "success") == "true");
         limit_file_size(host, RLIM_INFINITY);
         EXPECT_TRUE(frame_payload(ask(host, request_of_size(300))));
         EXPECT_EQ(names_in(record_folder().path()), std::vector<std::string>{"000002.json"});
         return nullptr;
     },
     {kCanLimitOtherProcesses
          ? "! exchange 1 was not recorded (000001.json): File too large (os error 27)"
          : ""},
     kBudgetMib,
     kCap,
     {.log = test::Launch::Log::pipe}},
};

// The rows again with `source` choosing the replies, but those that choose their own and
// those named in `judged` (which judge the echo's replies or every line of the log).
std::vector<Hostile> with_source(const Args& source, const std::set<std::string>& judged) {
    std::vector<Hostile> rows;
    for (Hostile row : kHostileClients) {
        const bool own = std::any_of(row.options.begin(), row.options.end(), [](const auto& o) {
            return o == "--replies" || o == "--forward";
        });
        if (own || judged.count(row.name) > 0) {
            continue;
        }
        row.options.insert(row.options.end(), source.begin(), source.end());
        rows.push_back(std::move(row));
    }
    return rows;
}

void PrintTo(const Hostile& row, std::ostream* out) {
    *out << row.name;
}

class HostileClient : public ::testing::TestWithParam<Hostile> {};

// Whatever the row does, the host is still there, within its bounds, and answers a normal
// client in time.
TEST_P(HostileClient, HostStaysWithinItsBounds) {
    const Hostile& row = GetParam();
    Args options{"--timeout",         std::to_string(kTimeoutSeconds),
                 "--memory-budget",   std::to_string(row.budget_mib),
                 "--max-connections", std::to_string(row.cap)};
    options.insert(options.end(), row.options.begin(), row.options.end());
    std::replace(options.begin(), options.end(), kApplication, application().path());
    StubHost host(options, {}, row.launch);
    {
        const Going going = row.attack(host);
        ASSERT_TRUE(alive(host.pid()));
        if (const auto threads = proc_status(host.pid(), "Threads")) {
            // Connection threads, the listening thread and the log's writer.
            EXPECT_LE(*threads, row.cap + 2) << "the connection cap";
        }
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(answers(host));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, row.answer_bound);
        EXPECT_TRUE(alive(host.pid()));
    }
    if (const auto peak_kib = proc_status(host.pid(), "VmHWM"); peak_kib && !kSanitized) {
        EXPECT_LE(*peak_kib / 1024, row.budget_mib + kOverheadMib) << "peak resident MiB";
    }
    const auto log = lines_of(host.stop());
    // The row's lines, one after another, from where the first of them stands.
    auto line = std::find_if(log.begin(), log.end(), [&](const std::string& l) {
        return !row.log_lines.empty() && l.starts_with(row.log_lines[0]);
    });
    std::size_t at = 0;
    for (; line != log.end() && at < row.log_lines.size() && line->starts_with(row.log_lines[at]);
         ++line) {
        ++at;
    }
    EXPECT_EQ(at, row.log_lines.size())
        << "missing from the log: " << (at < row.log_lines.size() ? row.log_lines[at] : "");
    // Every line whole: a request as JSON, or a "! " line; a line cut short is said to be.
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_TRUE(log[i].starts_with("! ") || read_json_text(std::string_view(log[i])) ||
                    (i + 1 < log.size() && log[i + 1].starts_with("! the line above was cut")))
            << log[i].substr(0, 200);
    }
}

INSTANTIATE_TEST_SUITE_P(Host, HostileClient, ::testing::ValuesIn(kHostileClients),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Relaying, HostileClient,
                         ::testing::ValuesIn(with_source({"--forward", kApplication}, {})),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(
    Replaying, HostileClient,
    ::testing::ValuesIn(with_source({"--replay", replay_folder().path()},
                                    {"RepliesOverTheFrameLimit", "LogNobodyReads",
                                     "MemoryGivenBackServesTheWaiting",
                                     "LogCutShortByAFailingWrite", "LogAtItsFileSizeLimit",
                                     "LogOnANonBlockingPipe", "RequestsWithOtherLineBreaks"})),
    [](const auto& info) { return info.param.name; });

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

// What the client made of a run: its status and both outputs, for comparing runs whole.
std::vector<std::tuple<int, std::string, std::string>> run_clients(const StubHost& host,
                                                                   const std::vector<Args>& runs) {
    test::ProcessOptions options;
    options.env["CORVANELLE_CONTROL_SOCKET"] = host.path();
    std::vector<std::tuple<int, std::string, std::string>> results;
    for (const Args& args : runs) {
        auto r = test::run_process(test::client_path(), args, options);
        results.emplace_back(r.status, std::move(r.out), std::move(r.err));
    }
    return results;
}

// One host with reply files stands for the application, a second relays and records, a
// third replays: the client prints the same bytes and exits the same way, run by run, in the
// order recorded (the two `type` runs are one request, told apart by the echoed request ids).
TEST(Host, RecordedSessionReplaysByteForByte) {
    const TempDir files;
    const std::string window = R"({"success":true,"data":{"title":"Café ☕ \u65e5本\u0000"}})";
    files.write("window.json", window);
    files.write("click.json", R"({"success":false,"error":{"code":"E","message":"no"}})");
    files.write("see.json",
                R"({"success":true,"data":")" + std::string(kFrameLimit - 26, 'x') + R"("})");
    const StubHost app({"--replies", files.path()});
    const TempDir dir;
    const std::string folder = dir.file("recorded");
    const std::vector<Args> runs{{"--json", "window", "list"},
                                 {"window", "list"},
                                 {"click"},
                                 {"--json", "see"},
                                 {"see"},
                                 {"type", "é"},
                                 {"--json", "type", "é"}};
    std::vector<std::tuple<int, std::string, std::string>> relayed;
    {
        const StubHost relay({"--forward", app.path(), "--record", folder});
        relayed = run_clients(relay, runs);
    }
    EXPECT_EQ(std::get<0>(relayed[2]), 1);
    EXPECT_EQ(std::get<1>(relayed[3]).size(), kFrameLimit + 1);
    struct stat info {};
    EXPECT_TRUE(::stat(folder.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700);
    const auto names = names_in(folder);
    ASSERT_EQ(names.size(), runs.size());
    for (const std::string& name : names) {
        EXPECT_TRUE(::stat((folder + "/" + name).c_str(), &info) == 0 &&
                    (info.st_mode & 0777) == 0600)
            << name;
    }
    std::ifstream first(folder + "/" + names[0]);
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(first), {}).find(window),
              std::string::npos);
    StubHost replay({"--replay", folder});
    EXPECT_EQ(run_clients(replay, runs), relayed);
    // Once used, a recording answers no more.
    const auto unrecorded = run_clients(replay, {{"--json", "type", "é"}});
    EXPECT_EQ(std::get<0>(unrecorded[0]), 1);
    EXPECT_EQ(
        test::json_at(std::get<1>(unrecorded[0]), "error"),
        R"({"code":"STUB_NOT_RECORDED","message":"no unused recording of \"type\" with the arguments [\"é\"]"})");
    EXPECT_NE(
        replay.stop().find("\n! no unused recording of \"type\" with the arguments [\"é\"]\n"),
        std::string::npos);
}

// Whether a JSON value holds `text` in a key or a string, once their escapes are undone.
bool holds(Document::Value value, std::string_view text) {
    bool found = value.kind() == Document::Kind::string && value.text().find(text) != npos;
    if (value.kind() == Document::Kind::array) {
        value.for_each_element([&](Document::Value item) { found = found || holds(item, text); });
    } else if (value.kind() == Document::Kind::object) {
        value.for_each_member([&](std::string_view key, Document::Value item) {
            found = found || key.find(text) != npos || holds(item, text);
        });
    }
    return found;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A secret typed and echoed back, and shown by the application in other spellings, is in no
// recording file in any spelling nor in the log; replayed with it, the client's runs are
// byte for byte the relayed ones; replayed without it, the placeholder stands in valid JSON.
// A secret that the application shows as a number keeps its exchange out of the recording.
TEST(Host, RedactedSecretsStayOutOfRecordings) {
    const std::string secret = "s3cr/et\"pw\xC3\xA9";  // eight characters and more
    const TempDir files;
    files.write("clipboard.json", R"({"success":true,"data":["s3cr\/et\"pw\u00e9",)"
                                  R"("<\u0073\u0033cr/et\u0022pw\u00E9>"]})");
    files.write("screen.json", R"({"success":true,"data":{"x":12345678}})");
    const StubHost app({"--replies", files.path()});
    const TempDir dir;
    const std::string folder = dir.file("recorded");
    const test::Launch with_secret{.env = {{"PW", secret}, {"NUM", "12345678"}}};
    const std::vector<Args> runs{
        {"--json", "type", secret}, {"type", "<" + secret + ">", secret}, {"--json", "clipboard"}};
    std::vector<std::tuple<int, std::string, std::string>> relayed;
    std::string relay_log;
    {
        StubHost relay(
            {"--forward", app.path(), "--record", folder, "--redact", "PW", "--redact", "NUM"}, {},
            with_secret);
        relayed = run_clients(relay, runs);
        EXPECT_EQ(std::get<0>(run_clients(relay, {{"screen"}})[0]), 0);
        relay_log = relay.stop();
    }
    EXPECT_EQ(std::get<1>(relayed[2]).find(secret), npos) << "the clipboard shows it otherwise";
    EXPECT_NE(relay_log.find("\n! exchange 4 was not recorded (000004.json): the value of NUM "
                             "stands outside the strings\n"),
              npos);
    ASSERT_EQ(names_in(folder).size(), runs.size());
    for (const std::string& text : [&] {
             std::vector<std::string> texts{relay_log};
             for (const std::string& name : names_in(folder)) {
                 texts.push_back(file_text(folder + "/" + name));
             }
             return texts;
         }()) {
        EXPECT_EQ(text.find("s3cr"), npos) << text;
        const auto read = read_json_text(text);
        EXPECT_TRUE(!read || !holds(read->root(), "s3cr")) << text;
    }
    StubHost replay({"--replay", folder, "--redact", "PW"}, {}, with_secret);
    EXPECT_EQ(run_clients(replay, runs), relayed);
    // A stand-in value, given to the replayer and typed, is matched and shown in its place.
    StubHost stand_in({"--replay", folder, "--redact", "PW"}, {}, {.env = {{"PW", "stand-in"}}});
    std::string expected = std::get<1>(relayed[0]);
    const std::string written = R"(s3cr/et\"pw)"
                                "\xC3\xA9";
    expected.replace(expected.find(written), written.size(), "stand-in");
    EXPECT_EQ(std::get<1>(run_clients(stand_in, {{"--json", "type", "stand-in"}})[0]), expected);
    StubHost without({"--replay", folder, "--redact", "PW"}, {}, {.env = {{"PW", std::nullopt}}});
    const auto shown = run_clients(without, {{"--json", "clipboard"}})[0];
    EXPECT_EQ(std::get<0>(shown), 0);
    EXPECT_EQ(test::json_at(std::get<1>(shown), "data"),
              R"(["\u0000redacted:PW\u0000","<\u0000redacted:PW\u0000>"])");
    const auto log = without.stop();
    EXPECT_EQ(std::count(log.begin(), log.end(), '!'), 1) << log;
    EXPECT_TRUE(log.starts_with(
        "! --redact PW: the variable PW is not set, so replies keep its placeholder as recorded\n"))
        << log;
}

// What --redact refuses at start, naming the variable and never showing its value.
TEST(Host, RedactRefusalsAtStart) {
    const TempDir dir;
    struct Case {
        std::optional<std::string> value;
        Args args;
        std::string err;
    };
    const Args record{"--forward", dir.file("app"), "--record", dir.file("rec")};
    const auto with = [&](const Args& head, const Args& tail) {
        Args args = head;
        args.insert(args.end(), tail.begin(), tail.end());
        args.push_back(dir.file("s"));
        return args;
    };
    const std::string stub = "corvanelle-control-stub: ";
    const Case cases[] = {
        {"hunter2!", {"--redact", "PW", dir.file("s")}, "--redact needs --record or --replay"},
        {std::nullopt, with(record, {"--redact", "PW"}), "--redact PW: the variable PW is not set"},
        {"", with(record, {"--redact", "PW"}), "--redact PW: the variable PW is empty"},
        {"hunter2", with(record, {"--redact", "PW"}),
         "--redact PW: its value has fewer than 8 characters, too few for a secret"},
        {"hunter2!", with(record, {"--redact", "P.W"}),
         "--redact takes the name of an environment variable"},
        // Eight characters pass these checks: the next one is the recording folder's.
        {"hunter2!", with({"--replay", dir.file("absent")}, {"--redact", "PW"}),
         "cannot open the replay folder"},
    };
    for (const Case& c : cases) {
        test::ProcessOptions options;
        options.env["PW"] = c.value;
        const auto result = test::run_process(test::stub_path(), c.args, options);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_TRUE(result.err.starts_with(stub + c.err)) << result.err;
        EXPECT_EQ(result.err.find("hunter"), npos) << result.err;
    }
}

// A relay killed while it records leaves only whole recordings, which a replayer accepts;
// what it had half written goes once a host records there again.
TEST(Host, KilledWhileRecordingLeavesNoPartialRecording) {
    const TempDir files;
    files.write("see.json", "[\"" + std::string(kFrameLimit - 4, 'x') + "\"]");
    const StubHost app({"--replies", files.path()});
    const TempDir dir;
    const std::string folder = dir.file("recorded");
    StubHost relay({"--forward", app.path(), "--record", folder});
    std::thread client([&] { (void)run_clients(relay, std::vector<Args>(3, {"see"})); });
    // Killed as soon as the first recording is begun.
    for (int i = 0; i < 100000 && names_in(folder).empty(); ++i) {
        std::this_thread::yield();
    }
    relay.kill_hard();
    client.join();
    EXPECT_NO_THROW(StubHost({"--replay", folder}));
    { const StubHost again({"--forward", app.path(), "--record", folder, "--append"}); }
    for (const std::string& name : names_in(folder)) {
        EXPECT_TRUE(name.size() == 11 && name.ends_with(".json")) << name;
    }
}

// What the relay tells the client, and its log, when the application cannot be reached, is too
// slow to take the request, or breaks the frame rules: the limit is one byte past a frame's.
TEST(Host, ApplicationFaultsGiveFailureReplies) {
    const TempDir dir;
    dir.write("ff", "\xff\xff\xff\xff");
    dir.write("over", std::string("\x00\x40\x00\x01{}", 6));
    dir.write("zero", std::string(4, '\0'));
    dir.write("not-json", std::string("\x00\x00\x00\x04[1,]", 8));
    struct Case {
        std::optional<Args> application;  // none: nothing listens
        std::string code;
        std::string says;  // after "the application at PATH"
    };
    const std::string broken = "STUB_APPLICATION_BROKEN";
    const Case cases[] = {
        {std::nullopt, "STUB_APPLICATION_UNREACHABLE",
         " cannot be reached: " + os_error_message(ENOENT)},
        {Args{"--no-read"}, "STUB_APPLICATION_TIMEOUT", " took no whole request within 10 seconds"},
        {Args{"--close-after", "10"}, broken, " gave no whole reply: it closed the connection"},
        {Args{"--raw", dir.file("ff")}, broken,
         " sent a reply length of 4294967295 bytes, not 1 to 4194304"},
        {Args{"--raw", dir.file("over")}, broken,
         " sent a reply length of 4194305 bytes, not 1 to 4194304"},
        {Args{"--raw", dir.file("zero")}, broken,
         " sent a reply length of 0 bytes, not 1 to 4194304"},
        {Args{"--raw", dir.file("not-json")}, broken,
         " sent a reply that is not JSON: syntax error at line 1 column 4"},
    };
    // Far more than the socket holds, for the application that never reads.
    const Args click{"--json",
                     "click",
                     std::string(100000, 'x'),
                     std::string(100000, 'x'),
                     std::string(100000, 'x'),
                     std::string(100000, 'x'),
                     std::string(100000, 'x')};
    for (const Case& c : cases) {
        const auto app = c.application ? std::make_unique<StubHost>(*c.application) : nullptr;
        const std::string path = app ? app->path() : dir.file("absent");
        StubHost relay({"--forward", path});
        const auto result = run_clients(relay, {click})[0];
        const std::string message = "the application at " + path + c.says;
        EXPECT_EQ(std::get<0>(result), 1) << message;
        EXPECT_EQ(test::json_at(std::get<1>(result), "error"),
                  R"({"code":")" + c.code + R"(","message":")" + message + R"("})");
        EXPECT_NE(relay.stop().find("\n! " + message + "\n"), std::string::npos) << message;
    }
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

// Every pair of reply options, both ways round, against the pairs that combine, written out.
TEST(Host, ReplyOptionsThatExcludeEachOther) {
    const TempDir dir;
    dir.write("r", "{}");
    const std::vector<Args> reply_options{{"--replies", dir.path()},
                                          {"--reply", dir.file("r")},
                                          {"--fail"},
                                          {"--raw", dir.file("r")},
                                          {"--close-after", "1"},
                                          {"--no-reply"},
                                          {"--no-read"},
                                          {"--hang-up"},
                                          {"--forward", dir.file("app")},
                                          {"--replay", dir.path()}};
    const std::set<std::pair<std::string, std::string>> combine{
        {"--replies", "--fail"},      {"--replies", "--close-after"},
        {"--reply", "--close-after"}, {"--fail", "--close-after"},
        {"--raw", "--close-after"},   {"--forward", "--close-after"},
        {"--replay", "--close-after"}};
    for (const Args& a : reply_options) {
        for (const Args& b : reply_options) {
            if (a == b) {
                continue;
            }
            Args args = a;
            args.insert(args.end(), b.begin(), b.end());
            args.push_back(dir.file("no/s"));  // started, it would fail here
            const bool combines = combine.count({a[0], b[0]}) + combine.count({b[0], a[0]}) > 0;
            const std::string err = test::run_process(test::stub_path(), args).err;
            EXPECT_EQ(err.starts_with("corvanelle-control-stub: " + a[0] + " and " + b[0] +
                                      " cannot be used together\n"),
                      !combines)
                << a[0] << " " << b[0];
        }
    }
}

TEST(Host, CommandLineMistakesAreOneLine) {
    const TempDir dir;
    struct Case {
        Args args;
        std::string err_start;
    };
    dir.write("empty", "");
    dir.write("big", std::string(kFrameLimit + 1, ' '));
    dir.write("max", std::string(kFrameLimit, ' '));
    dir.write("raw", std::string(2 * kFrameLimit, ' '));
    dir.write("raw+", std::string(2 * kFrameLimit + 1, ' '));
    // Replay folders, each with one file that is no recording the host can replay.
    for (const char* folder : {"held", "r1", "r2", "r3", "r4"}) {
        ASSERT_EQ(::mkdir(dir.file(folder).c_str(), 0700), 0);
    }
    dir.write("held/1.json", "{}");
    dir.write("r1/1.json", R"({"request":{"command":"a","arguments":[]},"reply":[1,]})");
    dir.write("r4/1.json", std::string(kLongestRecording + 1, ' '));
    ASSERT_EQ(::symlink("../held/1.json", dir.file("r2/1.json").c_str()) |
                  ::mkdir(dir.file("r3/1.json").c_str(), 0700),
              0);
    const StubHost live;
    const std::string stub = "corvanelle-control-stub: ";
    const Case cases[] = {
        // A reply file must make a valid frame.
        {{"--reply", dir.file("empty"), dir.file("s")}, stub + "cannot use "},
        {{"--reply", dir.file("big"), dir.file("s")}, stub + "cannot use "},
        // Reply options that contradict each other, named as a pair.
        {{"--reply", dir.file("big"), "--raw", dir.file("big"), dir.file("s")},
         stub + "--reply and --raw cannot be used together\n"},
        {{"--replies", dir.path(), "--reply", dir.file("big"), dir.file("s")},
         stub + "--replies and --reply cannot be used together\n"},
        {{"--no-read", "--fail", dir.file("s")},
         stub + "--no-read and --fail cannot be used together\n"},
        {{"--close-after=3", "--hang-up", dir.file("s")},
         stub + "--close-after and --hang-up cannot be used together\n"},
        {{"--quiet", "--log", dir.file("log"), dir.file("s")},
         stub + "--quiet and --log cannot be used together\n"},
        {{"--memory-budget=0", dir.file("s")}, stub + "--memory-budget takes"},
        // Closing 0, 1 or 2 after the ready line would hand the number to a connection.
        {{"--ready-fd", "2", dir.file("s")},
         stub + "--ready-fd takes a whole number from 3 to 65535, not '2'\n"},
        // Files of exactly the largest size each option takes, and one byte more.
        {{"--reply", dir.file("max"), dir.file("no/s")}, stub + "cannot enter the folder of "},
        {{"--raw", dir.file("raw"), dir.file("no/s")}, stub + "cannot enter the folder of "},
        {{"--raw", dir.file("raw") + "+", dir.file("no/s")}, stub + "cannot use "},
        {{live.path()}, stub + live.path() + " is already in use by a running host\n"},
        {{"--replies", dir.file("absent"), dir.file("s")},
         "corvanelle-control-stub: cannot open the replies folder "},
        {{"--reply", dir.path(), dir.file("s")}, "corvanelle-control-stub: cannot read "},
        {{"--raw=" + dir.file("absent"), dir.file("s")}, "corvanelle-control-stub: cannot read "},
        {{"--delay=soon", dir.file("s")}, "corvanelle-control-stub: --delay takes"},
        {{"--bogus", dir.file("s")}, "corvanelle-control-stub: unrecognized option"},
        {{"--log"}, "corvanelle-control-stub: option '--log' needs a value"},
        {{}, "corvanelle-control-stub: a socket path is needed"},
        {{"--record", dir.file("rec"), dir.file("s")}, stub + "--record needs --forward\n"},
        {{"--forward", dir.file("a"), "--record", dir.file("held"), dir.file("s")},
         stub + "the recording folder " + dir.file("held") + " already holds recordings"},
        {{"--forward", dir.file(std::string(200, 'p')), dir.file("s")}, stub + "cannot forward"},
        {{"--replay", dir.file("r1"), dir.file("s")},
         stub + "cannot replay " + dir.file("r1/1.json") + ": its member \"reply\": syntax"},
        {{"--replay", dir.file("r2"), dir.file("s")},
         stub + "cannot replay " + dir.file("r2/1.json") + ": it is a symbolic link\n"},
        {{"--replay", dir.file("r3"), dir.file("s")},
         stub + "cannot replay " + dir.file("r3/1.json") + ": it is not a plain file\n"},
        {{"--replay", dir.file("r4"), dir.file("s")},
         stub + "cannot replay " + dir.file("r4/1.json") + ": it is longer than " +
             std::to_string(kLongestRecording) + " bytes\n"},
    };
    for (const auto& c : cases) {
        const auto result = test::run_process(test::stub_path(), c.args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(c.args);
        EXPECT_TRUE(result.err.starts_with(c.err_start)) << result.err;
        EXPECT_LE(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    }
    const auto version = test::run_process(test::stub_path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, stub.substr(0, stub.size() - 2) + " " + std::string(kVersion) + "\n");
    const auto help = test::run_process(test::stub_path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--max-connections"), std::string::npos);
}

}  // namespace
}  // namespace corvanelle
