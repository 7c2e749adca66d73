#!/usr/bin/env bash
# The main job: builds the server and drives it as a host does with the
# command-line host quenmoor-scan, printing the banner, every "ready:"
# handshake, the log lines and one report per request. Arguments, when given,
# are the requests (Windows paths, optionally followed by ">" and a shell id).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
source "$root/scripts/winenv.sh"

requests=("$@")
if [ ${#requests[@]} -eq 0 ]; then
    requests=('C:\Program Files\VstPlugins\Sample Plugin.dll')
fi
"$build/wine-run" "$build/bin/quenmoor-scan.exe" "$build/bin/RavoZazora-x86.exe" "${requests[@]}"
