#!/usr/bin/env bash
# A short two-track recording made with the built lumeno-audio: a spoken
# sentence as "them" and a tone as "me" are encoded at real-time pace into a
# recording folder, which is then described, decoded and checked for compaction.
#
#   scripts/demo.sh [FOLDER]     (default: build/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
audio=build/lumeno-audio
[ -x "$audio" ] || { echo "demo.sh: build first (scripts/build.sh)" >&2; exit 1; }

out=${1:-build/demo}
rm -rf "$out"
mkdir -p "$out/sources"
espeak-ng -w "$out/sources/them.wav" "Thanks everyone for joining. Let's go through the plan for next week."
sox -n -r 44100 -c 2 "$out/sources/me.wav" synth 3.5 sine 440 vol 0.3

echo "== encoding both tracks (HE-AAC, fragmented .m4a) into $out/recording"
echo finish | LUMENO_AUDIO_TEST=1 "$audio" writer-probe --dir "$out/recording" \
  --me "$out/sources/me.wav" --them "$out/sources/them.wav"
ls -l "$out/recording"

echo "== what ffprobe sees"
for f in "$out"/recording/*.m4a; do
  printf '%s: ' "$(basename "$f")"
  ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,bit_rate \
    -show_entries format_tags=major_brand -of compact=nokey=0:print_section=0 "$f" | tr '\n' ' '
  echo
done

echo "== lumeno-audio inspect"
"$audio" inspect --dir "$out/recording"
echo

echo "== decoded back to 16 kHz"
for track in me them; do
  bytes=$("$audio" decode "$out/recording/$track.m4a" | wc -c)
  echo "$track: $((bytes / 4)) samples = $((bytes / 64)) ms"
done

echo "== lumeno-audio compact (null: already in the compact form)"
"$audio" compact --dir "$out/recording" --out "$out/staging"
