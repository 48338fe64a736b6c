#!/usr/bin/env bash
# The main job: builds only what the demo needs, then runs the alert service
# across processes on a demo machine (a Wine prefix of its own): the module
# host with Vantrel.dll, the bus broker, the settings manager, a viewer, a
# producer, Brisvel.exe and Ossamit.exe.
#
#   bash scripts/run.sh                              one alert, every step and log
#   bash scripts/run.sh --alerts N [--producers M]   load: N alerts from M producers
set -euo pipefail
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --alerts|--producers)
            [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "$1 wants a number" >&2; exit 2; }
            args+=("$1" "$2"); shift 2 ;;
        *) echo "usage: bash scripts/run.sh [--alerts N [--producers M]]" >&2; exit 2 ;;
    esac
done
started=$(date +%s%N)
root=$(cd "$(dirname "$0")/.." && pwd)
export VT_BUILD_DIR=${VT_BUILD_DIR:-$root/build}
export WINEPREFIX=$VT_BUILD_DIR/demo-machine/wineprefix
VT_BUILD_TARGETS=vantrel_demo
. "$root/scripts/prepare.sh"
machine=$VT_BUILD_DIR/demo
# Wine's own wtsapi32 knows no sessions: the module host takes the system
# monitor's replacement beside it (the other programs bind none).
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wtsapi32=n"
built=$(( ($(date +%s%N) - started) / 1000000 ))
printf 'Built the demo into %s, %d.%03d s after the start.\n' "$machine" $((built / 1000)) $((built % 1000))
status=0
wine "$machine/VantrelDemo.exe" --machine "Z:${machine//\//\\}" "${args[@]}" </dev/null || status=$?
echo "The demo's file logs: $WINEPREFIX/drive_c/ProgramData/Corvane/CVLOGS"
elapsed=$(( ($(date +%s%N) - started) / 1000000 ))
printf 'Wall time: %d.%03d s (exit code %d).\n' $((elapsed / 1000)) $((elapsed % 1000)) "$status"
exit $status
