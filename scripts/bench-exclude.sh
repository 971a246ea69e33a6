#!/bin/sh
# CPU of the "them" capture that leaves the program's own process family out
# (each other playback stream recorded alone and mixed), with 1, 5 and 20
# playback streams of other applications, against the plain monitor of the
# output device with the same streams playing, in one run on a private
# PulseAudio server and one on a private PipeWire server. CPU is that of the
# capturing process plus the audio server's share (on PipeWire, the PipeWire
# daemon's and its pulse server's).
#
#   scripts/bench-exclude.sh [BUILD_DIR] [SECONDS]   (defaults: build 20)
set -eu
build=${1:-build}
seconds=${2:-20}
bench=$build/tests/exclude-bench
[ -x "$bench" ] || { echo "bench-exclude.sh: build first (scripts/build.sh)" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for kind in pulseaudio pipewire; do
  echo "== CPU of the \"them\" capture ($seconds s per figure, $kind)"
  LUMENO_TEST_AUDIO_SERVER=$kind "$bench" "$seconds" | tee "$out" | grep -v '^CPU_'
  awk '
    /^CPU_EXCLUDE/ { plain[$2] = $3; n[$2] = $4; base = $5; self[$2] = $6; server[$2] = $7 }
    END {
      printf "  5 streams, against the monitor with the same streams playing:  %.2f x   (goal: at most 2)\n", n[5] / plain[5]
      printf "  5 streams, against the monitor with one stream playing:        %.2f x\n", n[5] / base
      printf "  what leaving out costs over the monitor: %.2f %% CPU with 1, %.2f %% with 5, %.2f %% with 20 streams\n",
        n[1] - plain[1], n[5] - plain[5], n[20] - plain[20]
      printf "  per stream: %.3f %% CPU from 1 to 5 streams, %.3f %% from 5 to 20   (linear when alike)\n",
        ((n[5] - plain[5]) - (n[1] - plain[1])) / 4, ((n[20] - plain[20]) - (n[5] - plain[5])) / 15
      # The server is measured in whole clock ticks, so its share is coarse
      # for a few streams; the capturing process alone shows the slope best.
      printf "    of which the capturing process: %.3f %% and %.3f %%; the server: %.3f %% and %.3f %%\n",
        (self[5] - self[1]) / 4, (self[20] - self[5]) / 15, (server[5] - server[1]) / 4, (server[20] - server[5]) / 15
    }' "$out"
done
