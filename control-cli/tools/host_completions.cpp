// The stand-in host's shell completions, made from its option table, so that every option it
// takes is offered and a row added to the table is offered with no change here. What follows
// an option comes from the name of its argument: a folder for DIR, a file for FILE and SOCKET,
// nothing for a number or any other value. The socket path, and every word after "--", is a
// file name.
#include "host_completions.hpp"

#include <string_view>

#include "option_table.hpp"

namespace corvanelle::tools {
namespace {

using stub::Option;
using stub::Row;
using stub::Value;

enum class Follows { nothing, folder, file, other };

Follows follows(const Row& row) {
    if (row.argument.value == Value::none) {
        return Follows::nothing;
    }
    if (row.argument.value == Value::text && row.argument.name == "DIR") {
        return Follows::folder;
    }
    if (row.argument.value == Value::text &&
        (row.argument.name == "FILE" || row.argument.name == "SOCKET")) {
        return Follows::file;
    }
    return Follows::other;
}

// The long names of the options followed by `kind`, joined by `separator`.
std::string names(Follows kind, std::string_view separator) {
    std::string words;
    for (const Row& row : stub::option_rows()) {
        if (follows(row) == kind) {
            words += (words.empty() ? "" : std::string(separator)) + stub::long_name(row);
        }
    }
    return words;
}

// Every option's long name, and "-h", which the host takes for --help.
std::string all_names() {
    std::string words;
    for (const Row& row : stub::option_rows()) {
        words += stub::long_name(row) + " ";
    }
    return words + "-h";
}

// One case of a shell's `case` on the word before the one completed: `open` and `close`
// around the patterns, then `then`; nothing when no option is followed by `kind`.
std::string case_of(Follows kind, std::string_view open, std::string_view close,
                    std::string_view then) {
    const std::string patterns = names(kind, "|");
    if (patterns.empty()) {
        return "";
    }
    return std::string(open) + patterns + std::string(close) + " " + std::string(then) + "\n";
}

// fish's quoted text of an option's help: on one line, with what ends or escapes a quoted
// word escaped.
std::string fish_quoted(std::string_view help) {
    std::string quoted = "'";
    for (const char c : help) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c == '\n' ? ' ' : c;
    }
    return quoted + "'";
}

}  // namespace

std::string host_bash() {
    return "# bash completion for corvanelle-control-stub, made from its option table.\n"
           "_corvanelle_control_stub() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}\n"
           "    local options=\"" +
           all_names() +
           "\"\n"
           "    local i what=''\n"
           "    # After \"--\" every word is the socket path.\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        [[ ${COMP_WORDS[i]} == -- ]] && what=-f\n"
           "    done\n"
           "    if [[ -z $what ]]; then\n"
           "        case $previous in\n" +
           case_of(Follows::folder, "            ", ")", "what=-d ;;") +
           case_of(Follows::file, "            ", ")", "what=-f ;;") +
           case_of(Follows::other, "            ", ")", "COMPREPLY=(); return ;;") +
           "            *) if [[ $cur == -* ]]; then what=options; else what=-f; fi ;;\n"
           "        esac\n"
           "    fi\n"
           "    if [[ $what == options ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
           "    else\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        local IFS=$'\\n'\n"
           "        COMPREPLY=($(compgen $what -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -F _corvanelle_control_stub corvanelle-control-stub\n";
}

std::string host_zsh() {
    return "#compdef corvanelle-control-stub\n"
           "# zsh completion for corvanelle-control-stub, made from its option table.\n"
           "local -a options\n"
           "options=(" +
           all_names() +
           ")\n"
           "local word what=''\n"
           "# After \"--\" every word is the socket path.\n"
           "for word in ${words[2,CURRENT-1]}; do [[ $word == -- ]] && what=files; done\n"
           "if [[ -z $what ]]; then\n"
           "    case ${words[CURRENT-1]} in\n" +
           case_of(Follows::folder, "        (", ")", "what=folders ;;") +
           case_of(Follows::file, "        (", ")", "what=files ;;") +
           case_of(Follows::other, "        (", ")", "what=nothing ;;") +
           "        (*) if [[ $PREFIX == -* ]]; then what=options; else what=files; fi ;;\n"
           "    esac\n"
           "fi\n"
           "case $what in\n"
           "    (options) compadd -- $options ;;\n"
           "    (folders) _files -/ ;;\n"
           "    (files) _files ;;\n"
           "esac\n";
}

std::string host_fish() {
    std::string text =
        "# fish completion for corvanelle-control-stub, made from its option table.\n";
    for (const Row& row : stub::option_rows()) {
        text += "complete -c corvanelle-control-stub ";
        if (row.id == Option::help) {
            text += "-s h ";
        }
        text += "-l " + std::string(row.name);
        switch (follows(row)) {
            case Follows::folder:
                text += " -x -a '(__fish_complete_directories)'";
                break;
            case Follows::file:
                text += " -r -F";
                break;
            case Follows::other:
                text += " -x";
                break;
            case Follows::nothing:
                break;
        }
        text += " -d " + fish_quoted(row.help) + "\n";
    }
    return text;
}

}  // namespace corvanelle::tools
