#!/usr/bin/env bash
# Builds the Debian package twice, from two fresh copies of the commit at two different paths,
# and requires the two .deb files to be identical; checks it with lintian; installs it and uses
# what a user meets: the programs against the installed host, the manual pages and every path
# their FILES and SCHEMAS sections name, and the completions in bash, zsh and fish as each
# shell finds them; checks that an install under another prefix names its own paths; makes the
# CPack archive that Mac users are told to make, and unpacks it over existing folders. At the
# end the machine's corvanelle-control package is as it was: removed if there was none,
# reinstalled (repacked first) if there was. Also checks that cpack refuses to make the package
# without the tools that compute its Depends.
# Needs root (dpkg -i). The Debian packages it installs to check with stay installed.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

scripts/setup.sh dpkg-dev dpkg-repack file groff-base man-db lintian zsh fish bash-completion git
work=$(mktemp -d /tmp/corvanelle-package.XXXXXX)
host_pid=
installed=
previous=
restore() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    if [ -n "$previous" ]; then
        dpkg -i "$previous" >/dev/null && echo "put back the corvanelle-control package that was installed before"
    elif [ -n "$installed" ]; then
        dpkg --purge corvanelle-control >/dev/null
    fi
    rm -rf "$work"
}
trap restore EXIT

# The commit checked out, with the tracked files' changes if there are any (as `git stash`
# would record them, without touching the working tree): each copy holds only what git holds.
snapshot=$(git -C "$source" stash create)
snapshot=${snapshot:-$(git -C "$source" rev-parse HEAD)}
build_package() { # FOLDER: a fresh copy there, built with the release preset, packed
    mkdir -p "$1"
    git -C "$source" archive "$snapshot" | tar -x -C "$1"
    (cd "$1" && cmake --workflow --preset release >/dev/null && cd build/release && cpack -G DEB >/dev/null)
}
echo "== Building the package twice, at $work/one and $work/the-second-copy"
build_package "$work/one"
build_package "$work/the-second-copy"
release=$work/one/build/release
deb=$(ls "$release"/corvanelle-control_*.deb)
second=$(ls "$work"/the-second-copy/build/release/corvanelle-control_*.deb)
if ! cmp "$deb" "$second"; then
    sha256sum "$deb" "$second" >&2
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$second") >&2 || true
    echo "the two builds of one commit differ" >&2
    exit 1
fi
echo "two builds, identical bytes: $(sha256sum "$deb" | cut -c1-16)…"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
[ -n "$(dpkg-deb -f "$deb" Depends)" ] || { echo "the package depends on nothing" >&2; exit 1; }

# Without `file` or dpkg-shlibdeps, CPack would fail late or make a package with no Depends:
# cpack, run with a PATH that lacks one of them, must stop and name it.
cpack=$(command -v cpack)
for missing in file dpkg-shlibdeps; do
    rm -rf "$work/tools" && mkdir "$work/tools"
    for tool in file dpkg-shlibdeps; do
        [ "$tool" = "$missing" ] || ln -s "$(command -v "$tool")" "$work/tools/$tool"
    done
    if (cd "$release" && PATH=$work/tools "$cpack" -G DEB) >"$work/refused" 2>&1; then
        echo "cpack made the package without $missing" >&2
        exit 1
    fi
    # CMake wraps the message's lines: read as one line.
    refusal=$(tr -s ' \n' '  ' <"$work/refused" | grep -o "and \`$missing\` is not on the PATH: install [^(]*") ||
        { cat "$work/refused" >&2; echo "cpack failed without $missing, but not saying so" >&2; exit 1; }
    echo "without $missing on the PATH, cpack refuses: ...$refusal"
done

# Errors and warnings fail; informational and pedantic tags are shown. (There are none today:
# the false ones are overridden, packaging/lintian-overrides says why.)
echo "== lintian"
lintian --info --display-info --pedantic --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "lintian found errors or warnings" >&2; exit 1; }
echo "lintian: no errors, no warnings"

