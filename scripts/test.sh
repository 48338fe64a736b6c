#!/usr/bin/env bash
# Sets up, builds and runs every test under Wine. Extra arguments go to ctest.
set -euo pipefail
. "$(dirname "$0")/prepare.sh"
cd "$VT_BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" "$@"
