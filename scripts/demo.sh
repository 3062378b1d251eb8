#!/usr/bin/env bash
# Builds the client and the stand-in desktop host, then forwards a few real commands through
# the client to the host and shows the replies and exit statuses.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== Checking the Debian packages the build needs (installing what is missing)"
scripts/setup.sh
echo "== Building the release build: the programs alone, no tests"
cmake --workflow --preset release >/dev/null
bin=build/release/control-cli

dir=$(mktemp -d /tmp/corvanelle-demo.XXXXXX)
host_pid=
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT

# The host writes one line to descriptor 3 once it listens: wait for that, not for the file.
mkfifo "$dir/ready"
echo "== Starting the stand-in desktop host on $dir/control.sock"
"$bin/corvanelle-control-stub" --log "$dir/requests.log" --ready-fd 3 "$dir/control.sock" \
    2>/dev/null 3>"$dir/ready" &
host_pid=$!
read -r _ <"$dir/ready"
echo "== Forwarding commands through the client"
echo
export CORVANELLE_CONTROL_SOCKET="$dir/control.sock"

show() {
    echo "\$ corvanelle-control $*"
    set +e
    "$bin/corvanelle-control" "$@" 2>&1  # the error envelope, if any, in its place
    local status=$?
    set -e
    echo "(exit status $status)"
    echo
}

show --version
show list windows
show --json bridge status
show click --x 10 --y 20 --json-output
show lsit windows
unset CORVANELLE_CONTROL_SOCKET
show --json screen
export CORVANELLE_CONTROL_SOCKET="$dir/control.sock"

echo "The stand-in host received these requests:"
cat "$dir/requests.log"
