// The run folder: one run of the program, from the argument list to the exit status. It
// strips the flags, answers help and version, and hands the command to the exchange.
#include "run/run.hpp"

#include <unistd.h>
#include <algorithm>
#include <new>

#include "commands/commands.hpp"
#include "exchange/exchange.hpp"
#include "report/failure.hpp"
#include "report/json_text.hpp"
#include "report/output.hpp"
#include "shared/failure_texts.hpp"
#include "shared/utf8.hpp"
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

// Status 0 only once everything meant for standard output was written out. Making the version
// document or the help text can run out of memory, which is a failure to write it.
template <typename Print>
int finish_output(Print print, int status) {
    Status written;
    try {
        written = print();
    } catch (const std::bad_alloc&) {
        written = fail(texts::kOutputOutOfMemory);
    }
    return written ? status : report_failure(written.error().message);
}

}  // namespace

bool remove_flag(std::vector<Argument>& arguments, std::string_view flag) {
    return std::erase_if(arguments, [&](const Argument& a) { return a.text == flag; }) > 0;
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

Result<CommandLine> parse_command_line(std::vector<std::string> words) {
    std::vector<Argument> arguments;
    arguments.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        arguments.push_back({std::move(words[i]), i + 1});
    }

    // The flags, stripped in the table's order. A flag that yields to one stripped before it
    // stays an argument.
    CommandLine line;
    bool version = false;
    bool help = false;
    std::array<std::string_view, kFlagWords.size()> stripped{};
    std::size_t stripped_count = 0;
    for (const FlagWord& flag : kFlagWords) {
        const auto stripped_end = stripped.begin() + static_cast<std::ptrdiff_t>(stripped_count);
        if (std::find(stripped.begin(), stripped_end, flag.yields_to) != stripped_end ||
            !remove_flag(arguments, flag.word)) {
            continue;
        }
        stripped[stripped_count++] = flag.word;
        line.compact = line.compact || flag.effect == FlagEffect::compact;
        version = version || flag.effect == FlagEffect::version;
        help = help || flag.effect == FlagEffect::help;
    }

    // --version wins over everything, words that are not UTF-8 included; then help.
    if (version) {
        line.action = CommandLine::Action::version;
        return line;
    }
    if (arguments.empty() || help) {
        line.action = CommandLine::Action::help;
        return line;
    }
    // Only the words that would be resolved and sent must be UTF-8.
    for (const Argument& argument : arguments) {
        if (!is_valid_utf8(argument.text)) {
            return fail(texts::argument_not_utf8(argument.place));
        }
    }

    const std::string word = std::move(arguments.front().text);
    words.clear();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        words.push_back(std::move(arguments[i].text));
    }
    auto command = resolve_command(word, words);
    if (!command) {
        return forward_failure(command);
    }
    line.action = CommandLine::Action::forward;
    line.command = std::move(*command);
    line.arguments = std::move(words);
    return line;
}

int run(std::vector<std::string> arguments) {
    auto line = parse_command_line(std::move(arguments));
    if (!line) {
        return report_failure(line.error().message);
    }
    switch (line->action) {
        case CommandLine::Action::version:
            return finish_output([&] { return print_value(version_document(), line->compact); }, 0);
        case CommandLine::Action::help:
            return finish_output([] { return write_all(STDOUT_FILENO, help_text()); }, 0);
        case CommandLine::Action::forward:
            break;
    }
    auto reply = transact(line->command, line->arguments);
    if (!reply) {
        return report_failure(reply.error().message);
    }
    return finish_output([&] { return print_value(*reply, line->compact); },
                         reply_succeeded(*reply) ? 0 : 1);
}

}  // namespace corvanelle