if dpkg-query -W -f='${Status}' corvanelle-control 2>/dev/null | grep -q 'install ok installed'; then
    mkdir "$work/previous"
    (cd "$work/previous" && dpkg-repack corvanelle-control >/dev/null 2>&1)
    previous=$(ls "$work"/previous/corvanelle-control_*.deb)
    echo "corvanelle-control $(dpkg-query -W -f='${Version}' corvanelle-control) is installed: repacked, to be put back"
fi
echo "== Installing"
installed=yes
dpkg -i "$deb" >/dev/null

listing=$(dpkg -L corvanelle-control)
for file in /usr/bin/corvanelle-control /usr/bin/corvanelle-control-stub \
    /usr/share/doc/corvanelle-control/copyright /usr/share/doc/corvanelle-control/changelog.gz \
    /usr/share/man/man1/corvanelle-control.1.gz /usr/share/man/man1/corvanelle-control-stub.1.gz \
    /usr/share/man/man7/corvanelle-control-protocol.7.gz \
    /usr/share/bash-completion/completions/corvanelle-control \
    /usr/share/zsh/vendor-completions/_corvanelle-control \
    /usr/share/fish/vendor_completions.d/corvanelle-control.fish \
    /usr/share/bash-completion/completions/corvanelle-control-stub \
    /usr/share/zsh/vendor-completions/_corvanelle-control-stub \
    /usr/share/fish/vendor_completions.d/corvanelle-control-stub.fish \
    /usr/share/lintian/overrides/corvanelle-control \
    /usr/share/corvanelle-control/error-envelope.schema.json \
    /usr/share/corvanelle-control/version.schema.json \
    /usr/share/corvanelle-control/request.schema.json; do
    grep -qx "$file" <<<"$listing" || { echo "the package lacks $file" >&2; exit 1; }
done
echo "the package holds the programs, licence, changelog, three manual pages, both programs'"
echo "completions, schemas and lintian's override"

version=$(/usr/bin/corvanelle-control --json --version)
echo "$version"
[ "$version" = '{"data":{"name":"corvanelle-control","protocolVersion":1,"version":"1.1.0"},"success":true}' ]

mkfifo "$work/ready"
/usr/bin/corvanelle-control-stub --quiet --ready-fd 3 "$work/s" 2>/dev/null 3>"$work/ready" &
host_pid=$!
read -r _ <"$work/ready"
reply=$(CORVANELLE_CONTROL_SOCKET="$work/s" /usr/bin/corvanelle-control --json list windows)
echo "$reply"
case $reply in *'"arguments":["list"],"command":"window"'*'"success":true}') ;; *) exit 1 ;; esac

man -w corvanelle-control corvanelle-control-protocol >/dev/null
man -P cat corvanelle-control 2>/dev/null | grep -q 'CORVANELLE_CONTROL_SOCKET'
man -P cat 7 corvanelle-control-protocol 2>/dev/null | grep -q 'ERROR ENVELOPE'
changelog_date=$(zcat /usr/share/doc/corvanelle-control/changelog.gz | sed -n 's/^ -- .*>  //p' | head -1)
page_date=$(zcat /usr/share/man/man1/corvanelle-control.1.gz | sed -n 's/^\.TH [^"]*"\([^"]*\)".*/\1/p')
[ "$page_date" = "$(date -u -d "$changelog_date" +%F)" ] ||
    { echo "the manual's date $page_date is not the changelog's, $changelog_date" >&2; exit 1; }
echo "the manual pages are dated $page_date, as the changelog's latest entry"

