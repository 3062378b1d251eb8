#!/usr/bin/env bash
# Builds the Debian package from the ci build, installs it, uses the installed programs and
# their manual page, and removes the package again. Needs root (dpkg -i).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh dpkg-dev file groff-base man-db
rm -f build/ci/corvanelle-control_*.deb
(cd build/ci && cpack -G DEB)
deb=$(ls build/ci/corvanelle-control_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
dpkg -i "$deb"

# The archive Mac users are told to make (cpack -G TGZ): here, the Linux one, with what the
# install rules hold.
rm -f build/ci/corvanelle-control-*.tar.gz
(cd build/ci && cpack -G TGZ >/dev/null)
archive=$(ls build/ci/corvanelle-control-*.tar.gz)
listing=$(tar -tzf "$archive")
for entry in bin/corvanelle-control bin/corvanelle-control-stub \
    share/man/man1/corvanelle-control.1 share/man/man1/corvanelle-control-stub.1; do
    grep -q "^[^/]*/$entry\$" <<<"$listing" || { echo "$archive lacks $entry" >&2; exit 1; }
done
echo "$archive holds the programs and their manual pages"

dir=$(mktemp -d /tmp/corvanelle-package.XXXXXX)
host_pid=
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$dir"
    dpkg -r corvanelle-control >/dev/null
}
trap cleanup EXIT

version=$(/usr/bin/corvanelle-control --json --version)
echo "$version"
[ "$version" = '{"data":{"name":"corvanelle-control","protocolVersion":1,"version":"1.1.0"},"success":true}' ]

mkfifo "$dir/ready"
/usr/bin/corvanelle-control-stub --quiet --ready-fd 3 "$dir/s" 2>/dev/null 3>"$dir/ready" &
host_pid=$!
read -r _ <"$dir/ready"
reply=$(CORVANELLE_CONTROL_SOCKET="$dir/s" /usr/bin/corvanelle-control --json list windows)
echo "$reply"
case $reply in *'"arguments":["list"],"command":"window"'*'"success":true}') ;; *) exit 1 ;; esac

man -w corvanelle-control
man -P cat corvanelle-control | grep -q 'CORVANELLE_CONTROL_SOCKET'
echo "package installed, used and removed"
