#!/bin/sh
# CPU of the "them" capture that leaves the program's own process family out
# (each other playback stream recorded alone and mixed), with 1, 5 and 20
# playback streams of other applications, against the plain monitor of the
# output device with the same streams playing, all in one run on a private
# PulseAudio server. CPU is that of the capturing process plus the audio
# server's share.
#
#   scripts/bench-exclude.sh [BUILD_DIR] [SECONDS]   (defaults: build 20)
set -eu
build=${1:-build}
seconds=${2:-20}
bench=$build/tests/exclude-bench
[ -x "$bench" ] || { echo "bench-exclude.sh: build first (scripts/build.sh)" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
echo "== CPU of the \"them\" capture ($seconds s per figure, PulseAudio)"
LUMENO_TEST_AUDIO_SERVER=pulseaudio "$bench" "$seconds" | tee "$out" | grep -v '^CPU_'
awk '
  /^CPU_EXCLUDE/ { n[$2] = $4; base = $5; plain[$2] = $3 }
  END {
    printf "  5 streams against the monitor with one:  %.2f x   (goal: at most 2)\n", n[5] / base
    printf "  cost per stream (5 to 20):               %.3f %% CPU; 1 to 5: %.3f %%   (linear when alike)\n",
      (n[20] - n[5]) / 15, (n[5] - n[1]) / 4
  }' "$out"