# Every absolute path that a page's FILES or SCHEMAS section names, as ROOT (/ or a staging
# folder) holds it. PAGE... are roff sources, compressed or not.
paths_named_exist() { # ROOT PREFIX PAGE...
    local root=$1 prefix=$2 path count=0
    shift 2
    while read -r path; do
        case $path in "$prefix"/*) ;; *) echo "a manual page names $path, outside $prefix" >&2; return 1 ;; esac
        [ -e "$root$path" ] || { echo "a manual page names $path, which is not there" >&2; return 1; }
        count=$((count + 1))
    done < <(zcat -f "$@" | awk '/^\.SH /{ named = ($2 == "FILES" || $2 == "SCHEMAS") } named' |
        grep -oE '(^| |\\%)/[^ ,]+' | sed 's/^ //; s/^\\%//')
    [ "$count" -ge 7 ] || { echo "the manual pages name only $count paths" >&2; return 1; }
    echo "the $count paths that the manual pages name exist under $prefix"
}
paths_named_exist / /usr $(grep '^/usr/share/man/.*\.gz$' <<<"$listing")

echo "== The completions, as each shell finds them"
# A home of its own, so that no user's files take part and nothing is left behind.
export HOME=$work/home XDG_DATA_DIRS=/usr/local/share:/usr/share
mkdir -p "$HOME"
found=$(ZDOTDIR=$HOME zsh -fc 'autoload -U compinit; compinit -u
    print ${_comps[corvanelle-control]:-NONE} ${_comps[corvanelle-control-stub]:-NONE}')
[ "$found" = "_corvanelle-control _corvanelle-control-stub" ] ||
    { echo "zsh's compinit does not find the completions: $found" >&2; exit 1; }
echo "zsh: compinit finds $found"
# Each program with the last word of a partial line, and what that word must complete to.
while read -r program before word expected; do
    completed=$(bash -c 'source /usr/share/bash-completion/bash_completion
        __load_completion "$1" || exit 1
        function=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
        COMP_WORDS=("$1" "$2" "$3") COMP_CWORD=2 COMP_LINE="$1 $2 $3" COMP_POINT=${#COMP_LINE}
        "$function" "$1" "$3" "$2"
        echo "${COMPREPLY[*]}"' bash "$program" "$before" "$word")
    [ "$completed" = "$expected" ] || { echo "bash completes '$program $before $word' to '$completed'" >&2; exit 1; }
    echo "bash (bash-completion): $program $before $word -> $completed"
    completed=$(fish -c "complete -C '$program $before $word'" | cut -f1)
    [ "$completed" = "$expected" ] || { echo "fish completes '$program $before $word' to '$completed'" >&2; exit 1; }
    echo "fish: $program $before $word -> $completed"
done <<'ROWS'
corvanelle-control list w windows
corvanelle-control-stub --quiet --rec --record
ROWS

echo "== Installed under another prefix"
DESTDIR=$work/staged cmake --install "$release" --prefix /opt/corvanelle >/dev/null
paths_named_exist "$work/staged" /opt/corvanelle "$work"/staged/opt/corvanelle/share/man/man*/*

# The archive Mac users are told to make (cpack -G TGZ): here, the Linux one, with what the
# install rules hold.
(cd "$release" && cpack -G TGZ >/dev/null)
archive=$(ls "$release"/corvanelle-control-*.tar.gz)
contents=$(tar -tzf "$archive")
for entry in bin/corvanelle-control bin/corvanelle-control-stub \
    share/man/man1/corvanelle-control.1 share/man/man7/corvanelle-control-protocol.7 \
    share/corvanelle-control/request.schema.json \
    share/bash-completion/completions/corvanelle-control-stub; do
    grep -q "^[^/]*/$entry\$" <<<"$contents" || { echo "$archive lacks $entry" >&2; exit 1; }
done
# Lintian's override is the Debian package's alone.
if grep lintian <<<"$contents"; then echo "$archive holds the Debian package's lintian override" >&2; exit 1; fi
# Unpacked as Mac users are told to, into the configured prefix, its pages name what is there;
# unpacked over folders that exist, it leaves them as they were.
mkdir -p "$work/unpacked/usr/local"
tar -xzf "$archive" -C "$work/unpacked/usr/local" --strip-components=1
paths_named_exist "$work/unpacked" /usr/local "$work"/unpacked/usr/local/share/man/man*/*
bash scripts/archive-check.sh "$archive"
echo "$(basename "$archive") holds the programs, their manual pages and the schemas, and no folder"
echo "package built twice alike, checked, installed, used; the machine's package is restored"
