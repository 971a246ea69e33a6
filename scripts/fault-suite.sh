#!/usr/bin/env bash
# The fault suite: record and the folder tools under faults, on a private
# audio server of its own. SECONDS (default 600) is shared out among:
#   kills    record killed (SIGKILL) at random moments, each time resumed as
#            the next part, then join: every killed part decodes to at least
#            its elapsed time minus 5.5 s (a 5 s fragment, and the time audio
#            takes from the device into the file), a click played into both
#            tracks of a part lands in both within 20 ms, join merges every
#            part and the joined files hold each part's click at its place
#            (20 ms)
#   server   the audio server killed and restarted 5 times during a recording:
#            "stop" gives exit 0, both files as long as the clock (0.5 s), a
#            click afterwards in both within 20 ms
#   devices  random device events (defaults changed, devices plugged and
#            unplugged at 44.1 or 48 kHz): exit 0, files as long as the clock,
#            every change of the default output or to a default input that
#            is a microphone answered by "device-changed" within 3 s, and the
#            last "mic" event names the microphone in use
#   disk     a full disk (a small tmpfs as the recording folder; skipped when
#            nothing can be mounted): "stop" gives exit 0, what reached the
#            disk decodes; join and compact on the full disk fail with their
#            messages and leave every original as it was
#   stdout   standard output closed, and standard input and output gone
#            together: exit 0, both files as long as the clock
#   scripts/fault-suite.sh [SECONDS]
# BUILD (default build) holds lumeno-audio; FAULTS (default all, in the order
# above) names the faults to try. Every check prints one line;
# exits non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
bin=$(realpath "${BUILD:-build}/lumeno-audio")
player=$(realpath "${BUILD:-build}/tests/lumeno-test-player")
[ -x "$bin" ] && [ -x "$player" ] || { echo "fault-suite.sh: no $bin or $player (run scripts/build.sh)" >&2; exit 1; }

work=$(mktemp -d /tmp/lumeno-faults-XXXXXX)
server=$work/server
failures=0
mounted=
cleanup() {
  [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
  scripts/audio-server.sh stop "$server" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
LUMENO_AUDIO_SERVER_OWNER=$$ scripts/audio-server.sh start "$server" >/dev/null || exit 1
export PULSE_SERVER=unix:$server/native LUMENO_AUDIO_TEST=1

ok() { echo "  ok   $*"; }
bad() { echo "  FAIL $*"; failures=$((failures + 1)); }
now() { date +%s.%N; }
# Seconds of audio a file decodes to (0 when it does not decode).
decoded() { "$bin" decode "$1" 2>/dev/null | wc -c | awk '{printf "%.3f", $1 / 64000}'; }
# Whether the condition of two numbers holds: holds A '>=' B
holds() { awk -v a="$1" -v b="$3" "BEGIN { exit !(a $2 b) }"; }
random() { echo $((RANDOM % ($2 - $1 + 1) + $1)); }
# click SECONDS: one click into the speakers and the microphone's input at
# once, SECONDS from now, played by a process outside the recorder's family
# (setsid -f: its parent is not this shell), as another application's sound.
click() {
  setsid -f "$player" --sink test_speakers --sink test_mic_in --seconds "$(awk -v s="$1" 'BEGIN { print s + 1 }')" \
    --click-in "$1" >/dev/null 2>&1
}
# loudest FILE FROM TO: the time (s) of FILE's loudest sample between FROM and
# TO seconds; "none" when nothing there is louder than -20 dBFS.
loudest() {
  "$bin" decode "$1" 2>/dev/null | od -An -v -f -w4 | awk -v from="$2" -v to="$3" '
    { t = (NR - 1) / 16000; if (t < from) next; if (t > to) exit
      v = $1 < 0 ? -$1 : $1; if (v > best) { best = v; at = t } }
    END { if (best > 0.1) printf "%.4f", at; else print "none" }'
}
# apart A B: |A - B| in ms, or a large number when either is "none".
apart() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "none" || b == "none") print 1e9; else printf "%.1f", (a > b ? a - b : b - a) * 1000 }'; }

