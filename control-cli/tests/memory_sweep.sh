#!/usr/bin/env bash
# The client under an address-space limit raised in 1 MB steps, from the lowest at which it
# loads at all (where --version works) to the first that is enough: a 4 MiB reply, a dense 3 MB
# reply and a 1.4 MB request each end with status 0 and the reply, or status 1 and one envelope
# line saying what lacked memory, never by a signal. A reply length above the limit is refused
# as such at every step: no memory is asked for before the length is checked.
# Usage: memory_sweep.sh CLIENT STUB
set -euo pipefail
client=$1 stub=$2
work=$(mktemp -d /tmp/corvanelle-memory.XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT

mkdir "$work/replies"
x=$(head -c 4194270 /dev/zero | tr '\0' x)
printf '{"success":true,"data":"%s"}' "$x" >"$work/replies/see.json"
printf '{"success":true,"data":[0%s]}' "$(yes ,0 | head -n 1500000 | tr -d '\n')" >"$work/replies/screen.json"
printf '\377\377\377\377' >"$work/too-long"
for host in "--replies $work/replies $work/s" "--raw $work/too-long $work/raw"; do
    mkfifo "$work/ready"
    # shellcheck disable=SC2086
    "$stub" --quiet --ready-fd 3 $host 3>"$work/ready" 2>/dev/null &
    pids+=($!)
    read -r _ <"$work/ready"
    rm "$work/ready"
done
chunk=${x:0:100000}
request=()
for _ in $(seq 14); do request+=("$chunk"); done
envelope='^\{"data":null,"debugLogs":\[\],"error":\{"code":"CLIENT_FAILURE","details":null,"message":"MESSAGE","recommendedFix":"[^"]*","retryable":false\},"requestId":"client","success":false\}$'

sweep() { # SOCKET MESSAGE STEPS ARGUMENT...: MESSAGE is what each failure must say; with
    # STEPS 0 a success must come within 200 MB, otherwise failures are all there is for STEPS
    local socket=$1 message=$2 steps=$3 mb=1 last status
    shift 3
    until { prlimit --as=$((mb * 1000000)) "$client" --version "$@" >/dev/null 2>&1; } 2>/dev/null; do
        mb=$((mb + 1))
    done
    last=$((mb + (steps > 0 ? steps : 200)))
    for (( ; mb <= last; mb++)); do
        status=0
        CORVANELLE_CONTROL_SOCKET=$socket prlimit --as=$((mb * 1000000)) "$client" "$@" \
            >"$work/out" 2>"$work/err" || status=$?
        if [ $steps -eq 0 ] && [ $status -eq 0 ] && [ -s "$work/out" ] && [ ! -s "$work/err" ]; then
            echo "$1 …: status 0 from $mb MB"
            return 0
        fi
        if [ $status -ne 1 ] || [ -s "$work/out" ] || [ "$(wc -l <"$work/err")" -ne 1 ] ||
            ! grep -qE "${envelope/MESSAGE/$message}" "$work/err"; then
            echo "$1 … under $mb MB: status $status, $(head -c 300 "$work/err")" >&2
            exit 1
        fi
    done
    [ $steps -gt 0 ] || { echo "$1 …: no success up to $last MB" >&2; exit 1; }
    echo "$1 …: \"$message\" up to $last MB"
}
reply='not enough memory to (read the reply|write the output)'
sweep "$work/s" "$reply" 0 see
sweep "$work/s" "$reply" 0 screen
sweep "$work/s" "${reply/(/(make the request|}" 0 type "${request[@]}"
sweep "$work/raw" 'control response frame size is invalid' 20 see
