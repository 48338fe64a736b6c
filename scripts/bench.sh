#!/usr/bin/env bash
# Builds and runs the timing programs under Wine. Not part of the tests.
set -euo pipefail
. "$(dirname "$0")/prepare.sh"
cd "$VT_BUILD_DIR"
find . -name '*_benchmark.exe' | sort | while read -r program; do
    echo "== ${program#./}"
    (cd "$(dirname "$program")" && wine "./$(basename "$program")") || echo "(exited $?)"
done
