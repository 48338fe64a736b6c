# Sourced: a Wine prefix of the build's own, its server started detached so
# that ctest never waits on pipes inherited by Wine's services.
build=${VT_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
vt_wine_start() {
    mkdir -p "$WINEPREFIX"
    setsid wineserver -p >/dev/null 2>&1 </dev/null &
    wineboot >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 </dev/null &
    sleep 0.5
}
vt_wine_stop() {
    wineserver -k >/dev/null 2>&1 </dev/null || true
}
