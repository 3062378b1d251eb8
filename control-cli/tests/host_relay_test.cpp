// The host as a relay that records, and as a replayer: a session replays byte for byte, a
// killed relay leaves only whole recordings, and the application's faults become failure replies.
#include "host_support.hpp"

namespace corvanelle::host_test {
namespace {

constexpr auto npos = std::string::npos;

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
        R"({"code":"STUB_NOT_RECORDED","message":"no unused recording of \"type\" with the arguments [\"é\"]: all 2 recordings of it were used"})");
    EXPECT_NE(replay.stop().find("\n! no unused recording of \"type\" with the arguments "
                                 "[\"é\"]: all 2 recordings of it were used\n"),
              std::string::npos);
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
    std::vector<std::string> texts{relay_log};
    for (const std::string& name : names_in(folder)) {
        std::ifstream in(folder + "/" + name);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const std::string& text : texts) {
        EXPECT_EQ(text.find("s3cr"), npos) << text;
        const auto read = read_json_text(text);
        EXPECT_TRUE(!read || !holds(read->root(), "s3cr")) << text;
    }
    StubHost replay({"--replay", folder, "--redact", "PW", "--strict"}, {}, with_secret);
    EXPECT_EQ(run_clients(replay, runs), relayed);
    // Once used, a request with the secret is named by its placeholder, here and in the summary.
    const auto unmatched = run_clients(replay, {{"--json", "type", secret}})[0];
    const std::string named = R"("type" with the arguments ["\u0000redacted:PW\u0000"])";
    EXPECT_NE(std::get<1>(unmatched).find("redacted:PW"), npos) << std::get<1>(unmatched);
    EXPECT_EQ(std::get<1>(unmatched).find("s3cr"), npos) << std::get<1>(unmatched);
    const std::string replay_log = replay.stop();
    EXPECT_NE(replay_log.find("! no recording: " + named), npos) << replay_log;
    EXPECT_EQ(replay_log.find("s3cr"), npos) << replay_log;
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

}  // namespace
}  // namespace corvanelle::host_test
