#!/usr/bin/env bash
# Builds everything and runs the benchmarks and the soak under Wine, printing
# their figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
NO_XVFB=${NO_XVFB:-1} source "$root/scripts/winenv.sh"
for program in roundtrip scan-bench soak catalogue-io-bench catalogue-bench; do
    "$build/wine-run" "$build/bin/$program.exe"
done
