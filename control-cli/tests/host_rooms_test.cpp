// The stand-in host's pure rooms, linked from its library: the recordings' format written and
// read back, the option table's rules, the replay's request key and near misses, and the
// memory budget's charge.
#include <array>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "budget.hpp"
#include "exchange/reader.hpp"
#include "options.hpp"
#include "recording.hpp"
#include "replay.hpp"

namespace corvanelle::stub {
namespace {

// A recording as the recorder lays it out, read back: each member's bytes exactly, whatever
// they hold; what is not one JSON object of members is refused.
TEST(HostRooms, RecordingFormatWrittenThenReadBack) {
    struct Row {
        std::string request;
        std::string reply;
    };
    const Row rows[] = {
        {R"({"command":"type","arguments":["a\"}b"]})", R"({"success":true})"},
        {R"({"arguments":["\\"],"command":"x"})", R"(["\"",{"]":"["}])"},
        {R"({"command":"n","arguments":[1,-0.5e3,null,true,{"a":[]}]})", "\"\\u0041\""},
    };
    for (const Row& row : rows) {
        const std::string text = std::string(kOpening) + row.request + std::string(kBetween) +
                                 row.reply + std::string(kClosing);
        const auto members = members_of(text);
        ASSERT_TRUE(members) << text;
        EXPECT_EQ(members->request, row.request);
        EXPECT_EQ(members->reply, row.reply);
    }
    const std::string whole = R"({"request":{"a":"}\""},"reply":[1]})";
    for (const std::string& bad :
         {whole + "x", whole + "{}", whole.substr(0, whole.size() - 1), "x" + whole,
          std::string(R"({"request":{"a":"\"},"reply":[1]})")}) {
        EXPECT_FALSE(members_of(bad)) << bad;
    }
    EXPECT_TRUE(members_of(whole + " \n"));
}

// Settings from a command line: the failure's text, or empty when it is accepted.
std::string refusal(std::vector<std::string> args) {
    args.insert(args.begin(), "corvanelle-control-stub");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    const auto settings = read_command_line(static_cast<int>(argv.size()), argv.data());
    return settings ? std::string() : settings.error().message;
}

TEST(HostRooms, OptionTableRules) {
    const std::string help = "\nTry 'corvanelle-control-stub --help' for more information.";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--timeout", "1", "s"}, ""},
        {{"--timeout", "86400", "s"}, ""},
        {{"--timeout", "0", "s"}, "--timeout takes a whole number from 1 to 86400, not '0'" + help},
        {{"--timeout=86401", "s"},
         "--timeout takes a whole number from 1 to 86400, not '86401'" + help},
        // A start that fits several options names none of them; one that fits one, that one.
        {{"--rep", "s"},
         "option '--rep' is ambiguous (--replies, --reply, --replay, --repeat-last)" + help},
        {{"--re", "s"},
         "option '--re' is ambiguous (--replies, --reply, --record, --replay, --repeat-last, "
         "--redact, --ready-fd)" +
             help},
        {{"--qui", "s"}, ""},
        {{"--append", "s"}, "--append needs --record"},
        {{"--strict", "s"}, "--strict needs --replay"},
        {{"--repeat-last", "s"}, "--repeat-last needs --replay"},
        {{"--forward=", "s"}, "cannot forward to an empty path"},
        {{"--forward", "/tmp/./s", "/tmp/s"},
         "cannot forward to /tmp/./s: it is the host's own socket"},
        {{"--forward", "/tmp//s", "/tmp/s"},
         "cannot forward to /tmp//s: it is the host's own socket"},
        {{"--forward", "/tmp/t", "/tmp/s"}, ""},
    };
    for (const auto& [args, expected] : rows) {
        EXPECT_EQ(refusal(args), expected) << ::testing::PrintToString(args);
    }
}

Key key_of(std::string_view request) {
    return request_key(read_json_text(request)->root());
}

// Requests are told apart by their command and arguments as JSON values, of every type;
// their ids and other members are not compared.
TEST(HostRooms, ReplayKeyComparesJsonValues) {
    const std::string_view base = R"({"command":"type","arguments":["ab"],"requestId":"1"})";
    const std::pair<std::string_view, bool> rows[] = {
        {R"({"requestId":"2","arguments":["ab"],"command":"type","protocolVersion":1})", true},
        {R"({"command":"type","arguments":["a\u0062"]})", true},
        {R"({"command":"type","arguments":["a","b"]})", false},
        {R"({"command":"typ","arguments":["eab"]})", false},
        {R"({"command":"other","arguments":["ab"]})", false},
        {R"({"arguments":["ab"]})", false},
        {R"({"command":"type","arguments":"ab"})", false},
        {R"({"command":"type","arguments":[]})", false},
    };
    for (const auto& [other, same] : rows) {
        EXPECT_EQ(key_of(base) == key_of(other), same) << other;
    }
    const std::string_view values[] = {"1",     "1.5", "-0",        "true", "false", "null",
                                       "\"1\"", "[1]", "{\"1\":1}", "{}",   "[]",    "\"\""};
    for (const std::string_view a : values) {
        for (const std::string_view b : values) {
            const auto request = [](std::string_view v) {
                return R"({"command":"c","arguments":[)" + std::string(v) + "]}";
            };
            EXPECT_EQ(key_of(request(a)) == key_of(request(b)), a == b) << a << " " << b;
        }
    }
    // An absent member is told from a present one, whatever follows it.
    EXPECT_FALSE(key_of(R"({"arguments":"x"})") == key_of(R"({"command":"x"})"));
    EXPECT_FALSE(key_of(R"({"command":"x"})") == key_of(R"("x")"));
    EXPECT_TRUE(key_of(R"({"command":"c","arguments":[{"a":1,"b":[2]}]})") ==
                key_of(R"({"command":"c","arguments":[ {"b":[2] ,"a":1} ]})"));
}

