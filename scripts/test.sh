#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test.
# Both builds treat warnings as errors.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build test
build="$root/build/asan"
# Unity builds: a module's sources compile in batches of eight, which parses
# the shared headers once per batch and cuts the build's CPU time by about
# a third (the Release and development builds keep one unit per file, so a
# file that leans on a neighbour's includes still fails there).
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=8)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEMBREL_SANITIZE=ON -DZEMBREL_WERROR=ON "${unity[@]}"
cmake --build "$build"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# ctest's own summary is kept for the last line of this script: the TSan
# runs below print theirs after it.
ctest_log="$build/ctest.log"
(cd "$build" && ctest --output-on-failure -j "$(nproc)") | tee "$ctest_log"
ctest_total=$(sed -n 's/.* tests passed, 0 tests failed out of \([0-9][0-9]*\).*/\1/p' "$ctest_log")
# Skipped tests count in ctest's total; each is listed as "<n> - <name> (Skipped)".
ctest_skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$ctest_log" || true)
if [ -z "$ctest_total" ]; then
    echo "test.sh: ctest's summary line is missing from $ctest_log" >&2
    exit 1
fi

# ThreadSanitizer: a second build of only the thread tests.
tsan="$root/build/tsan"
# Line tables only (-g1): reports keep their functions and lines, and the
# build costs a quarter less.
cmake -S "$root" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMBREL_TSAN=ON -DZEMBREL_WERROR=ON "${unity[@]}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build "$tsan" --target shared_db_test capi_shared_test engine_test transaction_test select_test
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
tsan_runs=0
# A run that fails still ends the script (set -e holds inside the function).
tsan_run() {
    "$@"
    tsan_runs=$((tsan_runs + 1))
}
tsan_run "$tsan/shared_db_test" --gtest_filter='SharedDbThreads.*'
tsan_run "$tsan/capi_shared_test"
# Worker threads inside one handle: the parallel load, the key hash of a
# correlated subquery and the log made ahead of the first commit.
tsan_run "$tsan/engine_test" --gtest_filter='*ParallelLoad*'
tsan_run "$tsan/select_test" --gtest_filter='SelectPageFile.CorrelatedSeeks*'
tsan_run "$tsan/transaction_test" --gtest_filter='SyncFailure.LogMadeAhead*'

skipped_note=""
if [ "$ctest_skipped" -gt 0 ]; then skipped_note=" ($ctest_skipped skipped)"; fi
echo "All passed: $((ctest_total - ctest_skipped)) ctest tests under ASan+UBSan$skipped_note," \
     "$tsan_runs thread-checked runs under TSan."
