#include "run/run.hpp"

#include <unistd.h>
#include <algorithm>

#include "commands/commands.hpp"
#include "exchange/exchange.hpp"
#include "report/failure.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"
#include "utf8.hpp"
#include "version.hpp"

namespace corvanelle {
namespace {

Document version_document() {
    DocumentBuilder document;
    document.start_object();
    document.key("success");
    document.boolean(true);
    document.key("data");
    document.start_object();
    document.key("name");
    document.string(kProgramName);
    document.key("version");
    document.string(kVersion);
    document.key("protocolVersion");
    document.unsigned_integer(kProtocolVersion);
    document.end();
    document.end();
    return document.take();
}

// Success is the boolean true in an object's "success" member, and nothing else.
bool reply_succeeded(const Document& reply) {
    const Document::Value root = reply.root();
    Document::Value success = root;
    return root.kind() == Document::Kind::object && root.find("success", success) &&
           success.kind() == Document::Kind::boolean && success.boolean();
}

// Status 0 only once everything meant for standard output was written out.
int finish_output(const Status& written, int status) {
    return written ? status : report_failure(written.error().message);
}

}  // namespace

bool remove_flag(std::vector<std::string>& arguments, std::string_view flag) {
    return std::erase(arguments, flag) > 0;
}

std::string help_text() {
    std::string text =
        "Corvanelle native computer control\n"
        "Usage: corvanelle-control <command> [options]\n"
        "\n"
        "Commands:\n";
    for (const std::string_view word : kCommandTable) {
        text += "  ";
        text += word;
        text += '\n';
    }
    text += "\nUse --json or --json-output for compact structured output.\n";
    return text;
}

Result<CommandLine> parse_command_line(std::vector<std::string> arguments) {
    const std::vector<std::string> original = arguments;

    CommandLine line;
    // With --json present, every --json-output stays an argument.
    const bool json = remove_flag(arguments, "--json");
    line.compact = json || remove_flag(arguments, "--json-output");
    remove_flag(arguments, "--no-remote");

    if (remove_flag(arguments, "--version")) {
        line.action = CommandLine::Action::version;
        return line;
    }
    if (arguments.empty() || remove_flag(arguments, "--help") || remove_flag(arguments, "-h")) {
        line.action = CommandLine::Action::help;
        return line;
    }

    // Only the words that would be resolved and sent must be UTF-8; a failure names the word
    // by its place on the original command line. Those words are the original ones less the
    // flags stripped above, in order.
    const std::string_view compact_flag = json ? "--json" : "--json-output";
    std::size_t kept = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        const std::string& word = original[i];
        if ((line.compact && word == compact_flag) || word == "--no-remote") {
            continue;
        }
        if (!is_valid_utf8(arguments[kept])) {
            return fail("argument " + std::to_string(i + 1) + " is not valid UTF-8");
        }
        ++kept;
    }

    const std::string word = std::move(arguments.front());
    arguments.erase(arguments.begin());
    auto command = resolve_command(word, arguments);
    if (!command) {
        return forward_failure(command);
    }
    line.action = CommandLine::Action::forward;
    line.command = std::move(*command);
    line.arguments = std::move(arguments);
    return line;
}

int run(std::vector<std::string> arguments) {
    auto line = parse_command_line(std::move(arguments));
    if (!line) {
        return report_failure(line.error().message);
    }
    switch (line->action) {
        case CommandLine::Action::version:
            return finish_output(print_value(version_document(), line->compact), 0);
        case CommandLine::Action::help:
            return finish_output(write_all(STDOUT_FILENO, help_text()), 0);
        case CommandLine::Action::forward:
            break;
    }
    auto reply = transact(line->command, line->arguments);
    if (!reply) {
        return report_failure(reply.error().message);
    }
    return finish_output(print_value(*reply, line->compact), reply_succeeded(*reply) ? 0 : 1);
}

}  // namespace corvanelle
