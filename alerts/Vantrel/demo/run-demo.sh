#!/bin/sh
# run-demo.sh <demo machine folder> <Wine prefix> [demo options]: the demo
# under Wine, for its test, on a prefix of its own (the demo writes the
# machine's registry). Exits with the demo's exit code.
machine=$1
prefix=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# No mono or gecko for a new prefix; the module host takes the sessions
# replacement beside it.
export WINEDLLOVERRIDES="mscoree,mshtml=;wtsapi32=n"
mkdir -p "$prefix"
windows="Z:$(printf '%s' "$machine" | tr '/' '\\')"
wine "$machine/VantrelDemo.exe" --machine "$windows" "$@" </dev/null
status=$?
wineserver -w
exit $status
