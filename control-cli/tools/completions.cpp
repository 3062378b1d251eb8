// Writes the shell completions of corvanelle-control, from the program's own command table,
// list targets and flag words, so that they can never disagree with what the program takes.
// Usage: corvanelle-completions bash|zsh|fish
#include <cstdio>
#include <string>
#include <string_view>

#include "commands/commands.hpp"
#include "run/run.hpp"

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
        words += (words.empty() ? "" : " ") + std::string(target.target);
    }
    return words;
}

std::string words_of_flags(std::string_view separator) {
    std::string words;
    for (const std::string_view flag : kFlagWords) {
        words += (words.empty() ? "" : std::string(separator)) + std::string(flag);
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
        "complete -c corvanelle-control -f\n"
        "complete -c corvanelle-control -n 'test (__corvanelle_control_expects) = command' -a '" +
        words_of_commands() +
        "'\n"
        "complete -c corvanelle-control -n 'test (__corvanelle_control_expects) = target' -a '" +
        words_of_targets() + "'\n";
    for (const std::string_view flag : kFlagWords) {
        const bool is_short = flag.size() == 2;
        text += "complete -c corvanelle-control " + std::string(is_short ? "-s " : "-l ") +
                std::string(flag.substr(is_short ? 1 : 2)) + "\n";
    }
    return text;
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
    } else {
        (void)std::fputs("usage: corvanelle-completions bash|zsh|fish\n", stderr);
        return 2;
    }
    return std::fputs(text.c_str(), stdout) < 0 ? 1 : 0;
}
