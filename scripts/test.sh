#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine. Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
export VT_BUILD_DIR=${VT_BUILD_DIR:-$root/build}
. "$root/scripts/wine-env.sh"
vt_wine_start
trap vt_wine_stop EXIT
cd "$VT_BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" "$@"