# start DIR [ARGS...]: record into DIR, its standard input a fifo held open on
# fd 7, its events and log in the files named by events and log (next to DIR
# unless set); sets pid.
start() {
  local dir=$1
  events=${eventsFile:-$dir.events} log=${logFile:-$dir.log}
  shift
  rm -f "$work/in"
  mkfifo "$work/in"
  exec 7<>"$work/in"
  "$bin" record --dir "$dir" "$@" <"$work/in" >"$events" 2>>"$log" &
  pid=$!
}
# started: waits (up to 10 s) for the recorder's first event, the closest
# the suite gets to its program time 0, and prints that moment.
started() {
  local i
  for i in $(seq 500); do
    [ -s "$events" ] && break
    sleep 0.02
  done
  now
}
# sinceBegun: seconds since the moment `started` printed (in begun).
sinceBegun() { awk -v a="$begun" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
# stop: "stop", then the exit status in status.
stop() {
  echo stop >&7
  waitFor 30
  exec 7>&-
}
# waitFor SECONDS: the recorder's exit status in status, 124 when it still runs.
waitFor() {
  local i
  for i in $(seq $(($1 * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    status=124
  else
    wait "$pid"
    status=$?
  fi
}
# clockCheck DIR SECONDS NAME: both files of DIR as long as SECONDS, 0.5 s either way.
clockCheck() {
  local f length
  for f in me them; do
    length=$(decoded "$1/$f.m4a")
    if holds "$(awk -v a="$length" -v b="$2" 'BEGIN { print (a > b ? a - b : b - a) }')" '<=' 0.5; then
      ok "$3: $f.m4a ${length} s for ${2} s of clock"
    else
      bad "$3: $f.m4a ${length} s for ${2} s of clock"
    fi
  done
}

kills() {
  local dir=$work/kills budget=$1 part=0 startMs=0 begun elapsed file length f
  echo "== kills: record killed at random moments and resumed for ${budget} s, then join"
  mkdir -p "$dir"
  local until=$(($(date +%s) + budget)) n=0
  # Where the latest audio of each source ends on the recording's timeline.
  declare -A reach=([me]=0 [them]=0)
  # Where each part's click lies in its own files (seconds), and the part's start.
  declare -A clickAt=() startOf=()
  while [ "$(date +%s)" -lt "$until" ] || [ $n -lt 3 ]; do
    if [ $part -eq 0 ]; then start "$dir"; else start "$dir" --part $part --start-ms "$startMs"; fi
    begun=$(started)
    click 0.8
    sleep "$(random 1 12).$(random 0 9)"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    exec 7>&-
    elapsed=$(sinceBegun)
    for f in me them; do
      file=$dir/$f.m4a
      [ $part -gt 0 ] && file=$dir/$f.$part.m4a
      length=$(decoded "$file")
      reach[$f]=$(awk -v r="${reach[$f]}" -v s="$startMs" -v l="$length" \
        'BEGIN { e = l > 0 ? s / 1000 + l : 0; printf "%.3f", (e > r ? e : r) }')
      # A fragment goes to disk once 5 s of audio are encoded, and audio
      # reaches the encoder 0.1-0.3 s after it was heard (device latency,
      # the mix's lag, the encoder's look-ahead): allow half a second.
      if holds "$length" '>=' "$(awk -v e="$elapsed" 'BEGIN { print e - 5.5 }')"; then
        ok "part $part killed after $elapsed s: $(basename "$file") $length s"
      else
        bad "part $part killed after $elapsed s: $(basename "$file") $length s"
      fi
      holds "$length" '>' 3 && clickAt[$part.$f]=$(loudest "$file" 0 "$length")
    done
    startOf[$part]=$startMs
    # A part whose files reached the click: the click lies at the same place in both.
    if [ -n "${clickAt[$part.me]:-}" ]; then
      local d
      d=$(apart "${clickAt[$part.me]}" "${clickAt[$part.them]}")
      holds "$d" '<=' 20 && ok "part $part: the click is $d ms apart in me and them" ||
        bad "part $part: the click is at ${clickAt[$part.me]} s in me and ${clickAt[$part.them]} s in them"
    fi
    startMs=$(awk -v s="$startMs" -v e="$elapsed" 'BEGIN { printf "%d", s + e * 1000 }')
    part=$((part + 1))
    n=$((n + 1))
  done
  "$bin" join --dir "$dir" 2>"$dir.join"
  status=$?
  [ $status -eq 0 ] && ok "join after $n kills" || bad "join after $n kills: status $status: $(cat "$dir.join")"
  # Every part with audio was merged: the joined file reaches the end of the
  # latest one, and no part file or part metadata is left.
  for f in me them; do
    length=$(decoded "$dir/$f.m4a")
    left=$(find "$dir" -name "$f.*.m4a" -o -name "part.*.json" | wc -l)
    if [ "$left" -eq 0 ] && holds "$length" '>=' "$(awk -v r="${reach[$f]}" 'BEGIN { print r - 0.1 }')"; then
      ok "joined $f.m4a $length s (its last part ends at ${reach[$f]} s), nothing left over"
    else
      bad "joined $f.m4a $length s (its last part ends at ${reach[$f]} s), $left part files left"
    fi
  done
  # Every part's click is in the joined files where the part starts plus
  # where it lay in the part's own file.
  local key at found
  for key in "${!clickAt[@]}"; do
    [ "${clickAt[$key]}" = none ] && continue
    p=${key%.*} f=${key#*.}
    at=$(awk -v s="${startOf[$p]}" -v c="${clickAt[$key]}" 'BEGIN { printf "%.4f", s / 1000 + c }')
    found=$(loudest "$dir/$f.m4a" "$(awk -v a="$at" 'BEGIN { print a - 0.3 }')" "$(awk -v a="$at" 'BEGIN { print a + 0.3 }')")
    holds "$(apart "$at" "$found")" '<=' 20 && ok "joined $f.m4a: part $p's click at $found s (its place $at s)" ||
      bad "joined $f.m4a: part $p's click at $found s, its place $at s"
  done
  sed 's/^/  join: /' "$dir.join" | head -5
  tried+=("kills: $n")
}

# server SECONDS: the audio server killed and started again 5 times.
server() {
  local dir=$work/server-faults begun gap
  gap=$(awk -v b="$1" 'BEGIN { g = b / 6 - 1; printf "%d", g < 2 ? 2 : g }')
  echo "== server: the audio server killed and restarted 5 times, ${gap} s apart"
  mkdir -p "$dir"
  start "$dir"
  begun=$(started)
  for i in 1 2 3 4 5; do
    sleep "$gap"
    kill -KILL "$(cat "$server/server.pid")"
    sleep 0.$(random 1 9)
    LUMENO_AUDIO_SERVER_OWNER=$$ scripts/audio-server.sh start "$server" >/dev/null || bad "the audio server did not come back"
  done
  sleep "$gap"
  # After the last restart, a click into both tracks lands in both.
  local clock clickFrom
  clickFrom=$(sinceBegun)
  click 0.5
  sleep 2
  clock=$(sinceBegun)
  stop
  [ $status -eq 0 ] && ok "server: stop gives exit 0" || bad "server: stop gives $status: $(tail -3 "$dir.log")"
  clockCheck "$dir" "$clock" server
  local me them
  me=$(loudest "$dir/me.m4a" "$clickFrom" "$clock") them=$(loudest "$dir/them.m4a" "$clickFrom" "$clock")
  holds "$(apart "$me" "$them")" '<=' 20 && ok "server: a click after the restarts is $(apart "$me" "$them") ms apart in me and them" ||
    bad "server: a click after the restarts is at $me s in me and $them s in them"
  tried+=("server restarts: 5")
}

# devices SECONDS: random device events, about one a second.
devices() {
  local dir=$work/devices begun count plugged=() module rate
  count=$(($1 > 120 ? 100 : $1 * 100 / 120))
  echo "== devices: $count random device events in $1 s"
  mkdir -p "$dir"
  start "$dir"
  begun=$(started)
  # Every change of a default that the recorder must follow, with its moment
  # since the start. A monitor is no microphone: a default input that is one
  # leaves "me" without a device until a microphone is the default again.
  local changes=$work/devices.changes sink source lastSink lastSource
  : >"$changes"
  lastSink=$(pactl get-default-sink) lastSource=$(pactl get-default-source)
  for i in $(seq "$count"); do
    sleep "$(awk -v b="$1" -v c="$count" 'BEGIN { printf "%.2f", b / c * (0.5 + rand()) }')"
    case $(random 0 5) in
      0) pactl set-default-sink "$(pactl list short sinks | awk '{print $2}' | shuf -n1)" ;;
      1) pactl set-default-source "$(pactl list short sources | awk '{print $2}' | shuf -n1)" ;;
      2 | 3)
        rate=$(shuf -n1 -e 44100 48000)
        module=$(pactl load-module module-null-sink sink_name=fault_sink_$i rate=$rate channels=2) && plugged+=("$module")
        ;;
      4 | 5)
        if [ ${#plugged[@]} -gt 0 ]; then
          pactl unload-module "${plugged[0]}"
          plugged=("${plugged[@]:1}")
        fi
        ;;
    esac >/dev/null 2>&1
    sink=$(pactl get-default-sink 2>/dev/null) source=$(pactl get-default-source 2>/dev/null)
    [ "$sink" != "$lastSink" ] && echo "$(sinceBegun) output $sink" >>"$changes"
    [ "$source" != "$lastSource" ] && [[ $source != *.monitor ]] &&
      echo "$(sinceBegun) input $source" >>"$changes"
    lastSink=$sink lastSource=$source
  done
  sleep 2
  local inUse
  inUse=$(pactl list sources | awk -v want="$lastSource" '$1 == "Name:" { name = $2 } $1 == "Description:" && name == want { sub(/^[ \t]*Description: /, ""); print }')
  [[ $lastSource == *.monitor ]] && inUse=
  local clock
  clock=$(sinceBegun)
  stop
  for module in "${plugged[@]}"; do pactl unload-module "$module" >/dev/null 2>&1; done
  pactl set-default-sink test_speakers
  pactl set-default-source test_mic
  [ $status -eq 0 ] && ok "devices: stop gives exit 0" || bad "devices: stop gives $status: $(tail -3 "$dir.log")"
  clockCheck "$dir" "$clock" devices
  # When each "device-changed" warning was sent, as the span between the
  # "pcm" events around it ("ms" is a chunk's first sample, sent 100 to 300 ms
  # later; the level events are no clock, as a busy queue skips ticks), and
  # the last "mic" event's name.
  local reported missed lastMic
  reported=$(grep -a -o '{[^{}]*"t":"[a-z-]*"[^{}]*}' "$events" | awk '
    /"t":"pcm"/ { match($0, /"ms":-?[0-9]+/); ms = substr($0, RSTART + 5, RLENGTH - 5) / 1000
                  for (i = 1; i <= k; i++) print from[i], ms + 0.3; k = 0; last = ms; next }
    /"code":"device-changed"/ { from[++k] = last + 0.1 }
    END { for (i = 1; i <= k; i++) print from[i], 1e9 }')
  missed=$(awk -v reported="$reported" 'BEGIN { k = split(reported, r, "\n") }
    { for (i = 1; i <= k; i++) { split(r[i], span, " "); if (span[1] <= $1 + 3 && span[2] >= $1 - 0.2) next }
      print $1 " s: " $2 " " $3 }' "$changes")
  [ -z "$missed" ] && ok "devices: all $(wc -l <"$changes") default changes answered by device-changed ($(echo "$reported" | grep -c .) sent)" ||
    bad "devices: default changes without device-changed: $(echo $missed)"
  lastMic=$(grep -a -o '{[^{}]*"t":"mic"[^{}]*}' "$events" | tail -1)
  if [ -n "$inUse" ]; then
    [[ $lastMic == *"\"name\":\"$inUse\""* ]] && ok "devices: the last mic event names $inUse" ||
      bad "devices: the last mic event is $lastMic, the microphone in use $inUse"
  fi
  tried+=("device events: $count")
}

# disk SECONDS: the recording folder on a tmpfs that fills.
disk() {
  local dir=$work/full
  echo "== disk: recording onto a 256 KB tmpfs, full after 6.5 s, for $1 s"
  mkdir -p "$dir"
  if ! mount -t tmpfs -o size=256k tmpfs "$dir" 2>/dev/null; then
    echo "  skip disk: no tmpfs can be mounted here (needs root)"
    tried+=("full disk: skipped")
    return
  fi
  mounted=$dir
  # The events and log go elsewhere: only the recording is on the full disk.
  # Other files fill it once the first fragment is on it.
  eventsFile=$work/full.events logFile=$work/full.log start "$dir/rec"
  (sleep 6.5; head -c 1M /dev/zero >"$dir/filler" 2>/dev/null) &
  sleep "$1"
  local avail
  avail=$(df --output=avail -k "$dir" | tail -1)
  stop
  [ $status -eq 0 ] && ok "disk: stop gives exit 0 (${avail} KB left)" || bad "disk: stop gives $status: $(tail -3 "$work/full.log")"
  for f in me them; do
    holds "$(decoded "$dir/rec/$f.m4a")" '>=' 5 && ok "disk: $f.m4a decodes to $(decoded "$dir/rec/$f.m4a") s" ||
      bad "disk: $f.m4a decodes to $(decoded "$dir/rec/$f.m4a") s, not its first fragment"
  done
  sort "$work/full.log" | uniq -c | sed 's/^/  log: /' | head -5
  cp -r "$dir/rec" "$work/full-rec"
  umount "$dir" && mounted=

  # join and compact on a full disk, on a tmpfs with no room left for what
  # they write: join of a folder of two parts (the recording above twice
  # over), compact of one whose tracks are not compact (AAC at 128 kb/s).
  mount -t tmpfs -o size=1m tmpfs "$dir" && mounted=$dir || { bad "disk: no second tmpfs"; return; }
  local two=$dir/two big=$dir/big tool folder before args
  mkdir "$two" "$big" "$dir/staging"
  for f in me them; do
    cp "$work/full-rec/$f.m4a" "$two/$f.m4a"
    cp "$work/full-rec/$f.m4a" "$two/$f.1.m4a"
    ffmpeg -loglevel error -i "$work/full-rec/$f.m4a" -c:a aac -b:a 128k "$big/$f.m4a"
  done
  echo "{\"startMs\": $(awk -v l="$(decoded "$two/me.m4a")" 'BEGIN { printf "%d", l * 1000 + 500 }')}" >"$two/part.1.json"
  head -c 2M /dev/zero >"$dir/filler" 2>/dev/null
  for tool in join compact; do
    folder=$two args=()
    [ $tool = compact ] && folder=$big args=(--out "$dir/staging")
    before=$(cd "$folder" && md5sum ./*)
    "$bin" $tool --dir "$folder" "${args[@]}" >"$work/full.out" 2>"$work/full.$tool"
    status=$?
    if [ $status -ne 0 ] && grep -q "^$tool: " "$work/full.$tool"; then
      ok "disk: $tool on a full disk fails ($status): $(grep "^$tool: " "$work/full.$tool" | head -1)"
    else
      bad "disk: $tool on a full disk gives $status: $(head -2 "$work/full.$tool") $(head -c 200 "$work/full.out" 2>/dev/null)"
    fi
    [ "$(cd "$folder" && md5sum ./* 2>&1)" = "$before" ] && ok "disk: every original as it was after $tool" ||
      bad "disk: an original changed or went away after $tool: $(ls "$folder")"
  done
  umount "$dir" && mounted=
  tried+=("full disk: 1, join and compact on a full disk: 2")
}

# output SECONDS: the reader of standard output goes away, then the whole parent.
output() {
  local way dir begun clock
  for way in stdout parent; do
    dir=$work/$way
    echo "== $way: $way gone after $1 s"
    mkdir -p "$dir"
    rm -f "$work/in" "$work/out"
    mkfifo "$work/in" "$work/out"
    exec 7<>"$work/in"
    events=$dir.events
    cat "$work/out" >"$events" &
    local reader=$!
    "$bin" record --dir "$dir" <"$work/in" >"$work/out" 2>"$dir.log" &
    pid=$!
    begun=$(started)
    sleep "$1"
    kill -KILL $reader
    wait $reader 2>/dev/null
    [ $way = parent ] && exec 7>&-
    clock=$(sinceBegun)
    waitFor 15
    exec 7>&- 2>/dev/null
    [ $status -eq 0 ] && ok "$way: exit 0" || bad "$way: exit $status: $(tail -3 "$dir.log")"
    clockCheck "$dir" "$clock" $way
  done
  tried+=("stdout closed: 1, parent gone: 1")
}

tried=()
# Shares of the time: kills 40 %, server 15 %, devices 25 %, disk 10 %, output 10 %.
for fault in ${FAULTS:-kills server devices disk output}; do
  case $fault in
    kills) kills $((seconds * 40 / 100)) ;;
    server) server $((seconds * 15 / 100)) ;;
    devices) devices $((seconds * 25 / 100)) ;;
    disk) disk $((seconds * 10 / 100 > 10 ? seconds * 10 / 100 : 10)) ;;
    output) output $((seconds * 5 / 100 > 3 ? seconds * 5 / 100 : 3)) ;;
    *) bad "no fault called $fault" ;;
  esac
done
echo "== tried: ${tried[*]}; $failures checks failed"
[ $failures -eq 0 ]
