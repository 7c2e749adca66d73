# Sourced by the build scripts: prepares Wine for running this build's
# Windows programs. Expects $build to name the build folder. Gives Wine a
# prefix inside the build folder, keeps one wineserver alive for the whole
# run (a Wine process then starts in a fraction of a second) and, unless
# NO_XVFB is set, a virtual X display for windows. Both are stopped when the
# sourcing script exits.
#
# The display has two monitors, so that window placement can be tested: an
# 800x600 primary one and a 1024x768 second one, joined by Xinerama. Xvfb
# puts both screens at the origin, so the second monitor overlaps the first
# and reaches beyond it to the right and below. RandR is off: with it Wine
# would see a single monitor; without it Wine takes the monitors from Xinerama.
#
# With WINENV_USER_PREFIX=1 (the run command, scanning a user's own plug-ins)
# the user's prefix is used as it is: $WINEPREFIX when set, Wine's default
# otherwise. Nothing in it is changed, no wineserver is kept or stopped, and
# the user's display is used when there is one (a virtual one otherwise).
: "${build:?winenv.sh needs \$build, the build folder}"
if [ -n "${WINENV_USER_PREFIX:-}" ]; then
    [ -n "${DISPLAY:-}" ] && NO_XVFB=1
else
    export WINEPREFIX="$build/wineprefix"
fi
# Wine turns Windows file names into Unix ones in the locale's character set;
# under the POSIX locale of a bare environment, names with letters beyond
# ASCII cannot be opened. C.UTF-8 is on every Debian system.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
    export LC_ALL=C.UTF-8
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

winenv_cleanup() {
    [ -z "${WINENV_USER_PREFIX:-}" ] && { wineserver -k >/dev/null 2>&1 || true; }
    [ -n "${winenv_xvfb_pid:-}" ] && kill "$winenv_xvfb_pid" >/dev/null 2>&1 || true
}
trap winenv_cleanup EXIT

if [ -z "${NO_XVFB:-}" ]; then
    displayfile=$(mktemp)
    Xvfb -displayfd 3 +xinerama -extension RANDR -screen 0 800x600x24 -screen 1 1024x768x24 \
         -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
    winenv_xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$displayfile")"
    rm -f "$displayfile"
fi

if [ -n "${WINENV_USER_PREFIX:-}" ]; then
    return 0
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "winenv: creating the Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
wineserver -p >/dev/null 2>&1 </dev/null &
# The first program of a Wine session starts Wine's own services, which keep
# the standard handles they inherit; start them here with none of ours. That
# program also tells Wine to leave its windows unmanaged: there is no window
# manager on the virtual display, and Wine would otherwise wait two seconds for
# one whenever an active window is hidden or destroyed.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
# Programs that show windows need Wine's desktop process; keep it running with
# none of our handles (tests/desktop_keeper.cpp says why).
if [ -f "$build/bin/desktop_keeper.exe" ]; then
    wine "$build/bin/desktop_keeper.exe" </dev/null >/dev/null 2>&1 &
fi
