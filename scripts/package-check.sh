#!/usr/bin/env bash
# Builds the Debian package by itself (the release preset: the programs alone, no tests),
# checks it with lintian, installs it, uses the installed programs and their manual pages,
# makes the CPack archive that Mac users are told to make, and removes the package again.
# Needs root (dpkg -i).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh dpkg-dev file groff-base man-db lintian
echo "== Building the release preset"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
rm -f build/release/corvanelle-control_*.deb build/release/corvanelle-control-*.tar.gz
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls build/release/corvanelle-control_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'

# Errors and warnings fail; informational tags are shown. (There are none today.)
echo "== lintian"
lintian --info --display-info --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "lintian found errors or warnings" >&2; exit 1; }
echo "lintian: no errors, no warnings"

dpkg -i "$deb" >/dev/null
dir=$(mktemp -d /tmp/corvanelle-package.XXXXXX)
host_pid=
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$dir"
    dpkg -r corvanelle-control >/dev/null
}
trap cleanup EXIT

listing=$(dpkg -L corvanelle-control)
for file in /usr/bin/corvanelle-control /usr/bin/corvanelle-control-stub \
    /usr/share/doc/corvanelle-control/copyright /usr/share/doc/corvanelle-control/changelog.gz \
    /usr/share/man/man1/corvanelle-control.1.gz /usr/share/man/man1/corvanelle-control-stub.1.gz \
    /usr/share/man/man7/corvanelle-control-protocol.7.gz \
    /usr/share/bash-completion/completions/corvanelle-control \
    /usr/share/zsh/site-functions/_corvanelle-control \
    /usr/share/fish/vendor_completions.d/corvanelle-control.fish \
    /usr/share/corvanelle-control/error-envelope.schema.json \
    /usr/share/corvanelle-control/version.schema.json \
    /usr/share/corvanelle-control/request.schema.json; do
    grep -qx "$file" <<<"$listing" || { echo "the package lacks $file" >&2; exit 1; }
done
echo "the package holds the programs, licence, changelog, three manual pages, completions, schemas"

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

man -w corvanelle-control corvanelle-control-protocol >/dev/null
man -P cat corvanelle-control 2>/dev/null | grep -q 'CORVANELLE_CONTROL_SOCKET'
man -P cat 7 corvanelle-control-protocol 2>/dev/null | grep -q 'ERROR ENVELOPE'

# The archive Mac users are told to make (cpack -G TGZ): here, the Linux one, with what the
# install rules hold.
(cd build/release && cpack -G TGZ >/dev/null)
archive=$(ls build/release/corvanelle-control-*.tar.gz)
contents=$(tar -tzf "$archive")
for entry in bin/corvanelle-control bin/corvanelle-control-stub \
    share/man/man1/corvanelle-control.1 share/man/man7/corvanelle-control-protocol.7 \
    share/corvanelle-control/request.schema.json; do
    grep -q "^[^/]*/$entry\$" <<<"$contents" || { echo "$archive lacks $entry" >&2; exit 1; }
done
echo "$archive holds the programs, their manual pages and the schemas"
echo "package built, checked, installed, used and removed"
