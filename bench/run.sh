#!/usr/bin/env bash
# Times the client end to end beside the floor client and jq, side by side in one run, and
# prints medians, ratios, peak memory and instruction counts per input byte.
# Usage: bench/run.sh [rounds]   (3 rounds by default: 15 runs of each large case, 300 small)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}

scripts/setup.sh hyperfine jq valgrind time python3 libbenchmark-dev
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" >/dev/null
bin=build/bench/control-cli
floor=build/bench/bench/corvanelle-floor
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

client() { echo "env CORVANELLE_CONTROL_SOCKET=$work/$1.sock $bin/corvanelle-control see"; }
floor_client() { echo "env CORVANELLE_CONTROL_SOCKET=$work/$1.sock $floor"; }

# A fast path must not change a byte: the client's output against an independent reference.
for p in "${payloads[@]}" "${dense[@]}"; do
    eval "$(client "$p")" > "$work/$p.out" || true  # the dense shapes are not "success"
    python3 bench/reference.py "$work/payloads/$p.json" > "$work/$p.expected"
    if ! cmp -s "$work/$p.out" "$work/$p.expected"; then
        echo "FAIL: the client's output for $p differs from the reference" >&2
        cmp "$work/$p.out" "$work/$p.expected" >&2 || true
        exit 1
    fi
done
echo "output checked: byte-identical to the reference for ${payloads[*]} ${dense[*]}"

# Rounds alternate the commands, so slow spells of a shared machine hit all of them alike.
for round in $(seq "$rounds"); do
    for p in ui-tree screenshot numbers; do
        hyperfine -N --warmup 2 --runs 5 --output=null --export-json "$work/$p.$round.json" \
            -n client "$(client "$p")" -n floor "$(floor_client "$p")" \
            -n jq "jq -S . $work/payloads/$p.json" >/dev/null
    done
    hyperfine -N --warmup 10 --runs 100 --output=null --export-json "$work/small.$round.json" \
        -n client "$(client small)" -n floor "$(floor_client small)" >/dev/null
done

for p in "${payloads[@]}" "${dense[@]}"; do
    export CORVANELLE_CONTROL_SOCKET=$work/$p.sock
    /usr/bin/time -f %M -o "$work/$p.rss" "$bin/corvanelle-control" see >/dev/null || true
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin/corvanelle-control" see \
        >/dev/null 2>"$work/$p.cg" || true
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$floor" >/dev/null 2>"$work/$p.floor.cg" || true
    unset CORVANELLE_CONTROL_SOCKET
done

python3 bench/report.py "$work" "$rounds"
