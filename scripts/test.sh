#!/usr/bin/env bash
# Builds the programs, then runs every test in a build with address and
# undefined-behaviour sanitizers and the concurrency tests with the thread
# sanitizer, then the fault suite for a minute and each fuzz target for a few
# seconds. Exits non-zero when
# anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh build
scripts/build.sh build-asan address,undefined
scripts/build.sh build-tsan thread

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== all tests, address and undefined-behaviour sanitizers"
(cd build-asan && ctest --output-on-failure --timeout 600)
echo "== concurrency tests, thread sanitizer"
(cd build-tsan && ctest --output-on-failure --timeout 600 -L 'tsan|mcp')
echo "== fault suite, short"
scripts/fault-suite.sh 60
echo "== fuzz targets, a few seconds each on their seeds"
# The fixed seed and the cap make the step try the same inputs each time and
# take the same time on a machine of any speed; the long runs are
# scripts/fuzz.sh with a duration.
LUMENO_FUZZ_SEED=1 LUMENO_FUZZ_RUNS=500 scripts/fuzz.sh 5
