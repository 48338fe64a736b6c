#!/usr/bin/env bash
# Builds and runs the timing programs under Wine. Not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export VT_BUILD_DIR=${VT_BUILD_DIR:-$root/build}
. "$root/scripts/wine-env.sh"
vt_wine_start
trap vt_wine_stop EXIT
cd "$VT_BUILD_DIR"
find . -name '*_benchmark.exe' | sort | while read -r program; do
    echo "== ${program#./}"
    (cd "$(dirname "$program")" && wine "./$(basename "$program")") || echo "(exited $?)"
done
