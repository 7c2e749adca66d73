#!/usr/bin/env bash
# Installs what building and testing the scan server needs on Debian 12:
# the 32-bit MinGW-w64 cross compilers, Wine with its 32-bit half, Xvfb,
# Xinerama for Wine's 32-bit half (the tests' second monitor), CMake,
# GoogleTest's sources, and the header-only libraries of the host's side
# (nlohmann-json for the catalogue, CLI11 for the command line). Does nothing
# when all of it is present.
set -euo pipefail

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 xvfb
          libxinerama1:i386 cmake make googletest nlohmann-json3-dev libcli11-dev)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
