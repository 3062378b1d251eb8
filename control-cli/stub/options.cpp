#include "options.hpp"

#include <fcntl.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "option_table.hpp"
#include "replies.hpp"

namespace corvanelle::stub {
namespace {

// The row a long name means: the whole name, or a start that fits one row only.
const Row* find_row(std::string_view name) {
    const Row* found = nullptr;
    int starting = 0;
    for (const Row& row : option_rows()) {
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

// Why a word names no option: no option starts so, or several do (a start must fit one).
std::string unknown_option(std::string_view word) {
    std::string starting;
    for (const Row& row : option_rows()) {
        if (word.size() > 2 && word.starts_with("--") && row.name.starts_with(word.substr(2))) {
            starting += (starting.empty() ? "" : ", ") + long_name(row);
        }
    }
    if (!starting.empty()) {
        return "option '" + std::string(word) + "' is ambiguous (" + starting + ")";
    }
    return "unrecognized option '" + std::string(word) + "'";
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
        return usage_error(unknown_option(word.substr(0, equals)));
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

// The first pair of options given that exclude each other, then the first option given
// without one it needs.
Status check_combinations(const std::vector<Option>& order, OptionSet given) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t j = i + 1; j < order.size(); ++j) {
            const Row& a = row_of(order[i]);
            const Row& b = row_of(order[j]);
            if (a.id != b.id && (a.excludes.has(b.id) || b.excludes.has(a.id))) {
                return fail(long_name(a) + " and " + long_name(b) + " cannot be used together");
            }
        }
    }
    for (const Option option : order) {
        const Row& row = row_of(option);
        if (!row.needs.empty() && !given.has_any(row.needs)) {
            std::string named;
            for (const Row& other : option_rows()) {
                if (row.needs.has(other.id)) {
                    named += (named.empty() ? "" : " or ") + long_name(other);
                }
            }
            return fail(long_name(row) + " needs " + named);
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
    if (auto combined = check_combinations(line->order, settings.given); !combined) {
        return forward_failure(combined);
    }
    if (settings.given.has(Option::redact)) {
        // The values from the environment: a recording needs each, a replay goes without.
        auto redaction =
            Redaction::from_environment(settings.redact_names, settings.given.has(Option::record));
        if (!redaction) {
            return forward_failure(redaction);
        }
        settings.redaction = std::move(*redaction);
    }
    if (auto read = read_reply_options(settings); !read) {
        return forward_failure(read);
    }
    return settings;
}

}  // namespace corvanelle::stub
