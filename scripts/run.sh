#!/usr/bin/env bash
# The main job: builds the server and drives it as a host does with the
# command-line host quenmoor-scan, printing the banner, every "ready:"
# handshake, the log lines and one report per request; a shell module is
# followed by a request for each plug-in inside it. Without arguments it scans
# the sample plug-ins in build/samples; arguments are requests (Windows paths,
# optionally followed by ">" and a shell id in hexadecimal).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
echo "run: building into $build" >&2
BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
source "$root/scripts/winenv.sh"

requests=("$@")
if [ ${#requests[@]} -eq 0 ]; then
    for sample in "$build"/samples/*.dll; do
        requests+=("$(winepath -w "$sample")")
    done
fi
"$build/wine-run" "$build/bin/quenmoor-scan.exe" "$build/bin/RavoZazora-x86.exe" "${requests[@]}"
