// The replayer as a CI job uses it (--strict, --repeat-last, with the application behind it),
// and the recorder's and replayer's faults: each row runs the real host and reads back what
// it wrote.
#include "host_support.hpp"

namespace corvanelle::host_test {
namespace {

// A recording of `command` with `arguments` (JSON) answered by `reply`.
std::string recording(const std::string& command, const std::string& arguments,
                      const std::string& reply) {
    return R"({"request": {"requestId":"r","command":")" + command + R"(","arguments":)" +
           arguments + "},\n \"reply\": " + reply + "}\n";
}

// A host run to its end with SIGTERM: its exit status, standard error, log, and what the
// client printed for each run, in order.
struct Ended {
    int status = -1;
    std::string err;
    std::string log;
    std::vector<std::string> printed;
};

Ended run_to_end(const Args& options, const std::vector<Args>& runs) {
    const TempDir dir;
    Args args{"--log", dir.file("log")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(dir.file("s"));
    const int pid =
        test::spawn_to_files(test::stub_path(), args, {}, dir.file("out"), dir.file("err"));
    for (int i = 0; i < 500 && ::access(dir.file("s").c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    test::ProcessOptions client;
    client.env["CORVANELLE_CONTROL_SOCKET"] = dir.file("s");
    Ended ended;
    for (const Args& run : runs) {
        ended.printed.push_back(test::run_process(test::client_path(), run, client).out);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(dir.file("err"));
    ended.err.assign(std::istreambuf_iterator<char>(err), {});
    std::ifstream log(dir.file("log"));
    ended.log.assign(std::istreambuf_iterator<char>(log), {});
    return ended;
}

// --strict: the summary on standard error and in the log, and the exit status; --repeat-last.
TEST(Host, StrictReplaySummaryAndRepeatLast) {
    const TempDir dir;
    dir.write("000001.json", recording("click", R"(["1"])", R"({"n":1})"));
    dir.write("000002.json", recording("screen", "[]", R"({"n":2})"));
    dir.write("000003.json", recording("screen", "[]", R"({"n":3})"));
    struct Row {
        Args options;
        std::vector<Args> runs;
        int status;
        std::vector<std::string> said;  // on standard error, each line after the program's name
        std::vector<std::string> printed;
    };
    const Args strict{"--replay", dir.path(), "--strict"};
    const Args repeat{"--replay", dir.path(), "--strict", "--repeat-last"};
    const Args click{"--json", "click", "1"};
    const Args screen{"--json", "screen"};
    const Row rows[] = {
        {strict,
         {click, screen, screen},
         0,
         {"listening on ", "replaying 3 recordings",
          "strict replay: 0 recordings never used, 0 requests without a recording\n"},
         {R"({"n":1})", R"({"n":2})", R"({"n":3})"}},
        {strict,
         {screen, {"--json", "scroll", "in"}},
         1,
         {"strict replay: 2 recordings never used, 1 request without a recording\n",
          "never used: 000001.json\n", "never used: 000003.json\n",
          R"(no recording: "scroll" with the arguments ["in"])"},
         {R"({"n":2})", ""}},
        // Once used up, the last recording of a request answers again.
        {repeat,
         {click, screen, screen, screen},
         0,
         {"0 recordings never used"},
         {R"({"n":1})", R"({"n":2})", R"({"n":3})", R"({"n":3})"}},
        {strict,
         {click, screen, screen, screen},
         1,
         {R"(no recording: "screen" with the arguments [])"},
         {R"({"n":1})", R"({"n":2})", R"({"n":3})", ""}},
    };
    for (const Row& row : rows) {
        const Ended ended = run_to_end(row.options, row.runs);
        EXPECT_EQ(ended.status, row.status) << ended.err;
        for (const std::string& line : row.said) {
            EXPECT_NE(ended.err.find(line), std::string::npos) << line << "\n" << ended.err;
            if (line.starts_with("never") || line.starts_with("no rec")) {
                EXPECT_NE(ended.log.find("! " + line), std::string::npos) << ended.log;
            }
        }
        ASSERT_EQ(ended.printed.size(), row.printed.size());
        for (std::size_t i = 0; i < row.printed.size(); ++i) {
            EXPECT_TRUE(ended.printed[i].starts_with(row.printed[i])) << ended.printed[i];
        }
    }
}

// With the application behind it, a request with an unused recording is answered from it; any
// other goes to the application and is recorded, numbered after the recordings there.
TEST(Host, ReplayWithTheApplicationBehindIt) {
    const TempDir dir;
    dir.write("000007.json", recording("click", R"(["1"])", R"({"n":1})"));
    StubHost app;
    const StubHost mixed(
        {"--replay", dir.path(), "--forward", app.path(), "--record", dir.path(), "--append"});
    const auto runs = run_clients(mixed, {{"--json", "click", "1"}, {"--json", "type", "new"}});
    EXPECT_TRUE(std::get<1>(runs[0]).starts_with(R"({"n":1})"));
    EXPECT_EQ(test::json_at(std::get<1>(runs[1]), "data.arguments"), R"(["new"])");
    const std::string seen = app.stop();
    EXPECT_EQ(seen.find("\"click\""), std::string::npos);
    EXPECT_NE(seen.find("\"type\""), std::string::npos);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"000007.json", "000008.json"}));
    // What was recorded replays, with --strict content.
    const Ended ended = run_to_end({"--replay", dir.path(), "--strict"},
                                   {{"--json", "click", "1"}, {"--json", "type", "new"}});
    EXPECT_EQ(ended.status, 0) << ended.err;
}

// The recorder's faults: every exchange it writes replays (arguments of any JSON type), a
// recording appears only once whole, and --append numbers on after the highest number.
TEST(Host, WhatTheRecorderWritesReplays) {
    const TempDir dir;
    const std::string folder = dir.file("rec");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    dir.write("rec/000001.json", recording("a", "[]", "1"));
    dir.write("rec/000003.json", recording("b", "[]", "3"));
    const StubHost slow({"--delay", "1500"});
    const std::string odd =
        R"({"requestId":"q","command":"move","arguments":[1,{"a":[true,null]}]})";
    std::string relayed;
    {
        const StubHost relay({"--forward", slow.path(), "--record", folder, "--append"});
        auto asked = std::async(std::launch::async, [&] { return ask(relay, odd); });
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        // While the application answers, nothing new stands under a recording's name.
        const auto names = names_in(folder);
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string& n) { return !n.starts_with('.'); }),
                  2);
        relayed = asked.get();
    }
    EXPECT_EQ(names_in(folder),
              (std::vector<std::string>{"000001.json", "000003.json", "000004.json"}));
    std::ifstream third(folder + "/000003.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(third), {}), recording("b", "[]", "3"));
    const StubHost replay({"--replay", folder});
    EXPECT_EQ(ask(replay, odd), relayed);
    EXPECT_TRUE(frame_payload(relayed));
}

// A recording's reply changed after start, even in place at the same size, is never sent.
TEST(Host, RecordingChangedSinceStartIsNotSent) {
    const TempDir dir;
    dir.write("000001.json", recording("click", "[]", R"({"success":true})"));
    dir.write("000002.json", recording("click", "[]", R"({"success":true})"));
    StubHost replay({"--replay", dir.path()});
    const std::string request = R"({"requestId":"1","command":"click","arguments":[]})";
    {
        std::fstream file(dir.file("000001.json"), std::ios::in | std::ios::out);
        const std::string text = recording("click", "[]", R"({"success":true})");
        file.seekp(static_cast<std::streamoff>(text.find("true")));
        file << "trux";
    }
    const auto changed = frame_payload(ask(replay, request));
    ASSERT_TRUE(changed);
    EXPECT_EQ(test::json_at(*changed, "error.code"), "\"STUB_REPLY_UNREADABLE\"");
    const auto intact = frame_payload(ask(replay, request));
    EXPECT_TRUE(intact && *intact == R"({"success":true})");
    const auto log = lines_of(replay.stop());
    const auto warned = std::find_if(log.begin(), log.end(), [](const std::string& l) {
        return l.starts_with("! the recording 000001.json cannot be read");
    });
    // After its own request's line.
    ASSERT_TRUE(warned != log.end() && warned != log.begin());
    EXPECT_TRUE((warned - 1)->starts_with("{\"requestId\":\"1\""));
}

std::string code_of(const std::string& bytes) {
    const auto reply = frame_payload(bytes);
    return reply ? test::json_at(*reply, "error.code") : "no whole frame";
}

// --fail answers only where the replies folder has no file; a log is appended to, and a log
// pipe whose reader went never ends the host.
TEST(Host, RepliesFailAndTheLog) {
    const TempDir dir;
    dir.write("click.json", R"({"from":"file"})");
    const StubHost canned({"--replies", dir.path(), "--fail"});
    EXPECT_EQ(frame_payload(ask(canned, R"({"requestId":"1","command":"click","arguments":[]})")),
              R"({"from":"file"})");
    EXPECT_EQ(code_of(ask(canned, R"({"requestId":"1","command":"zoom","arguments":[]})")),
              "\"STUB_FAILURE\"");
    dir.write("log", "earlier\n");
    EXPECT_EQ(run_to_end({"--log", dir.file("log")}, {{"click"}}).status, 0);
    std::ifstream log(dir.file("log"));
    const auto lines = lines_of(std::string(std::istreambuf_iterator<char>(log), {}));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "earlier");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int reader = ::open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const StubHost piped({"--log", dir.file("fifo")});
    ::close(reader);
    EXPECT_TRUE(answers(piped));
    EXPECT_TRUE(answers(piped));
    EXPECT_TRUE(alive(piped.pid()));
}

}  // namespace
}  // namespace corvanelle::host_test
