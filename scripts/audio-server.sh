#!/usr/bin/env bash
# A private audio server for the tests and the demo; never the user's own.
#
#   audio-server.sh start DIR [KIND]
#                               start a server whose files all live in DIR, wait until
#                               it is ready, print the address for PULSE_SERVER. KIND is
#                               pulseaudio (the default) or pipewire: PipeWire with its
#                               session manager and pulse server, on a private D-Bus
#                               session bus. Clients reach either at unix:DIR/native.
#   audio-server.sh stop DIR    stop the server of DIR (by its process id) and its helpers
#   audio-server.sh env DIR     print "export PULSE_SERVER=..." for a shell
#   audio-server.sh play DIR SINK FILE        play a sound file into a sink
#   audio-server.sh tone DIR SINK HZ SECONDS  play a sine tone (amplitude 0.5) into a sink
#   audio-server.sh graph-rate DIR HZ         PipeWire only: run its graph at HZ (0: its own
#                                             choice again), as a desktop does when a player
#                                             asks for another rate
#
# With LUMENO_AUDIO_SERVER_OWNER=PID set at start, the server is stopped as soon as
# that process is gone, so a test that dies half-way leaves no server behind.
#
# The server has two devices: the sink "test_speakers" (48 kHz stereo, the default
# output) and the source "test_mic" (48 kHz mono, the default input), which records
# what is played into the sink "test_mic_in".
set -euo pipefail

die() { echo "audio-server.sh: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: audio-server.sh start|stop|env|play|tone|graph-rate DIR [...]"
cmd=$1
dir=$2
shift 2

address() { echo "unix:$(cd "$dir" && pwd)/native"; }

alive() {
  # A zombie counts as gone.
  local pid=$1 state
  [ -r "/proc/$pid/stat" ] || return 1
  # It may go between the test and the read: then it is gone too.
  state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)
  [ -n "$state" ] && [ "$state" != Z ]
}

stop_pid() {
  local file=$1 pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -n "$pid" ] && alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.02; done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.02; done
  fi
  rm -f "$file"
}

stop_server() {
  stop_pid "$dir/watcher.pid"
  stop_pid "$dir/keeper.pid"
  stop_pid "$dir/mic-keeper.pid"
  # On PipeWire server.pid is its pulse server; the rest of the stack after it.
  stop_pid "$dir/server.pid"
  stop_pid "$dir/session-manager.pid"
  stop_pid "$dir/pipewire.pid"
  stop_pid "$dir/bus.pid"
}

client_env() {
  export PULSE_SERVER
  PULSE_SERVER=$(address)
  export HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config"
  export PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state"
}

# The devices, loaded into either server.
devices() {
  cat <<EOF
load-module module-null-sink sink_name=test_speakers rate=48000 channels=2 sink_properties=device.description=Speakers
load-module module-null-sink sink_name=test_mic_in rate=48000 channels=1 sink_properties=device.description=Microphone-input
load-module module-remap-source source_name=test_mic master=test_mic_in.monitor channels=1 source_properties=device.description=Microphone
set-default-sink test_speakers
set-default-source test_mic
EOF
}

start_pulseaudio() {
  {
    echo "load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1"
    devices
  } >"$dir/script.pa"
  pulseaudio -n -F "$dir/script.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit=yes \
    --use-pid-file=no ${LUMENO_AUDIO_SERVER_LOG_LEVEL:+--log-level=$LUMENO_AUDIO_SERVER_LOG_LEVEL} \
    --log-target="file:$dir/server.log" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/server.pid"
}

