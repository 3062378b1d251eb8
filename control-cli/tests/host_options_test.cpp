// The host's command line: options that exclude each other, and every mistake one line with
// status 2.
#include "host_support.hpp"

namespace corvanelle::host_test {
namespace {

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
        {"--replies", "--fail"},       {"--replies", "--close-after"},
        {"--reply", "--close-after"},  {"--fail", "--close-after"},
        {"--raw", "--close-after"},    {"--forward", "--close-after"},
        {"--replay", "--close-after"}, {"--replay", "--forward"}};
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
    // A folder no file can be made in: without write permission, or where even root cannot.
    ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0500), 0);
    const std::string self = live.path().substr(0, live.path().rfind('/')) + "/./s";
    const std::string unwritable = ::geteuid() == 0 ? "/sys/kernel" : dir.file("locked");
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
        {{"--rep", dir.file("s")}, stub + "option '--rep' is ambiguous (--"},
        {{"--log"}, "corvanelle-control-stub: option '--log' needs a value"},
        {{}, "corvanelle-control-stub: a socket path is needed"},
        {{"--record", dir.file("rec"), dir.file("s")}, stub + "--record needs --forward\n"},
        // --redact: its value's refusals are rows of the redaction's own table.
        {{"--redact", "PW", dir.file("s")}, stub + "--redact needs --record or --replay\n"},
        {{"--replay", dir.path(), "--redact", "P.W", dir.file("s")},
         stub + "--redact takes the name of an environment variable"},
        {{"--forward", dir.file("a"), "--record", dir.file("rec"), "--redact", "UNSET_SECRET_9",
          dir.file("s")},
         stub + "--redact UNSET_SECRET_9: the variable UNSET_SECRET_9 is not set\n"},
        {{"--forward", dir.file("a"), "--record", dir.file("held"), dir.file("s")},
         stub + "the recording folder " + dir.file("held") + " already holds recordings"},
        {{"--forward", dir.file(std::string(200, 'p')), dir.file("s")}, stub + "cannot forward"},
        {{"--forward=", dir.file("no/s")}, stub + "cannot forward to an empty path\n"},
        // The host's own socket by another spelling (here one in use, should it be missed).
        {{"--forward", self, live.path()},
         stub + "cannot forward to " + self + ": it is the host's own socket\n"},
        {{"--forward", live.path(), "--record", unwritable, dir.file("no/s")},
         stub + "cannot record into " + unwritable + ": no file can be made in it: "},
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
}  // namespace corvanelle::host_test
