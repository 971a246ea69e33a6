#!/usr/bin/env bash
# Builds the fuzz targets with clang, address and undefined-behaviour
# sanitizers (folder build-fuzz) and runs each for SECONDS (default 60), one
# after the other, from its seeds and what earlier runs found:
#   scripts/fuzz.sh [SECONDS]
# A crash, a sanitizer report or an input taking over a second stops that
# target; its input lands in build-fuzz/artifacts. Exits non-zero when any
# target failed. LUMENO_FUZZ_RUNS caps the inputs per target.
# LUMENO_FUZZ_SEED fixes the mutations' random seed, so that
# a short run from the seeds alone (as in CI) tries the same inputs each time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
targets=(command_reader_fuzz globals_fuzz parts_fuzz reader_fuzz)

CC=clang CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMENO_FUZZ=ON -DLUMENO_SANITIZE=address,undefined >/dev/null
cmake --build "$out" -j"$(nproc)" --target "${targets[@]}" reader_fuzz_seeds

# Seeds: a few inputs of each grammar, and files the writer makes.
seeds=$out/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{command_reader_fuzz,globals_fuzz,parts_fuzz,reader_fuzz}
i=0
for s in 'pause\n' 'resume\r\n' 'mute 3\nunmute -4\n' '  stop \t\n' 'mic  nothing-here \n' \
  '\xc2\xa0mute\xe3\x80\x80 7\xe2\x80\xaf\n' 'test-mic-restart'; do
  printf -- "$s" >"$seeds/command_reader_fuzz/$((i++))"
done
for s in 'record\0--dir\0/tmp/x\0--part\0002\0--start-ms\0001500.5' '--start-ms\0001e300' \
  '--part\0-9223372036854775808\0--start-ms\000-604800000' '--start-ms\000nan\0--part'; do
  printf -- "$s" >"$seeds/globals_fuzz/$((i++))"
done
for s in 'me.1.m4a\n{"startMs": 1500}' 'part.2.json\n{"startMs": 1e300}' 'them..+3..m4a\n{"startMs": -1}' \
  'part.007.json\n[1,2]' 'me.1.m4a\n{"startMs": "12"}'; do
  printf -- "$s" >"$seeds/parts_fuzz/$((i++))"
done
"$out/fuzz/reader_fuzz_seeds" "$seeds/reader_fuzz"

# The targets' scratch files.
export TMPDIR=$PWD/$out/tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
  corpus=$out/corpus/$t
  mkdir -p "$corpus" "$out/artifacts"
  echo "== $t for ${seconds}s"
  if ! "$out/fuzz/$t" "$corpus" "$seeds/$t" -max_total_time="$seconds" ${LUMENO_FUZZ_RUNS:+-runs=$LUMENO_FUZZ_RUNS} -timeout=1 -rss_limit_mb=2048 \
    -max_len=65536 ${LUMENO_FUZZ_SEED:+-seed=$LUMENO_FUZZ_SEED} -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" 2>"$out/$t.log"; then
    failed+=("$t")
    tail -n 60 "$out/$t.log"
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/$t.log" | tail -n 2 || true
done
rm -rf "$TMPDIR"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]} (inputs in $out/artifacts)" >&2
  exit 1
fi
