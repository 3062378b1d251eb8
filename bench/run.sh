#!/usr/bin/env bash
# Times the client end to end beside the floor client, the re-indenter and jq, side by side in
# one run, and prints medians, ratios, peak memory and instruction counts per input byte, and
# whether each target is met.
# Usage: bench/run.sh [rounds]   (3 rounds by default: 15 runs of each large case, 300 small)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}

scripts/setup.sh hyperfine jq valgrind time python3 libbenchmark-dev
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
bin=build/bench/control-cli
floor=build/bench/bench/corvanelle-floor
reindent=build/bench/bench/corvanelle-reindent
floor_server=build/bench/bench/corvanelle-floor-server

work=$(mktemp -d /tmp/corvanelle-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

python3 bench/generate.py "$work/payloads" --dense >/dev/null
payloads=(ui-tree screenshot numbers small)
dense=(dense-empty-arrays dense-zeros dense-empty-objects dense-repeated-key dense-distinct-keys
       dense-deep-nesting)
# Every reply comes from the floor server, which answers at once, so that what is measured is
# the client's own work; each says when it listens (one line), and nothing polls for it.
mkfifo "$work/ready"
for p in "${payloads[@]}" "${dense[@]}"; do
    "$floor_server" "$work/$p.sock" "$work/payloads/$p.json" >"$work/ready" &
    pids+=($!)
    read -r _ <"$work/ready"
done

# Each case's socket is in the environment of the whole timing run, so that no command pays for
# an extra program that sets it.
client="$bin/corvanelle-control see"

# A fast path must not change a byte: the client's output against an independent reference.
for p in "${payloads[@]}" "${dense[@]}"; do
    # the dense shapes are not "success"
    CORVANELLE_CONTROL_SOCKET=$work/$p.sock $client > "$work/$p.out" || true
    python3 bench/reference.py "$work/payloads/$p.json" > "$work/$p.expected"
    if ! cmp -s "$work/$p.out" "$work/$p.expected"; then
        echo "FAIL: the client's output for $p differs from the reference" >&2
        cmp "$work/$p.out" "$work/$p.expected" >&2 || true
        exit 1
    fi
done
echo "output checked: byte-identical to the reference for ${payloads[*]} ${dense[*]}"
# The anchor must do the whole job too: its output, read back, is the reply.
for p in ui-tree screenshot numbers; do
    CORVANELLE_CONTROL_SOCKET=$work/$p.sock "$reindent" > "$work/$p.reindented"
    python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])) != json.load(open(sys.argv[2])))' \
        "$work/$p.reindented" "$work/payloads/$p.json" ||
        { echo "FAIL: the re-indenter's output for $p is not the reply" >&2; exit 1; }
done

# Rounds alternate the commands, so slow spells of a shared machine hit all of them alike.
for round in $(seq "$rounds"); do
    for p in ui-tree screenshot numbers; do
        CORVANELLE_CONTROL_SOCKET=$work/$p.sock hyperfine -N --warmup 2 --runs 5 --output=null \
            --export-json "$work/$p.$round.json" -n client "$client" -n floor "$floor" \
            -n reindent "$reindent" -n jq "jq -S . $work/payloads/$p.json" >/dev/null
    done
    CORVANELLE_CONTROL_SOCKET=$work/small.sock hyperfine -N --warmup 10 --runs 100 \
        --output=null --export-json "$work/small.$round.json" -n client "$client" \
        -n floor "$floor" >/dev/null
done

for p in "${payloads[@]}" "${dense[@]}"; do
    export CORVANELLE_CONTROL_SOCKET=$work/$p.sock
    for _ in 1 2 3 4 5; do
        /usr/bin/time -a -f %M -o "$work/$p.rss" $client >/dev/null || true
        /usr/bin/time -a -f %M -o "$work/$p.floor.rss" "$floor" >/dev/null || true
    done
    valgrind --tool=callgrind --callgrind-out-file=/dev/null $client >/dev/null 2>"$work/$p.cg" || true
    for anchor in floor reindent; do
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "${!anchor}" >/dev/null \
            2>"$work/$p.$anchor.cg" || true
    done
    unset CORVANELLE_CONTROL_SOCKET
done

python3 bench/report.py "$work" "$rounds"
