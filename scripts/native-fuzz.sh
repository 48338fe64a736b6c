#!/usr/bin/env bash
# Builds the parse-only code natively with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (tests/native) into $VT_BUILD_DIR/native, then
# runs every fuzzer for a fixed number of runs from a fixed seed, starting
# from its committed seeds. Fails on any crash, broken invariant or
# sanitizer report. VT_FUZZ_RUNS changes the number of runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VT_BUILD_DIR:-$root/build}/native
runs=${VT_FUZZ_RUNS:-50000}

# The cross build's settings must not reach this build.
unset CMAKE_TOOLCHAIN_FILE CC CXX CFLAGS CXXFLAGS LDFLAGS
if [ ! -f "$build/build.ninja" ]; then
    cmake -G Ninja -S "$root/tests/native" -B "$build" \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:allocator_may_return_null=1:handle_abort=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$root/tests/native/ubsan.supp

# One fuzzer: a fresh work corpus (so each run is the same), the committed
# seeds read beside it. Prints its log when it fails.
run_one() {
    local name=$1 work=$build/fuzz-work/$1
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    if "$build/$name" "$work/corpus" "$root/tests/native/fuzz/corpus/$name" \
        -runs="$runs" -seed=1 -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1; then
        echo "ok      $name ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs)"
    else
        echo "FAILED  $name (inputs in $work/artifacts)"
        tail -n 60 "$work/log"
        return 1
    fi
}
export -f run_one
export build root runs

failed=0
xargs -a "$build/fuzzers.txt" -P "$(nproc)" -I{} bash -c 'run_one {}' || failed=1
if [ "$failed" -ne 0 ]; then
    echo "native fuzzing FAILED"
    exit 1
fi
echo "native fuzzing passed: every fuzzer ran $runs inputs without a finding"
