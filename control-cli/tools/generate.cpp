// Writes what is made from the program's own command table, list targets and flag words, so
// that it can never disagree with what the program takes: the shell completions, and the JSON
// Schema of the request (written with the program's own value type and writer); and the
// stand-in host's shell completions, from its option table (host_completions.cpp).
// Usage: corvanelle-generate bash|zsh|fish|request-schema|host-bash|host-zsh|host-fish
#include <cstdio>
#include <string>
#include <string_view>

#include "commands/commands.hpp"
#include "host_completions.hpp"
#include "report/json_text.hpp"
#include "run/run.hpp"
#include "shared/document.hpp"
#include "version.hpp"

namespace {

using corvanelle::kCommandTable;
using corvanelle::kFlagWords;
using corvanelle::kListTargets;

std::string words_of_commands() {
    std::string words;
    for (const std::string_view word : kCommandTable) {
        words += std::string(word) + " ";
    }
    return words + "list";
}

std::string words_of_targets() {
    std::string words;
    for (const auto& target : kListTargets) {
        if (!words.empty()) {
            words += ' ';
        }
        words += target.target;
    }
    return words;
}

std::string words_of_flags(std::string_view separator) {
    std::string words;
    for (const auto& flag : kFlagWords) {
        if (!words.empty()) {
            words += separator;
        }
        words += flag.word;
    }
    return words;
}

std::string bash() {
    return "# bash completion for corvanelle-control, made from its command table.\n"
           "_corvanelle_control() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]}\n"
           "    local commands=\"" +
           words_of_commands() +
           "\"\n"
           "    local targets=\"" +
           words_of_targets() +
           "\"\n"
           "    local flags=\"" +
           words_of_flags(" ") +
           "\"\n"
           "    # The command word is the first word that is not a flag; flags count anywhere.\n"
           "    local i word command='' after=0\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=${COMP_WORDS[i]}\n"
           "        case $word in " +
           words_of_flags("|") +
           ") continue ;; esac\n"
           "        if [[ -z $command ]]; then command=$word; else after=$((after + 1)); fi\n"
           "    done\n"
           "    local words=''\n"
           "    if [[ $cur == -* ]]; then words=$flags\n"
           "    elif [[ -z $command ]]; then words=$commands\n"
           "    elif [[ $command == list && $after -eq 0 ]]; then words=$targets\n"
           "    else\n"
           "        # An argument of the command: file names, as most peer tools offer.\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        local IFS=$'\\n'\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
           "}\n"
           "complete -F _corvanelle_control corvanelle-control\n";
}

std::string zsh() {
    return "#compdef corvanelle-control\n"
           "# zsh completion for corvanelle-control, made from its command table.\n"
           "local -a commands targets flags\n"
           "commands=(" +
           words_of_commands() +
           ")\n"
           "targets=(" +
           words_of_targets() +
           ")\n"
           "flags=(" +
           words_of_flags(" ") +
           ")\n"
           "local word command='' after=0\n"
           "for word in ${words[2,CURRENT-1]}; do\n"
           "    case $word in (" +
           words_of_flags("|") +
           ") continue ;; esac\n"
           "    if [[ -z $command ]]; then command=$word; else (( after++ )); fi\n"
           "done\n"
           "if [[ $PREFIX == -* ]]; then compadd -- $flags\n"
           "elif [[ -z $command ]]; then compadd -- $commands\n"
           "elif [[ $command == list && $after -eq 0 ]]; then compadd -- $targets\n"
           "else _files\n"
           "fi\n";
}

std::string fish() {
    std::string text =
        "# fish completion for corvanelle-control, made from its command table.\n"
        "function __corvanelle_control_expects\n"
        "    set -l tokens (commandline -opc)\n"
        "    set -e tokens[1]\n"
        "    set -l command ''\n"
        "    set -l after 0\n"
        "    for token in $tokens\n"
        "        switch $token\n"
        "            case " +
        words_of_flags(" ") +
        "\n"
        "                continue\n"
        "        end\n"
        "        if test -z \"$command\"\n"
        "            set command $token\n"
        "        else\n"
        "            set after (math $after + 1)\n"
        "        end\n"
        "    end\n"
        "    if test -z \"$command\"\n"
        "        echo command\n"
        "    else if test \"$command\" = list -a $after -eq 0\n"
        "        echo target\n"
        "    else\n"
        "        echo argument\n"
        "    end\n"
        "end\n"
        "# Command words and list targets only where they belong; file names for the arguments.\n"
        "complete -c corvanelle-control -n 'test (__corvanelle_control_expects) = command' -f -a "
        "'" +
        words_of_commands() +
        "'\n"
        "complete -c corvanelle-control -n 'test (__corvanelle_control_expects) = target' -f -a '" +
        words_of_targets() + "'\n";
    for (const auto& [flag, effect, yields_to] : kFlagWords) {
        const bool is_short = flag.size() == 2;
        text += "complete -c corvanelle-control " + std::string(is_short ? "-s " : "-l ") +
                std::string(flag.substr(is_short ? 1 : 2)) + "\n";
    }
    return text;
}

std::string request_schema() {
    corvanelle::DocumentBuilder schema;
    const auto text = [&](std::string_view key, std::string_view value) {
        schema.key(key);
        schema.string(value);
    };
    const auto type = [&](std::string_view name) { text("type", name); };
    schema.start_object();
    text("$schema", "https://json-schema.org/draft/2020-12/schema");
    text("title", "corvanelle-control request");
    text("description",
         "The payload of the one request frame that corvanelle-control sends on each "
         "connection. See corvanelle-control-protocol(7).");
    type("object");
    schema.key("required");
    schema.start_array();
    for (const std::string_view name : {"arguments", "command", "protocolVersion", "requestId"}) {
        schema.string(name);
    }
    schema.end();
    schema.key("additionalProperties");
    schema.boolean(false);
    schema.key("properties");
    schema.start_object();
    schema.key("arguments");
    schema.start_object();
    type("array");
    schema.key("items");
    schema.start_object();
    type("string");
    schema.end();
    schema.end();
    schema.key("command");
    schema.start_object();
    text("description",
         "A word of the command table; the list form is sent as app, window or screen.");
    schema.key("enum");
    schema.start_array();
    for (const std::string_view word : kCommandTable) {
        schema.string(word);
    }
    schema.end();
    schema.end();
    schema.key("protocolVersion");
    schema.start_object();
    schema.key("const");
    schema.unsigned_integer(corvanelle::kProtocolVersion);
    schema.end();
    schema.key("requestId");
    schema.start_object();
    type("string");
    text("pattern", "^(0|[1-9][0-9]*)-(0|[1-9][0-9]*)$");
    schema.end();
    schema.end();
    schema.end();
    return corvanelle::to_indented(schema.take()) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view shell = argc == 2 ? argv[1] : "";
    std::string text;
    if (shell == "bash") {
        text = bash();
    } else if (shell == "zsh") {
        text = zsh();
    } else if (shell == "fish") {
        text = fish();
    } else if (shell == "request-schema") {
        text = request_schema();
    } else if (shell == "host-bash") {
        text = corvanelle::tools::host_bash();
    } else if (shell == "host-zsh") {
        text = corvanelle::tools::host_zsh();
    } else if (shell == "host-fish") {
        text = corvanelle::tools::host_fish();
    } else {
        (void)std::fputs(
            "usage: corvanelle-generate "
            "bash|zsh|fish|request-schema|host-bash|host-zsh|host-fish\n",
            stderr);
        return 2;
    }
    return std::fputs(text.c_str(), stdout) < 0 ? 1 : 0;
}