# PipeWire needs its session manager, and the session manager a D-Bus session
# bus: a private one, in the server's own folder.
start_pipewire() {
  export XDG_STATE_HOME="$dir/state"
  dbus-daemon --session --address="unix:path=$dir/runtime/bus" --fork --print-pid >"$dir/bus.pid"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/runtime/bus"
  pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
  echo $! >"$dir/pipewire.pid"
  # The session manager gives up at once when PipeWire does not answer yet.
  for _ in $(seq 500); do
    [ -S "$dir/runtime/pipewire-0" ] && break
    alive "$(cat "$dir/pipewire.pid")" || return 0
    sleep 0.02
  done
  wireplumber </dev/null >"$dir/session-manager.log" 2>&1 &
  echo $! >"$dir/session-manager.pid"
  pipewire-pulse </dev/null >"$dir/server.log" 2>&1 &
  echo $! >"$dir/server.pid"
  # Its pulse server listens in PULSE_RUNTIME_PATH; clients find it at DIR/native.
  local up=
  for _ in $(seq 500); do
    if [ -S "$dir/runtime/native" ] && pactl -s "unix:$dir/runtime/native" info >/dev/null 2>&1; then
      up=1
      break
    fi
    alive "$(cat "$dir/server.pid")" || break
    sleep 0.02
  done
  [ -n "$up" ] || return 0
  ln -sfn "$dir/runtime/native" "$dir/native"
  local line
  while read -r line; do
    # shellcheck disable=SC2086
    pactl $line >/dev/null || return 0
  done < <(devices)
}

start_server() {
  local kind=${1:-pulseaudio}
  case $kind in pulseaudio|pipewire) ;; *) die "unknown server kind $kind" ;; esac
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  # One left over from a run that was cut short goes first.
  stop_server
  mkdir -p "$dir/home" "$dir/runtime" "$dir/config" "$dir/state"
  chmod 700 "$dir/runtime"
  rm -f "$dir/native" "$dir"/*.log
  echo "$kind" >"$dir/kind"
  client_env
  "start_$kind"
  # Ready when the microphone is the default input.
  local ready=
  for _ in $(seq 500); do
    if pactl info 2>/dev/null | grep -q '^Default Source: test_mic$'; then ready=1; break; fi
    alive "$(cat "$dir/server.pid")" || break
    if [ -f "$dir/session-manager.pid" ]; then alive "$(cat "$dir/session-manager.pid")" || break; fi
    sleep 0.02
  done
  if [ -z "$ready" ]; then
    stop_server
    die "the $kind server did not come up (see the logs in $dir)"
  fi
  # An idle null sink renders in blocks of up to 2 s; one low-latency reader on the
  # speakers' monitor keeps new monitor streams from waiting that long for data.
  # The same for the microphone's input. Ready means data flows on both.
  parec --latency-msec=10 -d test_speakers.monitor >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/keeper.pid"
  parec --latency-msec=10 -d test_mic_in.monitor >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/mic-keeper.pid"
  # Suspending and resuming wakes a sink that is still in its first long sleep.
  local sink source
  if [ "$kind" = pulseaudio ]; then
    for sink in test_speakers test_mic_in; do
      pactl suspend-sink $sink 1 && pactl suspend-sink $sink 0
    done
  fi
  for source in test_speakers.monitor test_mic; do
    if ! timeout 5 sh -c "parec --latency-msec=10 -d $source | head -c 64 >/dev/null" 2>/dev/null; then
      stop_server
      die "no data from $source (see $dir/server.log)"
    fi
  done
  if [ -n "${LUMENO_AUDIO_SERVER_OWNER:-}" ]; then
    (
      trap - TERM
      while alive "$LUMENO_AUDIO_SERVER_OWNER"; do sleep 0.2; done
      rm -f "$dir/watcher.pid"
      stop_server
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watcher.pid"
  fi
  address
}

case $cmd in
  start) start_server "$@" ;;
  stop) stop_server ;;
  env) echo "export PULSE_SERVER=$(address)" ;;
  play)
    [ $# -eq 2 ] || die "usage: audio-server.sh play DIR SINK FILE"
    client_env
    paplay -d "$1" "$2"
    ;;
  tone)
    [ $# -eq 3 ] || die "usage: audio-server.sh tone DIR SINK HZ SECONDS"
    client_env
    sox -q -n -t raw -r 48000 -e float -b 32 -c 1 - synth "$3" sine "$2" vol 0.5 |
      pacat --latency-msec=20 -d "$1" --format=float32le --rate=48000 --channels=1 --raw
    ;;
  graph-rate)
    [ $# -eq 1 ] || die "usage: audio-server.sh graph-rate DIR HZ"
    [ "$(cat "$dir/kind" 2>/dev/null)" = pipewire ] || die "graph-rate: $dir is not a PipeWire server"
    client_env
    pw-metadata -n settings 0 clock.force-rate "$1" >/dev/null
    ;;
  *) die "unknown command $cmd" ;;
esac
