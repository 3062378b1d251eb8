#!/usr/bin/env bash
# Checks macOS executables built on Linux, with Debian's tools, since none can run here: each is
# a Mach-O executable of the architecture expected (x86_64, arm64, or universal: both), its load
# commands declare platform macOS with the minimum version given, it loads no library but
# libSystem, and its arm64 code carries a valid ad-hoc signature (Apple silicon runs no unsigned
# code): a CodeDirectory flagged ad hoc whose page hashes match the file.
# Usage: scripts/macos-check.sh MINIMUM ARCH FILE...    (ARCH: x86_64, arm64 or universal)
set -euo pipefail

minimum=$1 arch=$2
shift 2
readobj=llvm-readobj-14 otool=llvm-otool-14 lipo=llvm-lipo-14
work=$(mktemp -d /tmp/corvanelle-macos-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL $*" >&2
    exit 1
}

# The code signature of one thin arm64 file: the SuperBlob that LC_CODE_SIGNATURE points at,
# its CodeDirectory's flags, and every page's SHA-256 against the one recorded.
check_signature() {
    python3 - "$1" <<'EOF'
import hashlib, struct, sys

path = sys.argv[1]
data = open(path, "rb").read()
magic, _, _, _, ncmds = struct.unpack_from("<5I", data, 0)
if magic != 0xFEEDFACF:
    sys.exit(f"{path}: not a thin 64-bit Mach-O file")
offset, signature = 32, None
for _ in range(ncmds):
    cmd, size = struct.unpack_from("<2I", data, offset)
    if cmd == 0x1D:  # LC_CODE_SIGNATURE
        signature = struct.unpack_from("<2I", data, offset + 8)
    offset += size
if signature is None:
    sys.exit(f"{path}: no LC_CODE_SIGNATURE: unsigned")
dataoff, datasize = signature
magic, _, count = struct.unpack_from(">3I", data, dataoff)
if magic != 0xFADE0CC0:
    sys.exit(f"{path}: the signature is no embedded-signature SuperBlob")
for index in range(count):
    slot, blob = struct.unpack_from(">2I", data, dataoff + 12 + 8 * index)
    if slot != 0:  # the CodeDirectory
        continue
    cd = dataoff + blob
    (magic, _, _, flags, hash_offset, _, _, code_slots, code_limit, hash_size, hash_type, _,
     page_shift) = struct.unpack_from(">9I4B", data, cd)
    if magic != 0xFADE0C02:
        sys.exit(f"{path}: slot 0 holds no CodeDirectory")
    if not flags & 0x2:
        sys.exit(f"{path}: the CodeDirectory is not flagged ad hoc (flags {flags:#x})")
    if hash_type != 2 or hash_size != 32:
        sys.exit(f"{path}: page hashes are not SHA-256 (type {hash_type})")
    page = 1 << page_shift
    for i in range(code_slots):
        chunk = data[i * page:min((i + 1) * page, code_limit)]
        recorded = data[cd + hash_offset + 32 * i:cd + hash_offset + 32 * (i + 1)]
        if hashlib.sha256(chunk).digest() != recorded:
            sys.exit(f"{path}: page {i} does not match its signed hash")
    print(f"ad hoc, {code_slots} page hashes match (code limit {code_limit})")
    break
else:
    sys.exit(f"{path}: the signature holds no CodeDirectory")
EOF
}

check_thin() {
    local file=$1 arch=$2 label=$3 description version libraries
    description=$(file -b "$file")
    case $arch in
    x86_64) [[ $description == "Mach-O 64-bit x86_64 executable"* ]] ;;
    arm64) [[ $description == "Mach-O 64-bit arm64 executable"* ]] ;;
    esac || fail "$label: expected a Mach-O $arch executable, found: $description"

    version=$("$readobj" --macho-version-min "$file")
    grep -q 'Cmd: LC_BUILD_VERSION' <<<"$version" || fail "$label: no LC_BUILD_VERSION"
    grep -q 'Platform: macos$' <<<"$version" || fail "$label: platform is not macOS: $version"
    grep -q "  Version: $minimum\$" <<<"$version" ||
        fail "$label: minimum macOS is not $minimum: $(grep ' Version:' <<<"$version")"

    libraries=$("$otool" -L "$file" | tail -n +2 | awk '{ print $1 }')
    [ "$libraries" = /usr/lib/libSystem.B.dylib ] ||
        fail "$label: loads more than libSystem: $(echo $libraries)"
    ! "$otool" -l "$file" | grep -q LC_RPATH || fail "$label: carries a run-time search path"

    local signed="unsigned"
    if [ "$arch" = arm64 ]; then
        signed=$(check_signature "$file") || fail "$label: no valid ad-hoc signature"
    elif "$otool" -l "$file" | grep -q LC_CODE_SIGNATURE; then
        signed="signed"
    fi
    echo "ok $label: Mach-O $arch executable, macOS $minimum or newer, loads only libSystem, $signed"
}

for file in "$@"; do
    [ -f "$file" ] || fail "$file is missing"
    if [ "$arch" = universal ]; then
        archs=$("$lipo" -archs "$file") || fail "$file: not a Mach-O file"
        archs=$(echo $archs)
        [ "$archs" = "x86_64 arm64" ] || fail "$file: expected x86_64 and arm64, found: $archs"
        for slice in x86_64 arm64; do
            "$lipo" "$file" -thin "$slice" -output "$work/$slice"
            check_thin "$work/$slice" "$slice" "$file ($slice part)"
        done
    else
        check_thin "$file" "$arch" "$file"
    fi
done
