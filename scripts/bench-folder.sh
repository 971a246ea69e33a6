#!/bin/sh
# Times join and compact on long recordings made with the project's own
# writer and prints wall time, CPU time and peak memory of each run.
#
#   scripts/bench-folder.sh [BUILD_DIR] [MINUTES_PER_PART ...]
#
# Each recording has two parts per source ("me", "them") of the given length
# with a 60 s gap between them. join runs on it as it is; compact runs on a
# copy of the joined files that ffmpeg re-encoded as AAC-LC 64 kbit/s, so that
# compact has to decode and encode both files (on the joined HE-AAC files it
# would rightly answer null).
set -eu
build=${1:-build}
shift || true
[ $# -gt 0 ] || set -- 30 5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

measure() {  # label command...
  label=$1; shift
  /usr/bin/time -v "$@" >"$work/out" 2>"$work/time" || { cat "$work/time" >&2; exit 1; }
  awk -v label="$label" -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); wall = 0; for (i = 1; i <= n; i++) wall = wall * 60 + p[i] }
    /User time/ { user = $2 } /System time/ { sys = $2 }
    /Maximum resident set size/ { rss = $2 }
    END { printf "%-28s wall %7.2f s  cpu %7.2f s  peak rss %6.1f MB\n", label, wall, user + sys, rss / 1024 }
  ' "$work/time"
}

for minutes in "$@"; do
  dir=$work/rec-$minutes
  "$build/folder-bench" "$dir" "$minutes" 60
  total=$(awk -v m="$minutes" 'BEGIN { print 2 * m + 1 }')
  measure "join ${total} min (both)" "$build/lumeno-audio" join --dir "$dir"
  lc=$work/lc-$minutes staging=$work/staging-$minutes
  mkdir -p "$lc" "$staging"
  for name in me them; do
    ffmpeg -v error -y -i "$dir/$name.m4a" -c:a aac -b:a 64k "$lc/$name.m4a"
  done
  measure "compact ${total} min (both)" "$build/lumeno-audio" compact --dir "$lc" --out "$staging"
  cat "$work/out"
  rm -rf "$dir" "$lc" "$staging"
done
