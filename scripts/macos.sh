#!/usr/bin/env bash
# Builds both programs (and the test programs) for macOS on x86-64 and on arm64 with Zig's
# cross toolchain, checks what was built, and makes the universal archive that Mac users
# install: build/macos-universal/corvanelle-control-<version>-macos-universal.tar.gz and its
# .sha256. The archive is laid out like the install tree; two runs from the same commit give
# the same bytes. Installs what it needs: Debian packages through setup.sh, Zig through
# fetch-zig.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's LLVM reads and joins Mach-O files (llvm-otool, llvm-readobj, llvm-lipo); GoogleTest's
# source is built for macOS too.
scripts/setup.sh llvm-14 file googletest python3
CORVANELLE_ZIG=$(scripts/fetch-zig.sh)/zig
export CORVANELLE_ZIG

jobs=$(nproc)
for arch in x86_64 arm64; do
    echo "== macOS $arch: both programs and the test programs, warnings as errors"
    cmake --preset "macos-$arch" -DCORVANELLE_ZIG="$CORVANELLE_ZIG" >/dev/null
    cmake --build --preset "macos-$arch" -j "$jobs"
    # Only Zig's Darwin headers, Boost's and GoogleTest's, and ours: no header of the Linux
    # system took part (the compiler's dependency files name every header it read).
    if grep -l -E '(^| )/usr/(local/)?include/' -r --include='*.o.d' "build/macos-$arch"; then
        echo "the files above were compiled with headers from /usr/include" >&2
        exit 1
    fi
done

minimum=$(sed -n 's/^CMAKE_OSX_DEPLOYMENT_TARGET:[A-Z]*=//p' build/macos-x86_64/CMakeCache.txt)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/macos-x86_64/CMakeCache.txt)
# What the README tells Mac users is what the load commands say.
grep -q "macOS $minimum or newer" README.md ||
    { echo "README.md does not say the programs need macOS $minimum or newer" >&2; exit 1; }

echo "== Checking what was built"
for arch in x86_64 arm64; do
    bash scripts/macos-check.sh "$minimum" "$arch" build/macos-$arch/control-cli/corvanelle-control \
        build/macos-$arch/control-cli/corvanelle-control-stub \
        build/macos-$arch/control-cli/tests/corvanelle_tests \
        build/macos-$arch/control-cli/tests/corvanelle_bsd_socket_tests
done

echo "== The universal archive"
# The rest of the install tree (manual pages, completions, schemas, licence) is the same on
# every system: installed from a native build, whose programs are then replaced by the
# universal ones.
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" >/dev/null
out=build/macos-universal
name=corvanelle-control-$version-macos-universal
rm -rf "$out"
mkdir -p "$out"
# Installed for /usr/local, the prefix the README names first: the manual pages name the folders
# of that prefix. Staged with DESTDIR, then moved under the archive's one top folder.
DESTDIR="$PWD/$out/stage" cmake --install build/release --prefix /usr/local >/dev/null
mv "$out/stage/usr/local" "$out/$name"
rm -rf "$out/stage"
for program in corvanelle-control corvanelle-control-stub; do
    rm "$out/$name/bin/$program"
    llvm-lipo-14 -create build/macos-x86_64/control-cli/$program \
        build/macos-arm64/control-cli/$program -output "$out/$name/bin/$program"
    chmod 755 "$out/$name/bin/$program"
done
bash scripts/macos-check.sh "$minimum" universal "$out/$name"/bin/*

# Byte for byte the same from the same commit: names sorted, times from the commit, no owner,
# no time stamp in the gzip header.
epoch=$(git log -1 --format=%ct)
tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    --mode='u+rwX,go+rX,go-w' -C "$out" -cf - "$name" | gzip -9 -n >"$out/$name.tar.gz"
(cd "$out" && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")
contents=$(tar -tzf "$out/$name.tar.gz")
for entry in bin/corvanelle-control bin/corvanelle-control-stub \
    share/man/man1/corvanelle-control.1 share/man/man1/corvanelle-control-stub.1 \
    share/man/man7/corvanelle-control-protocol.7 \
    share/bash-completion/completions/corvanelle-control \
    share/zsh/site-functions/_corvanelle-control \
    share/fish/vendor_completions.d/corvanelle-control.fish \
    share/corvanelle-control/request.schema.json share/corvanelle-control/error-envelope.schema.json \
    share/corvanelle-control/version.schema.json share/doc/corvanelle-control/LICENSE; do
    grep -qx "$name/$entry" <<<"$contents" || { echo "$name.tar.gz lacks $entry" >&2; exit 1; }
done
tar -tzvf "$out/$name.tar.gz" | grep -v '/$'
echo "$(stat -c %s "$out/$name.tar.gz") bytes, sha256 $(cut -d' ' -f1 "$out/$name.tar.gz.sha256")"
echo "$out/$name.tar.gz"
