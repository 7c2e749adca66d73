# Sourced by the build scripts: prepares Wine for running this build's
# Windows programs. Expects $build to name the build folder. Gives Wine a
# prefix inside the build folder, keeps one wineserver alive for the whole
# run (a Wine process then starts in a fraction of a second) and, unless
# NO_XVFB is set, a virtual X screen of 800x600 for windows. Both are
# stopped when the sourcing script exits.
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

winenv_cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${winenv_xvfb_pid:-}" ] && kill "$winenv_xvfb_pid" >/dev/null 2>&1 || true
}
trap winenv_cleanup EXIT

if [ -z "${NO_XVFB:-}" ]; then
    displayfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    winenv_xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$displayfile")"
    rm -f "$displayfile"
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "winenv: creating the Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
wineserver -p >/dev/null 2>&1 </dev/null &
# The first program of a Wine session starts Wine's own services, which keep
# the standard handles they inherit; start them here with none of ours.
wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
