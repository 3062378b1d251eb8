#include "options.hpp"

#include <fcntl.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

#include "replies.hpp"

namespace corvanelle::stub {
namespace {

enum class Value : std::uint8_t { none, number, text };

// What follows an option: nothing, a text, or a whole number in a range.
struct Argument {
    Value value;
    std::string_view name;  // in --help
    std::uint64_t low;
    std::uint64_t high;
};
constexpr Argument kNoValue{Value::none, "", 0, 0};
constexpr Argument text(std::string_view name) {
    return {Value::text, name, 0, 0};
}
constexpr Argument number(std::string_view name, std::uint64_t low, std::uint64_t high) {
    return {Value::number, name, low, high};
}

// An option's value as given: its text, and for a number option the number it reads as.
struct Given {
    std::string_view text;
    std::uint64_t number = 0;
};

struct Row {
    Option id;
    std::string_view name;  // the long name, without its "--"
    Argument argument;
    OptionSet excludes;     // options that cannot be given with it
    std::string_view help;  // a line feed starts another line of it
    void (*apply)(Settings&, const Given&);
};

void nothing_more(Settings& /*settings*/, const Given& /*given*/) {}

// The reply options: the ones that choose the reply, and the ones that never answer.
constexpr OptionSet kChoose{Option::replies, Option::reply, Option::fail, Option::raw};
constexpr OptionSet kSilent{Option::no_reply, Option::no_read, Option::hang_up};
constexpr OptionSet kReplyOptions = kChoose | kSilent | OptionSet{Option::close_after};
constexpr OptionSet kNone{};
constexpr std::uint64_t kMiB = std::uint64_t{1024} * 1024;

// One row per option, in the order --help shows them. Of the options that choose the reply,
// only --replies and --fail combine (a canned reply where there is one, a failure for the
// rest); --close-after cuts whatever reply is sent; the three that never answer exclude
// every other reply option.
const std::array kRows{
    Row{Option::replies, "replies", text("DIR"), kSilent | OptionSet{Option::reply, Option::raw},
        "answer a command from the file DIR/<command>.json, if there is one",
        [](Settings& s, const Given& g) { s.replies_path = g.text; }},
    Row{Option::reply, "reply", text("FILE"),
        kSilent | OptionSet{Option::replies, Option::fail, Option::raw},
        "answer every request with the payload in FILE",
        [](Settings& s, const Given& g) { s.reply_path = g.text; }},
    Row{Option::fail, "fail", kNoValue, kSilent | OptionSet{Option::reply, Option::raw},
        "answer with \"success\": false (with --replies: where no file answers)", nothing_more},
    Row{Option::raw, "raw", text("FILE"),
        kSilent | OptionSet{Option::replies, Option::reply, Option::fail},
        "send the bytes of FILE as they are (no length added), then close",
        [](Settings& s, const Given& g) { s.raw_path = g.text; }},
    Row{Option::close_after, "close-after", number("N", 0, std::uint64_t{1} << 32), kSilent,
        "send only the first N bytes of the reply, then close",
        [](Settings& s, const Given& g) { s.close_after = g.number; }},
    Row{Option::no_reply, "no-reply", kNoValue, kReplyOptions,
        "read the request and never answer (each connection is held until\nits client closes it)",
        nothing_more},
    Row{Option::no_read, "no-read", kNoValue, kReplyOptions,
        "accept connections and never read from them (each is held until\nits client closes it)",
        nothing_more},
    Row{Option::hang_up, "hang-up", kNoValue, kReplyOptions,
        "close each connection at once, without reading", nothing_more},
    Row{Option::delay, "delay", number("MS", 0, 86'400'000), kNone,
        "wait MS milliseconds before replying",
        [](Settings& s, const Given& g) { s.delay = std::chrono::milliseconds(g.number); }},
    Row{Option::timeout, "timeout", number("SECONDS", 1, 86'400), kNone,
        "the whole time to receive one request, and again to send one\nreply (default 30)",
        [](Settings& s, const Given& g) { s.timeout = std::chrono::seconds(g.number); }},
    Row{Option::max_connections, "max-connections", number("N", 1, 65'536), kNone,
        "serve at most N connections at once; more wait to be accepted\n(default 256)",
        [](Settings& s, const Given& g) { s.max_connections = g.number; }},
    Row{Option::memory_budget, "memory-budget", number("MIB", 1, 1'048'576), kNone,
        "what all connections may hold together (default 256)",
        [](Settings& s, const Given& g) { s.memory_budget = g.number * kMiB; }},
    Row{Option::log, "log", text("FILE"), OptionSet{Option::quiet},
        "append the request log to FILE instead of standard output",
        [](Settings& s, const Given& g) { s.log_path = g.text; }},
    Row{Option::quiet, "quiet", kNoValue, OptionSet{Option::log}, "keep no request log",
        nothing_more},
    // Not 0, 1 or 2: closing one of those would hand its number to the next connection.
    Row{Option::ready_fd, "ready-fd", number("N", 3, 65'535), kNone,
        "write one line to descriptor N once listening, then close it",
        [](Settings& s, const Given& g) { s.ready_fd = static_cast<int>(g.number); }},
    Row{Option::help, "help", kNoValue, kNone, "show this text",
        [](Settings& s, const Given& /*g*/) { s.action = Settings::Action::help; }},
    Row{Option::version, "version", kNoValue, kNone, "show the program's name and version",
        [](Settings& s, const Given& /*g*/) { s.action = Settings::Action::version; }},
};

const Row& row_of(Option id) {
    // Every option has a row.
    return *std::find_if(kRows.begin(), kRows.end(), [id](const Row& row) { return row.id == id; });
}

std::string long_name(const Row& row) {
    return "--" + std::string(row.name);
}

// The row a long name means: the whole name, or a start that fits one row only.
const Row* find_row(std::string_view name) {
    const Row* found = nullptr;
    int starting = 0;
    for (const Row& row : kRows) {
        if (row.name == name) {
            return &row;
        }
        if (!name.empty() && row.name.starts_with(name)) {
            found = &row;
            ++starting;
        }
    }
    return starting == 1 ? found : nullptr;
}

Status read_number(const Row& row, Given& given) {
    const char* end = given.text.data() + given.text.size();
    const auto [stop, error] = std::from_chars(given.text.data(), end, given.number);
    if (error != std::errc() || stop != end || given.number < row.argument.low ||
        given.number > row.argument.high) {
        return usage_error(
            long_name(row) + " takes a whole number from " + std::to_string(row.argument.low) +
            " to " + std::to_string(row.argument.high) + ", not '" + std::string(given.text) + "'");
    }
    return {};
}

struct CommandLine {
    Settings settings;
    std::vector<Option> order;  // as given
    std::vector<std::string_view> operands;
};

// One option at argv[at], with its value; `at` is left on the last word it used.
Status read_option(int argc, char** argv, int& at, CommandLine& line) {
    std::string_view word = argv[at];
    if (word == "-h") {
        word = "--help";
    }
    const auto equals = word.find('=');
    const Row* row = word.starts_with("--") ? find_row(word.substr(2, equals - 2)) : nullptr;
    if (row == nullptr) {
        return usage_error("unrecognized option '" + std::string(word.substr(0, equals)) + "'");
    }
    Given given;
    if (row->argument.value == Value::none && equals != std::string_view::npos) {
        return usage_error("option '" + long_name(*row) + "' takes no value");
    }
    if (row->argument.value != Value::none) {
        if (equals == std::string_view::npos && at + 1 == argc) {
            return usage_error("option '" + long_name(*row) + "' needs a value");
        }
        given.text = equals == std::string_view::npos ? argv[++at] : word.substr(equals + 1);
    }
    if (row->argument.value == Value::number) {
        if (auto read = read_number(*row, given); !read) {
            return read;
        }
    }
    line.order.push_back(row->id);
    line.settings.given.add(row->id);
    row->apply(line.settings, given);
    return {};
}

Result<CommandLine> parse(int argc, char** argv) {
    CommandLine line;
    bool options_ended = false;
    for (int at = 1; at < argc; ++at) {
        const std::string_view word = argv[at];
        if (options_ended || word.size() < 2 || word[0] != '-') {
            line.operands.push_back(word);
        } else if (word == "--") {
            options_ended = true;
        } else if (auto read = read_option(argc, argv, at, line); !read) {
            return forward_failure(read);
        } else if (line.settings.action != Settings::Action::serve) {
            return line;  // --help and --version win over whatever follows
        }
    }
    return line;
}

// The first pair of options given that exclude each other.
Status check_exclusions(const std::vector<Option>& order) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t j = i + 1; j < order.size(); ++j) {
            const Row& a = row_of(order[i]);
            const Row& b = row_of(order[j]);
            if (a.id != b.id && (a.excludes.has(b.id) || b.excludes.has(a.id))) {
                return fail(long_name(a) + " and " + long_name(b) + " cannot be used together");
            }
        }
    }
    return {};
}

}  // namespace

Unexpected usage_error(const std::string& message) {
    return fail(message + "\nTry '" + kProgram + " --help' for more information.");
}

Result<Settings> read_command_line(int argc, char** argv) {
    auto line = parse(argc, argv);
    if (!line) {
        return forward_failure(line);
    }
    Settings settings = std::move(line->settings);
    if (settings.action != Settings::Action::serve) {
        return settings;
    }
    if (line->operands.size() != 1) {
        return usage_error(line->operands.empty() ? "a socket path is needed"
                                                  : "one socket path only");
    }
    settings.socket_path = line->operands.front();
    if (settings.given.has(Option::ready_fd) && ::fcntl(settings.ready_fd, F_GETFD) < 0) {
        return usage_error("--ready-fd " + std::to_string(settings.ready_fd) +
                           " is not an open descriptor");
    }
    if (auto excluded = check_exclusions(line->order); !excluded) {
        return forward_failure(excluded);
    }
    if (auto read = read_reply_options(settings); !read) {
        return forward_failure(read);
    }
    return settings;
}

std::string help_text() {
    std::string text =
        "Usage: corvanelle-control-stub [options] SOCKET_PATH\n"
        "\n"
        "A stand-in for the Corvanelle desktop application: listens on the Unix socket\n"
        "SOCKET_PATH and answers each request frame with one reply frame. By default the reply is\n"
        "  {\"success\":true,\"requestId\":<id>,\"data\":{\"command\":...,\"arguments\":[...]},\n"
        "   \"error\":null,\"debugLogs\":[]}\n"
        "Each request is logged as one line, as it arrived; lines starting with \"! \" tell of\n"
        "frames that were refused or cut short, and of log lines that were dropped.\n"
        "\nOptions:\n";
    constexpr std::size_t kColumn = 25;
    for (const Row& row : kRows) {
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
        text += head + std::string(help);
        if (row.argument.value == Value::number) {
            text += " [" + std::to_string(row.argument.low) + "-" +
                    std::to_string(row.argument.high) + "]";
        }
        text += "\n";
    }
    text += "\nOptions that cannot be used together:\n";
    for (const Row& row : kRows) {
        std::string others;
        for (const Row& other : kRows) {
            if (row.excludes.has(other.id) && other.id != row.id) {
                others += (others.empty() ? " " : ", ") + long_name(other);
            }
        }
        if (!others.empty()) {
            text += "  " + long_name(row) + ":" + others + "\n";
        }
    }
    return text +
           "\nThe socket file appears only once the host is listening, and is removed when the "
           "host\n"
           "ends on SIGINT, SIGTERM or SIGHUP. A socket file that nobody listens on is replaced.\n";
}

}  // namespace corvanelle::stub
