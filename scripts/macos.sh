#!/usr/bin/env bash
# Builds both programs (and the test programs) for macOS on x86-64 and on arm64 with Zig's
# cross toolchain, checks what was built (and that the checker refuses a few bad files), and
# makes the universal archive that Mac users install:
# build/macos-universal/corvanelle-control-<version>-macos-universal.tar.gz and its .sha256.
# The archive holds the install tree's files under one folder, no folder entries, and unpacks
# over existing folders without changing them; two runs from the same commit give the same
# bytes. Installs what it needs: Debian packages through setup.sh, Zig through fetch-zig.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's LLVM reads and joins Mach-O files (llvm-otool, llvm-readobj, llvm-lipo); GoogleTest's
# source is built for macOS too.
scripts/setup.sh llvm-14 file googletest python3
CORVANELLE_ZIG=$(scripts/fetch-zig.sh)/zig
export CORVANELLE_ZIG

for arch in x86_64 arm64; do
    echo "== macOS $arch: both programs and the test programs, warnings as errors"
    cmake --workflow --preset "macos-$arch" >/dev/null
    # Only Zig's Darwin headers, Boost's and GoogleTest's, and ours: no header of the Linux
    # system took part (the compiler's dependency files name every header it read).
    if grep -l -E '(^| )/usr/(local/)?include/' -r --include='*.o.d' "build/macos-$arch"; then
        echo "the files above were compiled with headers from /usr/include" >&2
        exit 1
    fi
done

minimum=$(sed -n 's/^CMAKE_OSX_DEPLOYMENT_TARGET:[A-Z]*=//p' build/macos-x86_64/CMakeCache.txt)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/macos-x86_64/CMakeCache.txt)

echo "== Checking what was built"
for arch in x86_64 arm64; do
    bash scripts/macos-check.sh "$minimum" "$arch" build/macos-$arch/control-cli/corvanelle-control \
        build/macos-$arch/control-cli/corvanelle-control-stub \
        build/macos-$arch/control-cli/tests/corvanelle_tests \
        build/macos-$arch/control-cli/tests/corvanelle_bsd_socket_tests
done

echo "== The checker refuses bad files: a library besides libSystem, another minimum, a changed page"
bad=build/macos-bad
rm -rf "$bad"
mkdir -p "$bad"
echo 'int extra(void) { return 0; }' >"$bad/extra.c"
echo 'int extra(void); int main(void) { return extra(); }' >"$bad/main.c"
zig_cc() { "$CORVANELLE_ZIG" cc -target "$@"; }
zig_cc "x86_64-macos.$minimum" -shared -o "$bad/libextra.dylib" "$bad/extra.c"
zig_cc "x86_64-macos.$minimum" -o "$bad/extra-library" "$bad/main.c" -L"$bad" -lextra
zig_cc x86_64-macos.15.0 -o "$bad/other-minimum" "$bad/main.c" "$bad/extra.c"
zig_cc "aarch64-macos.$minimum" -o "$bad/changed-page" "$bad/main.c" "$bad/extra.c"
# One byte of the last page that the signature hashes, just before the signature itself.
signature=$(llvm-otool-14 -l "$bad/changed-page" | awk '/LC_CODE_SIGNATURE/ { s = 1 } s && /dataoff/ { print $2; exit }')
printf X | dd of="$bad/changed-page" bs=1 seek=$((signature - 1)) conv=notrunc status=none
refused() { # ARCH FILE REASON
    if bash scripts/macos-check.sh "$minimum" "$1" "$2" 2>"$bad/why"; then
        echo "scripts/macos-check.sh accepted $2" >&2
        exit 1
    fi
    grep -q "$3" "$bad/why" || { echo "$2 was refused for another reason: $(cat "$bad/why")" >&2; exit 1; }
    echo "refused $2: $3"
}
refused x86_64 "$bad/extra-library" "loads more than libSystem"
refused x86_64 "$bad/other-minimum" "minimum macOS is not $minimum"
refused arm64 "$bad/changed-page" "does not match its signed hash"

echo "== The universal archive"
# The rest of the install tree (manual pages, completions, schemas, licence) is the same on
# every system: installed from a native build, whose programs are then replaced by the
# universal ones.
cmake --workflow --preset release >/dev/null
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

# Files only, no folder entry: unpacked over folders that exist (/usr/local, /opt/homebrew,
# ~/.local), tar then makes the missing ones and leaves the others' owner and mode alone.
# Byte for byte the same from the same commit: names sorted, times from the commit, no owner,
# no time stamp in the gzip header.
epoch=$(git log -1 --format=%ct)
(cd "$out" && find "$name" -type f | LC_ALL=C sort) >"$out/files"
tar --no-recursion --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    --mode='u+rwX,go+rX,go-w' -C "$out" -T "$out/files" -cf - | gzip -9 -n >"$out/$name.tar.gz"
rm "$out/files"
(cd "$out" && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")
contents=$(tar -tzf "$out/$name.tar.gz")
for entry in bin/corvanelle-control bin/corvanelle-control-stub \
    share/man/man1/corvanelle-control.1 share/man/man1/corvanelle-control-stub.1 \
    share/man/man7/corvanelle-control-protocol.7 \
    share/bash-completion/completions/corvanelle-control \
    share/zsh/site-functions/_corvanelle-control \
    share/fish/vendor_completions.d/corvanelle-control.fish \
    share/bash-completion/completions/corvanelle-control-stub \
    share/zsh/site-functions/_corvanelle-control-stub \
    share/fish/vendor_completions.d/corvanelle-control-stub.fish \
    share/corvanelle-control/request.schema.json share/corvanelle-control/error-envelope.schema.json \
    share/corvanelle-control/version.schema.json share/doc/corvanelle-control/LICENSE; do
    grep -qx "$name/$entry" <<<"$contents" || { echo "$name.tar.gz lacks $entry" >&2; exit 1; }
done
# Lintian's override is the Debian package's alone: a Mac has no lintian.
if grep lintian <<<"$contents"; then echo "$name.tar.gz holds a lintian override" >&2; exit 1; fi
tar -tzvf "$out/$name.tar.gz"
bash scripts/archive-check.sh "$out/$name.tar.gz"
echo "$(stat -c %s "$out/$name.tar.gz") bytes, sha256 $(cut -d' ' -f1 "$out/$name.tar.gz.sha256")"
echo "$out/$name.tar.gz"