// A recording of `request`, numbered `number`, used or not.
Replay::Recorded recording(std::string_view request, std::uint32_t number, bool used) {
    const auto read = read_json_text(request);
    Replay::Recorded r = Replay::match_of(parts_of(*read, request.size()));
    r.number = number;
    r.digits = 6;
    r.used = used;
    return r;
}

std::string near_miss(const std::vector<Replay::Recorded>& recorded, const std::string& request) {
    const auto read = read_json_text(request);
    return Replay::near_miss(recorded, parts_of(*read, request.size()));
}

TEST(HostRooms, NearMissSaysWhichCase) {
    const std::vector<Replay::Recorded> recorded{
        recording(R"({"command":"click","arguments":["1","2"]})", 1, true),
        recording(R"({"command":"click","arguments":["1","2"]})", 2, true),
        recording(R"({"command":"type","arguments":["a"]})", 3, false),
        recording(R"({"command":"type","arguments":["b","c"]})", 4, false),
        recording(R"({"command":"type","arguments":["b"]})", 5, true),
    };
    const auto ask = [](const std::string& command, const std::string& arguments) {
        return R"({"requestId":"1","command":")" + command + R"(","arguments":)" + arguments + "}";
    };
    const std::string head = "no unused recording of ";
    EXPECT_EQ(near_miss(recorded, ask("click", R"(["1","2"])")),
              head + R"("click" with the arguments ["1","2"]: all 2 recordings of it were used)");
    EXPECT_EQ(near_miss(recorded, ask("zoom", "[]")),
              head + R"("zoom" with the arguments []: that command was never recorded)");
    // The nearest: the same first argument before as many arguments, unused before used.
    EXPECT_EQ(near_miss(recorded, ask("type", R"(["b","d"])")),
              head + R"("type" with the arguments ["b","d"]: that command was recorded with )" +
                  "other arguments, the nearest in 000004.json");
    EXPECT_EQ(near_miss(recorded, ask("type", R"(["z"])")),
              head + R"("type" with the arguments ["z"]: that command was recorded with )" +
                  "other arguments, the nearest in 000003.json");
    // A command too long to name whole is cut short, and no comma stands alone.
    const std::string long_command(400, 'w');
    const std::string said = near_miss(recorded, ask(long_command, R"(["x"])"));
    EXPECT_EQ(said, head + "\"" + std::string(300, 'w') +
                        R"("... with the arguments ["x"]: that command was never recorded)");
}

// The budget's charge: a request's whole cost at the exact limit is given, one byte past it is
// not, and a waiter that gives up hands the free memory on to those behind it.
TEST(HostRooms, BudgetCharge) {
    const std::size_t size = 1024 * 1024;
    const std::size_t cost = receiving_cost(size) + parsing_cost(size) + reply_cost(size);
    const auto now = Clock::now();
    for (const std::size_t budget_bytes : {cost - Charge::kOwnRoom, cost - Charge::kOwnRoom - 1}) {
        MemoryBudget budget(budget_bytes);
        Holding holding(&budget, now);
        EXPECT_EQ(holding.take_request(size), budget_bytes == cost - Charge::kOwnRoom);
    }
    MemoryBudget budget(100);
    ASSERT_TRUE(budget.take(60, now));
    auto gives_up = std::async(std::launch::async, [&] {
        return budget.take(50, Clock::now() + std::chrono::milliseconds(100));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto behind = std::async(std::launch::async, [&] {
        return budget.take(40, Clock::now() + std::chrono::seconds(8));
    });
    EXPECT_FALSE(gives_up.get());
    EXPECT_EQ(behind.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_TRUE(behind.get());
    // What a connection held goes back whole when it ends.
    budget.give_back(100);
    {
        Holding holding(&budget, now);
        EXPECT_TRUE(holding.take_reply(Charge::kOwnRoom + 100));
        EXPECT_FALSE(budget.take(1, now));
    }
    EXPECT_TRUE(budget.take(100, now));
}

}  // namespace
}  // namespace corvanelle::stub
