#!/bin/sh
# Figures of live transcription, on a private audio server of its own:
#   - CPU per second of audio and peak memory per transcribed track during a
#     two-track recording with speech on both, against the same recording
#     without --speech; latency of interim results after a word ends and of
#     the final result after speech stops;
#   - word error rate of `speech-file --live` and of batch decoding of the same
#     read speech with the same model, under the recogniser's defaults and a
#     few other decoder and voice-activity settings, with CPU per audio second.
#
#   scripts/bench-speech.sh [BUILD_DIR] [RECORD_SECONDS]   (defaults: build 60)
set -eu
build=${1:-build}
seconds=${2:-60}
bench=$build/tests/speech-bench
[ -x "$bench" ] || { echo "bench-speech.sh: build first (scripts/build.sh)" >&2; exit 1; }

echo "== record with speech ($seconds s)"
"$bench" record "$seconds"
echo "== accuracy"
"$bench" accuracy
