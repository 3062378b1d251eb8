#!/usr/bin/env bash
# Drives the bash completion of corvanelle-control the way bash does, through COMP_WORDS and
# COMP_CWORD, for a table of partial command lines. Usage: completion_test.sh COMPLETION_FILE
set -u
# shellcheck source=/dev/null
source "$1"
failures=0
# expect WORDS... -- the command line, whose last word is the one being completed
expect() {
    local expected=()
    while [[ $1 != -- ]]; do expected+=("$1"); shift; done
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _corvanelle_control
    if [[ "${COMPREPLY[*]}" != "${expected[*]}" ]]; then
        echo "completing '$*': expected '${expected[*]}', got '${COMPREPLY[*]}'"
        failures=$((failures + 1))
    fi
}
expect list -- corvanelle-control li
expect click clipboard clean -- corvanelle-control cl
expect screen see set-value scroll space -- corvanelle-control s
expect completions -- corvanelle-control comp
expect bridge permissions screen image capture see verify click type set-value action press \
    scroll paste drag move window menu menubar app dock dialog browser space clipboard clean \
    tools learn completions list -- corvanelle-control ''
expect apps applications -- corvanelle-control list ap
expect windows -- corvanelle-control --json list w
expect displays -- corvanelle-control list --no-remote d
expect -- corvanelle-control list windows w
expect -- corvanelle-control click ''
expect --json --json-output -- corvanelle-control click --js
expect --json --json-output -- corvanelle-control --js
expect --no-remote -- corvanelle-control list apps --no
expect --json --json-output --no-remote --version --help -h -- corvanelle-control -
expect --help -- corvanelle-control click --h
expect --version -- corvanelle-control window --v
expect window -- corvanelle-control --json --no-remote win
expect -- corvanelle-control Cl
if [[ $failures -ne 0 ]]; then
    echo "$failures completion cases failed"
    exit 1
fi
echo "bash completion: all cases passed"
