#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, ASan + UBSan) and runs each for a bounded time.
# Any crash, sanitizer report, leak or broken check fails the run; the input that caused it
# is left in build/fuzz/findings/.
# Usage: fuzz/run.sh [seconds per target, default 60] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reader frame command_line envelope host)

scripts/setup.sh clang-14 libclang-rt-14-dev
cmake --workflow --preset fuzz >/dev/null

suite=control-cli/tests/data/json-test-suite/test_parsing
findings=build/fuzz/findings
mkdir -p "$findings"
for target in "${targets[@]}"; do
    case $target in
        reader) max_len=65536 ;;
        # Frames up to the 4194304-byte limit and beyond come from short descriptions of a
        # length and a repeated body (expand.hpp), so the inputs themselves stay small.
        frame | host) max_len=65540 ;;
        *) max_len=4096 ;;
    esac
    # A scratch corpus: the committed seeds stay as they are, new inputs go here.
    work=build/fuzz/corpus/$target
    mkdir -p "$work"
    seeds=(fuzz/corpus/$target)
    options=()
    if [ -f "fuzz/$target.dict" ]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    if [ "$target" = reader ]; then
        seeds+=("$suite")
    fi
    echo "== fuzz_$target for ${seconds}s"
    build/fuzz/fuzz/fuzz_"$target" "$work" "${seeds[@]}" "${options[@]}" \
        -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$findings/$target-" -print_final_stats=1 2>&1 |
        grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|Done|==[0-9]+==ERROR|SUMMARY|stat::number_of_executed_units|stat::peak_rss_mb)|INFO: Loaded' || true
    if ls "$findings/$target-"* >/dev/null 2>&1; then
        echo "fuzz_$target found a problem:" "$findings/$target-"* >&2
        exit 1
    fi
done
echo "fuzzing found nothing"
