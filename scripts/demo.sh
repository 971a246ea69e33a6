#!/usr/bin/env bash
# A real recording made with the built lumeno-audio on a private audio server
# of its own (never yours): speech plays into the speakers ("them") and a
# second voice into the microphone ("me") while `lumeno-audio record` runs
# for about ten seconds with live transcription (`--speech en-US`) and is
# told to mute, unmute, pause, resume and stop. Then it shows what happened:
# the events by type, the mute answers, what was transcribed, `inspect`, and
# a picture of both tracks on one time axis.
#
#   scripts/demo.sh [FOLDER]     (default: build/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
audio=build/lumeno-audio
[ -x "$audio" ] || { echo "demo.sh: build first (scripts/build.sh)" >&2; exit 1; }

out=${1:-build/demo}
rm -rf "$out"
mkdir -p "$out/sources"
out=$(cd "$out" && pwd)
server=$out/server
recording=$out/recording

echo "== a private audio server in $server"
scripts/audio-server.sh start "$server" >/dev/null
trap 'scripts/audio-server.sh stop "$server"' EXIT
eval "$(scripts/audio-server.sh env "$server")"

# Two voices: what the others say comes from the speakers (Festival's HTS
# voice), what you say goes into the microphone (espeak-ng's klatt voice).
echo "Thanks everyone for joining. Let's go through the plan for next week. First the budget, then the launch date." \
  >"$out/sources/them.txt"
text2wave -eval '(voice_cmu_us_slt_arctic_hts)' "$out/sources/them.txt" -o "$out/sources/them.wav"
espeak-ng -s 150 -v en-us+klatt -w "$out/sources/me.wav" \
  "Sounds good to me. I can take the budget. The launch date depends on the tests."

# The speech model goes into a model store of the demo's own.
export XDG_DATA_HOME=$out/data
echo "== speech-install en-US into $XDG_DATA_HOME/lumeno/speech"
"$audio" speech-install en-US
play_loop() {  # SINK FILE: plays FILE into SINK until killed
  while :; do paplay -d "$1" "$2" 2>/dev/null || return 0; done
}

echo "== recording for about 10 s into $recording"
# The commands go in at set moments; the events come out on standard output.
{
  sleep 3;   echo "mute 1"
  sleep 2;   echo "unmute 2"
  sleep 1.5; echo "pause"
  sleep 1.5; echo "resume"
  sleep 2;   echo "stop"
} | "$audio" record --dir "$recording" --speech en-US >"$out/events.bin" 2>"$out/log.txt" &
recorder=$!
sleep 0.3
play_loop test_speakers "$out/sources/them.wav" &
them_player=$!
play_loop test_mic_in "$out/sources/me.wav" &
me_player=$!
status=0
wait "$recorder" || status=$?
pkill -P "$them_player" 2>/dev/null || true
pkill -P "$me_player" 2>/dev/null || true
kill "$them_player" "$me_player" 2>/dev/null || true
wait 2>/dev/null || true
echo "record exited with status $status"
[ -s "$out/log.txt" ] && { echo "-- its log:"; cat "$out/log.txt"; }

echo "== events, by type"
# One JSON line per event; a "pcm" line is followed by 4 x n bytes of samples.
perl -e '
  binmode STDIN;
  my %count; my @answers; my @speech;
  while (defined(my $line = <STDIN>)) {
    my ($t) = $line =~ /"t":"([^"]+)"/ or next;
    $count{$t}++;
    if ($t eq "pcm") { my ($n) = $line =~ /"n":(\d+)/; read(STDIN, my $skip, 4 * $n); }
    push @answers, $line if $t eq "mic-muted" || $t eq "mic" || $t eq "warn";
    push @speech, $line if $t eq "speech-ready" || $t eq "speech-off";
    if ($t eq "speech" && $line =~ /"final":true/) {
      my ($start) = $line =~ /"startMs":(\d+)/;
      my ($end) = $line =~ /"endMs":(\d+)/;
      my ($text) = $line =~ /"text":"([^"]*)","track"/;
      my ($track) = $line =~ /"track":"([^"]+)"/;
      push @speech, sprintf("%-4s %6.2f-%6.2f s  %s\n", $track, $start / 1000, $end / 1000, $text);
    }
  }
  printf "%-12s %5d\n", $_, $count{$_} for sort keys %count;
  print "== the microphone and the mute answers (\"ms\": where the change lies in the recording)\n", @answers;
  print "== live transcription: the final results (times in the recording)\n", @speech;
' <"$out/events.bin"

echo "== lumeno-audio inspect"
"$audio" inspect --dir "$recording"
echo

echo "== a picture of both tracks"
for name in me them; do
  "$audio" decode "$recording/$name.m4a" >"$out/$name.f32"
  sox -q -t raw -r 16000 -e float -b 32 -c 1 "$out/$name.f32" "$out/$name.wav"
done
sox -q -M "$out/me.wav" "$out/them.wav" "$out/both.wav"
sox "$out/both.wav" -n rate 16k spectrogram -x 1200 -y 257 -z 80 \
  -t "lumeno-audio record: me (top), them (bottom); muted about 3-5 s (me), paused about 6.5-8 s (both)" \
  -c "$(date -u +%Y-%m-%d)" -o "$out/recording.png"
printf 'me.m4a and them.m4a: %s s each\n' "$(soxi -D "$out/me.wav")"
echo "picture: $out/recording.png"
