#!/usr/bin/env bash
# Installs the Debian packages that building the programs needs, and any others named, when
# they are missing. Making the Debian package needs two more, which compute its dependencies:
# scripts/setup.sh file dpkg-dev. Usage: scripts/setup.sh [extra package ...]
set -euo pipefail

packages=(g++ cmake make libboost-json1.81-dev "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    echo "Installing with sudo: ${missing[*]}" >&2
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "These Debian packages are missing; install them and run this again:" >&2
    echo "    sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
