#!/usr/bin/env bash
# Unpacks an archive that users install with `tar -xzf ARCHIVE -C PREFIX --strip-components=1`
# into a prefix whose folders all exist already, owned by another user with mode 775 (as
# Homebrew's /usr/local on an Intel Mac), once with libarchive's tar (macOS's own) and once with
# GNU tar: the archive holds no folder entry, every file arrives, and every folder keeps its
# owner and mode. Run as root, as installs into /usr/local are; otherwise the folders are the
# caller's and only their mode is checked.
# Usage: scripts/archive-check.sh ARCHIVE
set -euo pipefail
archive=$1
"$(dirname "$0")"/setup.sh libarchive-tools
work=$(mktemp -d /tmp/corvanelle-archive.XXXXXX)
trap 'rm -rf "$work"' EXIT

if tar -tzvf "$archive" | grep '^d'; then
    echo "$archive holds the folder entries above" >&2
    exit 1
fi
files=$(tar -tzf "$archive" | grep -v '/$' | cut -d/ -f2-)
owner=$(id -u):$(id -g)
[ "$(id -u)" -ne 0 ] || owner=4242:4242
folders() { (cd "$1" && find . -type d -printf '%p %U:%G %m\n' | sort); }
for tool in bsdtar tar; do
    prefix=$work/$tool
    for file in $files; do mkdir -p "$prefix/$(dirname "$file")"; done
    chown -R "$owner" "$prefix"
    chmod -R 775 "$prefix"
    before=$(folders "$prefix")
    "$tool" -xzf "$archive" -C "$prefix" --strip-components=1
    for file in $files; do
        [ -f "$prefix/$file" ] || { echo "$tool did not unpack $file" >&2; exit 1; }
    done
    if [ "$(folders "$prefix")" != "$before" ]; then
        diff <(echo "$before") <(folders "$prefix") >&2 || true
        echo "unpacking $archive with $tool changed the folders above" >&2
        exit 1
    fi
    echo "$tool: $(wc -w <<<"$files") files unpacked, $(wc -l <<<"$before") folders kept as $owner 775"
done
