#!/usr/bin/env bash
# Sets up and builds everything, then runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
echo "Built into ${VT_BUILD_DIR:-$root/build}. The alert module's demo is not there yet."
