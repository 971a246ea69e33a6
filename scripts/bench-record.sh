#!/bin/sh
# Figures of `lumeno-audio record`, each on a private audio server of its own:
#   - CPU and peak memory of a two-track recording, beside two parec streams of
#     the same sources and ffmpeg recording both to AAC, all in one run; the
#     floor is the parec streams plus the FDK encoder alone for the same audio
#     (build/track_bench), measured in the same run;
#   - latency from a click played to its "pcm" event;
#   (these two on PulseAudio and on PipeWire's pulse server, one after the other)
#   - drift between the tracks and against the clock over a long recording;
#   - the longest gap between level events while resuming after a long pause.
#
#   scripts/bench-record.sh [BUILD_DIR] [CPU_SECONDS] [DRIFT_SECONDS] [PAUSE_SECONDS]
#   (defaults: build 60 600 600)
set -eu
build=${1:-build}
cpu=${2:-60}
drift=${3:-600}
pause=${4:-600}
bench=$build/tests/record-bench
[ -x "$bench" ] && [ -x "$build/track_bench" ] || { echo "bench-record.sh: build first (scripts/build.sh)" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT

for kind in ${LUMENO_BENCH_SERVERS:-pulseaudio pipewire}; do
  export LUMENO_TEST_AUDIO_SERVER=$kind
  echo "== CPU ($cpu s, $kind)"
  "$bench" cpu "$cpu" | tee "$out" | grep -v '^CPU_'
  # The FDK encoder alone: CPU ms per minute of audio, for two tracks.
  encoder=$("$build/track_bench" --benchmark_filter=BM_EncoderAlone --benchmark_format=json 2>/dev/null |
    sed -n 's/.*"cpu_time": *\([0-9.e+]*\).*/\1/p' | head -n 1)
  awk -v enc="$encoder" '
    /^CPU_RECORD/ { rec = $2 } /^CPU_PAREC/ { parec = $2 } /^CPU_FFMPEG/ { ff = $2 }
    END {
      encShare = 2 * enc / 60000            # two tracks of encoding per second of audio
      floor = parec + encShare
      printf "  FDK encoder alone        %6.2f %%   (%.1f ms of CPU per minute of audio and track)\n", 100 * encShare, enc
      printf "  floor (parec + encoder)  %6.2f %%\n", 100 * floor
      printf "  record / floor           %6.2f x   (goal: at most 1.3)\n", rec / floor
      printf "  record / ffmpeg          %6.2f x   (goal: below 1)\n", rec / ff
    }' "$out"

  echo "== latency ($kind)"
  "$bench" latency 20
done
unset LUMENO_TEST_AUDIO_SERVER
echo "== drift ($drift s)"
"$bench" drift "$drift"
echo "== resume after a pause ($pause s)"
"$bench" pause "$pause"
