#!/usr/bin/env bash
# Builds everything and runs every test under Wine. Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh"
source "$root/scripts/winenv.sh"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
