#!/usr/bin/env bash
# The main job: builds the client and the scan server, then scans plug-ins
# into a catalogue with quenmoor-scan and prints its table of what was found
# and of every failure with its reason.
#
#   ./scripts/run.sh [quenmoor-scan options] [PATH...]
#
# PATHs (and the files the options name) may be in Unix or Windows form. With
# WINEPREFIX set, plug-ins are scanned in that prefix, so that they see their
# own prefix, licences and registry; otherwise in the build's own prefix.
# Without a PATH it scans the bundled samples (one of which crashes on
# purpose) into build/samples-catalogue.json.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
echo "run: building into $build" >&2
BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
[ -n "${WINEPREFIX:-}" ] && export WINENV_USER_PREFIX=1
source "$root/scripts/winenv.sh"

# A Windows path for anything that is not one already: an absolute or
# relative Unix path, existing or not.
windows_path() {
    case "$1" in
        [A-Za-z]:\\* | [A-Za-z]:/* | \\\\*) printf '%s' "$1" ;;
        *) winepath -w "$(realpath -m -- "$1")" 2>/dev/null ;;
    esac
}

arguments=()
paths=0
catalogue=0
takes_value=0
for argument in "$@"; do
    if [ "$takes_value" = path ]; then
        arguments+=("$(windows_path "$argument")"); takes_value=0; continue
    elif [ "$takes_value" = value ]; then
        arguments+=("$argument"); takes_value=0; continue
    fi
    case "$argument" in
        --catalogue=* | --dump-folder=* | --server=*)
            [ "${argument%%=*}" = --catalogue ] && catalogue=1
            arguments+=("${argument%%=*}=$(windows_path "${argument#*=}")") ;;
        --catalogue | --dump-folder | --server)
            [ "$argument" = --catalogue ] && catalogue=1
            arguments+=("$argument"); takes_value=path ;;
        --timeout | --jobs | --modules-per-server) arguments+=("$argument"); takes_value=value ;;
        -*) arguments+=("$argument") ;;
        *) arguments+=("$(windows_path "$argument")"); paths=$((paths + 1)) ;;
    esac
done

# The client runs as a child, not in this shell's place, so that the display
# and Wine's server started above are stopped when it ends.
client=("wine" "$build/bin/quenmoor-scan.exe")
status=0
if [ "$paths" -eq 0 ]; then
    echo "run: scanning the sample plug-ins in $build/samples" >&2
    [ "$catalogue" -eq 0 ] && arguments=(--catalogue "$(windows_path "$build/samples-catalogue.json")" "${arguments[@]}")
    "${client[@]}" "${arguments[@]}" "$(windows_path "$build/samples")" || status=$?
    # Exit code 1 says that some modules failed: the crashing sample does.
    [ "$status" -eq 1 ] && status=0
    exit "$status"
fi
"${client[@]}" "${arguments[@]}" || status=$?
exit "$status"
