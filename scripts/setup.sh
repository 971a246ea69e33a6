#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# FDK AAC lives in Debian's non-free component, so a non-free entry is derived
# from the machine's own Debian source entries (same addresses and suites).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs packages)" >&2
  exit 1
fi

add_non_free() {
  local out=/etc/apt/sources.list.d/lumeno-non-free.sources
  [ -f "$out" ] || [ -f /etc/apt/sources.list.d/lumeno-non-free.list ] && return 0
  local tmp
  tmp=$(mktemp)
  # deb822 entries: copy each Debian stanza with Components set to non-free.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    [ "$f" = "$out" ] && continue
    awk '
      function flush() {
        if (stanza != "" && debian) {
          n = split(stanza, lines, "\n")
          for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^Components:/) print "Components: non-free"
            else if (lines[i] != "" && lines[i] !~ /^#/) print lines[i]
          }
          print ""
        }
        stanza = ""; debian = 0
      }
      /^[[:space:]]*$/ { flush(); next }
      { stanza = stanza $0 "\n" }
      /^Suites:/ && /(bookworm|bullseye|trixie|stable|sid)/ { debian = 1 }
      /^Signed-By:.*debian-archive-keyring/ { debian = 1 }
      END { flush() }
    ' "$f" >>"$tmp"
  done
  # One-line entries: "deb URI SUITE main ..." becomes "deb URI SUITE non-free".
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    awk '$1 == "deb" && $0 ~ / main( |$)/ && $0 ~ /debian/ {
           opts = ""; i = 2
           if ($2 ~ /^\[/) { opts = $2; i = 3 }
           print "deb " (opts != "" ? opts " " : "") $i " " $(i+1) " non-free"
         }' "$f" >>"$tmp.list"
  done
  if [ -s "$tmp" ]; then
    install -m 0644 "$tmp" "$out"
  elif [ -s "$tmp.list" ]; then
    install -m 0644 "$tmp.list" /etc/apt/sources.list.d/lumeno-non-free.list
  else
    echo "setup.sh: found no Debian source entry to derive a non-free entry from" >&2
  fi
  rm -f "$tmp" "$tmp.list"
}

add_non_free

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config git clang libclang-rt-14-dev \
  libfdk-aac-dev \
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg \
  libpulse-dev pulseaudio pulseaudio-utils \
  pipewire pipewire-pulse wireplumber dbus-daemon libpipewire-0.3-dev \
  nlohmann-json3-dev \
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us \
  festival festvox-us-slt-hts \
  libgtest-dev libgmock-dev libbenchmark-dev \
  espeak-ng sox socat binutils procps time \
  >/dev/null
