#!/usr/bin/env bash
# Asks each shell's completion of corvanelle-control for a table of partial command lines:
# bash's driven the way bash does, through COMP_WORDS and COMP_CWORD; zsh's with compadd and
# _files standing in for the completion system's (each filtering by the typed prefix, as zsh
# does); fish's through fish itself, `complete -C`. The rows run in a folder holding two files,
# which the arguments of a command complete to.
# Usage: completion_test.sh BASH_FILE [ZSH_FILE [FISH_FILE]]   (an empty name skips that shell)
set -u
bash_file=$1 zsh_file=${2:-} fish_file=${3:-}
# shellcheck source=/dev/null
source "$bash_file"
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder" && touch shot.png notes.txt || exit 1
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
    _corvanelle_control
    sorted "${COMPREPLY[@]}"
}
complete_zsh() {
    zsh -f -c '
        file=$1; shift
        words=("$@"); CURRENT=$#words; PREFIX=$words[-1]
        got=()
        compadd() { [[ $1 == -- ]] && shift; local w; for w; do [[ $w == $PREFIX* ]] && got+=($w); done }
        _files() { got+=($PREFIX*(N)) }
        complete() { source $file }
        complete
        (( $#got )) && print -rl -- $got' zsh "$zsh_file" "$@" | LC_ALL=C sort | tr '\n' ' '
}
complete_fish() {
    local line="$*"
    fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$fish_file" "$line" |
        cut -f1 | LC_ALL=C sort | tr '\n' ' '
}
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
expect notes.txt shot.png -- corvanelle-control click ''
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
if [[ $failures -ne 0 ]]; then
    echo "$failures completion cases failed"
    exit 1
fi
echo "completion (bash${zsh_file:+, zsh}${fish_file:+, fish}): all cases passed"
