// The stand-in host as a tool people leave running: what a hostile local client sends can
// neither end it nor make it hold unbounded memory, and it keeps answering afterwards; the
// rows again with the host relaying and replaying.
#include "host_support.hpp"

namespace corvanelle::host_test {
namespace {

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
     // Each request's line, then what went wrong with its exchange.
     {R"({"arguments":[],"command":"folder","requestId":"1-6"})",
      "! the reply file folder.json cannot be read: Is a directory",
      R"({"arguments":[],"command":"link","requestId":"1-6"})",
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
        // A sanitized build runs several times slower.
        EXPECT_LT(std::chrono::steady_clock::now() - begin,
                  row.answer_bound * (kSanitized ? 3 : 1));
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

// Relayed and recorded with a secret that the large requests are made of (runs of x), so that
// their redacted copies grow past a frame: refused, yet within the budget and the time-outs
// (but the rows that judge the request lines of the log, which hold placeholders here).
std::vector<Hostile> redacting() {
    static const TempDir folder;
    auto rows = with_source(
        {"--forward", kApplication, "--record", folder.path(), "--append", "--redact", "PW"},
        {"LogCutShortByAFailingWrite", "LogAtItsFileSizeLimit", "LogOnANonBlockingPipe"});
    for (Hostile& row : rows) {
        row.launch.env["PW"] = "xxxxxxxx";
    }
    return rows;
}
INSTANTIATE_TEST_SUITE_P(Redacting, HostileClient, ::testing::ValuesIn(redacting()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace corvanelle::host_test
