#!/usr/bin/env bash
# Configures and builds everything into build/ (or $VT_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VT_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=${VT_BUILD_TYPE:-RelWithDebInfo}
fi
cmake --build "$build" -- -j"$(nproc)" "$@"
