#include "option_table.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

namespace corvanelle::stub {
namespace {

constexpr Argument kNoValue{Value::none, "", 0, 0};
constexpr Argument text(std::string_view name) {
    return {Value::text, name, 0, 0};
}
constexpr Argument number(std::string_view name, std::uint64_t low, std::uint64_t high) {
    return {Value::number, name, low, high};
}

void nothing_more(Settings& /*settings*/, const Given& /*given*/) {}

// The reply options: the ones that choose the reply, and the ones that never answer.
constexpr OptionSet kChoose{Option::replies, Option::reply,   Option::fail,
                            Option::raw,     Option::forward, Option::replay};
// With --replay, what has no recording may go to the application behind it.
constexpr OptionSet kChooseButReplay{Option::replies, Option::reply, Option::fail, Option::raw};
constexpr OptionSet kChooseButForward{Option::replies, Option::reply, Option::fail, Option::raw,
                                      Option::replay};
constexpr OptionSet kSilent{Option::no_reply, Option::no_read, Option::hang_up};
constexpr OptionSet kReplyOptions = kChoose | kSilent | OptionSet{Option::close_after};
constexpr OptionSet kNone{};
constexpr std::uint64_t kMiB = std::uint64_t{1024} * 1024;

// One row per option, in the order --help shows them. Of the options that choose the reply,
// only --replies and --fail combine (a canned reply where there is one, a failure for the
// rest), and --replay and --forward (a recording where there is one, the application for the
// rest); --close-after cuts whatever reply is sent; the three that never answer exclude
// every other reply option.
const std::array kRows{
    Row{Option::replies, "replies", text("DIR"), kSilent | OptionSet{Option::reply, Option::raw},
        kNone, "answer a command from the file DIR/<command>.json, if there is one",
        [](Settings& s, const Given& g) { s.replies_path = g.text; }},
    Row{Option::reply, "reply", text("FILE"),
        kSilent | OptionSet{Option::replies, Option::fail, Option::raw}, kNone,
        "answer every request with the payload in FILE",
        [](Settings& s, const Given& g) { s.reply_path = g.text; }},
    Row{Option::fail, "fail", kNoValue, kSilent | OptionSet{Option::reply, Option::raw}, kNone,
        "answer with \"success\": false (with --replies: where no file answers)", nothing_more},
    Row{Option::raw, "raw", text("FILE"),
        kSilent | OptionSet{Option::replies, Option::reply, Option::fail}, kNone,
        "send the bytes of FILE as they are (no length added), then close",
        [](Settings& s, const Given& g) { s.raw_path = g.text; }},
    Row{Option::forward, "forward", text("SOCKET"), kChooseButReplay | kSilent, kNone,
        "pass each request unchanged to the application listening on\nSOCKET, and its reply back",
        [](Settings& s, const Given& g) { s.forward_path = g.text; }},
    Row{Option::record, "record", text("DIR"), kNone, OptionSet{Option::forward},
        "keep each exchange as a file in DIR (made 0700, files 0600);\nDIR must hold no "
        "recordings yet",
        [](Settings& s, const Given& g) { s.record_path = g.text; }},
    Row{Option::append, "append", kNoValue, kNone, OptionSet{Option::record},
        "add to the recordings DIR already holds", nothing_more},
    Row{Option::replay, "replay", text("DIR"), kChooseButForward | kSilent, kNone,
        "answer each request with the reply of the first unused recording\nin DIR of the same "
        "command and arguments (with --forward, pass\nthe others to the application)",
        [](Settings& s, const Given& g) { s.replay_path = g.text; }},
    Row{Option::strict, "strict", kNoValue, kNone, OptionSet{Option::replay},
        "at the end, list the recordings never used and the requests that\nhad none, and exit "
        "with status 1 if there are any",
        nothing_more},
    Row{Option::repeat_last, "repeat-last", kNoValue, kNone, OptionSet{Option::replay},
        "once all recordings of a request are used, answer again with the\nlast of them",
        nothing_more},
    Row{Option::redact, "redact", text("NAME"), kNone, OptionSet{Option::record, Option::replay},
        "keep the value of the environment variable NAME out of the\nrecordings (a placeholder "
        "instead) and put it back on replay;\nmay be given again for another",
        [](Settings& s, const Given& g) { s.redact_names.emplace_back(g.text); }},
    Row{Option::close_after, "close-after", number("N", 0, std::uint64_t{1} << 32), kSilent, kNone,
        "send only the first N bytes of the reply, then close",
        [](Settings& s, const Given& g) { s.close_after = g.number; }},
    Row{Option::no_reply, "no-reply", kNoValue, kReplyOptions, kNone,
        "read the request and never answer (each connection is held until\nits client closes it)",
        nothing_more},
    Row{Option::no_read, "no-read", kNoValue, kReplyOptions, kNone,
        "accept connections and never read from them (each is held until\nits client closes it)",
        nothing_more},
    Row{Option::hang_up, "hang-up", kNoValue, kReplyOptions, kNone,
        "close each connection at once, without reading", nothing_more},
    Row{Option::delay, "delay", number("MS", 0, 86'400'000), kNone, kNone,
        "wait MS milliseconds before replying",
        [](Settings& s, const Given& g) { s.delay = std::chrono::milliseconds(g.number); }},
    Row{Option::timeout, "timeout", number("SECONDS", 1, 86'400), kNone, kNone,
        "the whole time to receive one request, and again to send one\nreply (default 30)",
        [](Settings& s, const Given& g) { s.timeout = std::chrono::seconds(g.number); }},
    Row{Option::max_connections, "max-connections", number("N", 1, 65'536), kNone, kNone,
        "serve at most N connections at once; more wait to be accepted\n(default 256)",
        [](Settings& s, const Given& g) { s.max_connections = g.number; }},
    Row{Option::memory_budget, "memory-budget", number("MIB", 1, 1'048'576), kNone, kNone,
        "what all connections may hold together (default 256)",
        [](Settings& s, const Given& g) { s.memory_budget = g.number * kMiB; }},
    Row{Option::log, "log", text("FILE"), OptionSet{Option::quiet}, kNone,
        "append the request log to FILE instead of standard output",
        [](Settings& s, const Given& g) { s.log_path = g.text; }},
    Row{Option::quiet, "quiet", kNoValue, OptionSet{Option::log}, kNone, "keep no request log",
        nothing_more},
    // Not 0, 1 or 2: closing one of those would hand its number to the next connection.
    Row{Option::ready_fd, "ready-fd", number("N", 3, 65'535), kNone, kNone,
        "write one line to descriptor N once listening, then close it",
        [](Settings& s, const Given& g) { s.ready_fd = static_cast<int>(g.number); }},
    Row{Option::help, "help", kNoValue, kNone, kNone, "show this text",
        [](Settings& s, const Given& /*g*/) { s.action = Settings::Action::help; }},
    Row{Option::version, "version", kNoValue, kNone, kNone, "show the program's name and version",
        [](Settings& s, const Given& /*g*/) { s.action = Settings::Action::version; }},
};

// A row's line of --help: its name and argument, then its help, each further line of it
// indented to the help's column.
std::string help_line(const Row& row) {
    constexpr std::size_t kColumn = 25;
    std::string head = "  " + long_name(row);
    if (row.id == Option::help) {
        head = "  -h, --help";
    }
    if (row.argument.value != Value::none) {
        head += "=" + std::string(row.argument.name);
    }
    head.resize(std::max(head.size() + 1, kColumn), ' ');
    std::string_view help = row.help;
    for (auto feed = help.find('\n'); feed != std::string_view::npos; feed = help.find('\n')) {
        head += std::string(help.substr(0, feed)) + "\n" + std::string(kColumn, ' ');
        help.remove_prefix(feed + 1);
    }
    head += std::string(help);
    if (row.argument.value == Value::number) {
        head +=
            " [" + std::to_string(row.argument.low) + "-" + std::to_string(row.argument.high) + "]";
    }
    return head + "\n";
}

// For each row with any, "  --name: --other, --another": the options of `set` it names,
// joined by `last` before the last of them.
std::string pairs(OptionSet Row::*set, std::string_view last = ", ") {
    std::string lines;
    for (const Row& row : kRows) {
        std::vector<std::string> named;
        for (const Row& other : kRows) {
            if ((row.*set).has(other.id) && other.id != row.id) {
                named.push_back(long_name(other));
            }
        }
        std::string others;
        for (std::size_t i = 0; i < named.size(); ++i) {
            others += (i == 0 ? " " : i + 1 == named.size() ? std::string(last) : ", ") + named[i];
        }
        if (!others.empty()) {
            lines += "  " + long_name(row) + ":" + others + "\n";
        }
    }
    return lines;
}

}  // namespace

std::span<const Row> option_rows() {
    return kRows;
}

const Row& row_of(Option id) {
    // Every option has a row.
    return *std::find_if(kRows.begin(), kRows.end(), [id](const Row& row) { return row.id == id; });
}

std::string help_text() {
    std::string help =
        "Usage: corvanelle-control-stub [options] SOCKET_PATH\n"
        "\n"
        "A stand-in for the Corvanelle desktop application: listens on the Unix socket\n"
        "SOCKET_PATH and answers each request frame with one reply frame. By default the reply is\n"
        "  {\"success\":true,\"requestId\":<id>,\"data\":{\"command\":...,\"arguments\":[...]},\n"
        "   \"error\":null,\"debugLogs\":[]}\n"
        "Each request is logged as one line, as it arrived; lines starting with \"! \" tell of\n"
        "frames that were refused or cut short, of an application that failed, of exchanges\n"
        "not recorded or not found, of secrets whose variable is not set, and of log lines that\n"
        "were dropped.\n"
        "\nOptions:\n";
    for (const Row& row : kRows) {
        help += help_line(row);
    }
    return help + "\nOptions that cannot be used together:\n" + pairs(&Row::excludes) +
           "\nOptions that need another:\n" + pairs(&Row::needs, " or ") +
           "\nThe socket file appears only once the host is listening, and is removed when the "
           "host\n"
           "ends on SIGINT, SIGTERM or SIGHUP. A socket file that nobody listens on is replaced.\n";
}

}  // namespace corvanelle::stub
