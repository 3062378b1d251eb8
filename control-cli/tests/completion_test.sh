#!/usr/bin/env bash
# Asks each shell's completion of corvanelle-control and of corvanelle-control-stub for a table
# of partial command lines: bash's driven the way bash does, through COMP_WORDS and COMP_CWORD;
# zsh's with compadd and _files standing in for the completion system's (each filtering by the
# typed prefix, as zsh does); fish's through fish itself, `complete -C`. The rows run in a
# folder holding two files and a folder, which the arguments of a command complete to. The
# host's options are read from its --help, which its option table writes.
# Usage: completion_test.sh HOST BASH_FILE [ZSH_FILE [FISH_FILE]]   (an empty name skips that
# shell; each file of the client's has the host's beside it, named after the host)
set -u
host=$1 bash_file=$2 zsh_file=${3:-} fish_file=${4:-}
host_options=$("$host" --help | sed -n '/^Options:$/,/^$/p' | grep -oE '^  (-h, )?--[a-z-]+' | tr -d ',')
# shellcheck source=/dev/null
source "$bash_file" && source "${bash_file}-stub"
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder" && touch shot.png notes.txt && mkdir recordings || exit 1
failures=0

sorted() { [[ $# -gt 0 ]] && printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' '; }
compare() { # SHELL EXPECTED GOT LINE
    if [[ $2 != "$3" ]]; then
        echo "$1, completing '$4': expected '$2', got '$3'"
        failures=$((failures + 1))
    fi
}
complete_bash() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    "_${1//-/_}"
    sorted "${COMPREPLY[@]}"
}
complete_zsh() {
    zsh -f -c '
        file=$1; shift
        words=("$@"); CURRENT=$#words; PREFIX=$words[-1]
        got=()
        compadd() { [[ $1 == -- ]] && shift; local w; for w; do [[ $w == $PREFIX* ]] && got+=($w); done }
        _files() { if [[ $1 == -/ ]]; then got+=($PREFIX*(N/)); else got+=($PREFIX*(N)); fi }
        complete() { source $file }
        complete
        (( $#got )) && print -rl -- $got' zsh "${zsh_file%/*}/_$1" "$@" | LC_ALL=C sort | tr '\n' ' '
}
complete_fish() { # fish ends a folder's name with "/"
    local line="$*"
    fish --no-config -c 'source $argv[1]; source $argv[2]; complete -C $argv[3]' "$fish_file" \
        "${fish_file%.fish}-stub.fish" "$line" | cut -f1 | sed 's:/$::' | LC_ALL=C sort | tr '\n' ' '
}
# The host's options that start with PREFIX.
options_of_host() { local o; for o in $host_options; do [[ $o == "$1"* ]] && echo "$o"; done; }
# expect [--bash-zsh] WORDS... -- the command line, whose last word is the one being completed.
# --bash-zsh: not for fish, which falls back to matching without regard to letter case.
expect() {
    local shells=(bash zsh fish) expected=()
    [[ $1 == --bash-zsh ]] && { shells=(bash zsh); shift; }
    while [[ $1 != -- ]]; do expected+=("$1"); shift; done
    shift
    local want
    want=$(sorted "${expected[@]}")
    compare bash "$want" "$(complete_bash "$@")" "$*"
    [[ -n $zsh_file && ${shells[*]} == *zsh* ]] && compare zsh "$want" "$(complete_zsh "$@")" "$*"
    [[ -n $fish_file && ${shells[*]} == *fish* ]] && compare fish "$want" "$(complete_fish "$@")" "$*"
}
expect list -- corvanelle-control li
expect click clipboard clean -- corvanelle-control cl
expect screen see set-value scroll space -- corvanelle-control s
expect completions -- corvanelle-control comp
expect bridge permissions screen image capture see verify click type set-value action press \
    scroll paste drag move window menu menubar app dock dialog browser space clipboard clean \
    tools learn completions list -- corvanelle-control ''
expect apps applications -- corvanelle-control list ap
expect windows -- corvanelle-control list w
expect windows -- corvanelle-control --json list w
expect displays -- corvanelle-control list --no-remote d
expect -- corvanelle-control list windows w
expect notes.txt recordings shot.png -- corvanelle-control click ''
expect shot.png -- corvanelle-control image s
expect shot.png -- corvanelle-control --json list windows s
expect --json --json-output -- corvanelle-control click --js
expect --json --json-output -- corvanelle-control --js
expect --no-remote -- corvanelle-control list apps --no
expect --json --json-output --no-remote --version --help -h -- corvanelle-control -
expect --help -- corvanelle-control click --h
expect --version -- corvanelle-control window --v
expect window -- corvanelle-control --json --no-remote win
expect --bash-zsh -- corvanelle-control Cl
# The host: its options, folders after the options that take one, files after those that take
# a file and for the socket path, nothing after a number; after "--" only files.
expect $(options_of_host -) -- corvanelle-control-stub -
expect $(options_of_host --rec) -- corvanelle-control-stub --rec
expect $(options_of_host --q) -- corvanelle-control-stub --log x --q
expect recordings -- corvanelle-control-stub --replay ''
expect recordings -- corvanelle-control-stub --quiet --record r
expect notes.txt recordings shot.png -- corvanelle-control-stub --log ''
expect notes.txt recordings shot.png -- corvanelle-control-stub --quiet ''
expect -- corvanelle-control-stub --delay ''
expect notes.txt recordings shot.png -- corvanelle-control-stub -- --replay ''
[[ $(echo $host_options) == *"-h --help"* ]] || { echo "no options read from $host --help"; failures=1; }
if [[ $failures -ne 0 ]]; then
    echo "$failures completion cases failed"
    exit 1
fi
echo "completion (bash${zsh_file:+, zsh}${fish_file:+, fish}): all cases passed"
