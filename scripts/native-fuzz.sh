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

# One fuzzer run: a fresh work corpus (so each run is the same), the
# committed seeds read beside it.
fuzz_once() {
    local name=$1 work=$2
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    "$build/$name" "$work/corpus" "$root/tests/native/fuzz/corpus/$name" \
        -runs="$runs" -seed=1 -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1
}

# One fuzzer. A failure is replayed: an input it saved that fails again on
# its own is a finding; a failure that left no such input (the machine
# starved the run) is run once more. Prints the log of every failure.
run_one() {
    local name=$1 work=$build/fuzz-work/$1
    if fuzz_once "$name" "$work"; then
        echo "ok      $name ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$') runs)"
        return 0
    fi
    echo "failure $name:"
    tail -n 60 "$work/log"
    local input
    for input in "$work"/artifacts/*; do
        [ -f "$input" ] || continue
        if ! "$build/$name" "$input" >"$work/replay" 2>&1; then
            echo "FAILED  $name: $input fails again on its own"
            tail -n 60 "$work/replay"
            return 1
        fi
    done
    if fuzz_once "$name" "$work.again"; then
        echo "ok      $name on a second run; the first failure did not come back"
        return 0
    fi
    echo "FAILED  $name twice (inputs in $work.again/artifacts)"
    tail -n 60 "$work.again/log"
    return 1
}
export -f run_one fuzz_once
export build root runs

failed=0
xargs -a "$build/fuzzers.txt" -P "$(nproc)" -I{} bash -c 'run_one {}' || failed=1
if [ "$failed" -ne 0 ]; then
    echo "native fuzzing FAILED"
    exit 1
fi
echo "native fuzzing passed: every fuzzer ran $runs inputs without a finding"
