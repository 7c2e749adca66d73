#!/usr/bin/env bash
# Configures and builds the whole tree into build/ (or $BUILD_DIR), then the
# host library alone for 64-bit Windows into build/x64, which proves that it
# compiles there (nothing 64-bit is run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake -S "$root" -B "$build/x64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/x64" -j"$(nproc)" --target scanhost
