#!/usr/bin/env bash
# Wall time of a 60-second clip converted through the conversion worker (which
# runs cvtcore, which runs ffmpeg) against ffmpeg run directly with the same
# options. Prints the median of RUNS runs each and the overhead ratio.
# Usage: bench/convert_overhead.sh [build dir]   (RUNS=7 by default)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${RUNS:-7}"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 cvtcore convert_overhead >/dev/null
bin="$build/bin"
bench="$build/bench/convert_overhead"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=60" \
  -f lavfi -i "sine=frequency=660:sample_rate=44100:duration=60" \
  -filter_complex amerge=inputs=2 -c:a pcm_s16le "$work/clip.wav"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc=duration=60:size=320x240:rate=25" \
  -f lavfi -i "sine=duration=60" -shortest -c:v libx264 -preset ultrafast -c:a aac \
  "$work/clip.mp4"

median() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.3f", m}'; }

# Runs a command; appends "<wall s> <cpu s>" (cpu = user + sys of it and its children).
timed() {
  local TIMEFORMAT='%R %U %S' out
  out=$( { time "$@" >/dev/null 2>"$work/err" ; } 2>&1 ) || { cat "$work/err" >&2; exit 1; }
  awk '{printf "%.3f %.3f\n", $1, $2 + $3}' <<<"$out"
}

# $1 label; $2 direct ffmpeg options (after -i); $3 input; $4 output extension;
# the rest: worker arguments after <in> <out>.
compare() {
  local label="$1" direct="$2" in="$3" ext="$4"; shift 4
  local ww=() wc=() dw=() dc=() a b
  for ((i = 0; i < runs; i++)); do
    # Alternate the two so that machine load hits both alike. Both run the
    # encoder ten steps nicer: the program always starts it that way.
    read -r a b < <(timed "$bench" "$bin/" "$in" "$work/w.$ext" "$@")
    ww+=("$a"); wc+=("$b")
    # shellcheck disable=SC2086
    read -r a b < <(timed nice -n 10 ffmpeg -v error -nostdin -y -i "file:$in" $direct "file:$work/d.$ext")
    dw+=("$a"); dc+=("$b")
  done
  local mww mwc mdw mdc
  mww=$(printf '%s\n' "${ww[@]}" | median); mwc=$(printf '%s\n' "${wc[@]}" | median)
  mdw=$(printf '%s\n' "${dw[@]}" | median); mdc=$(printf '%s\n' "${dc[@]}" | median)
  awk -v l="$label" -v n="$runs" -v ww="$mww" -v wc="$mwc" -v dw="$mdw" -v dc="$mdc" 'BEGIN {
    printf "%s (median of %d)\n", l, n
    printf "  wall: worker+cvtcore %7.3f s   ffmpeg direct %7.3f s   overhead %+6.2f%%\n", ww, dw, (ww / dw - 1) * 100
    printf "  cpu:  worker+cvtcore %7.3f s   ffmpeg direct %7.3f s   overhead %+6.2f%%\n", wc, dc, (wc / dc - 1) * 100 }'
}

uptime
compare "60 s WAV -> MP3 128k" "-ar 44100 -b:a 128k -ac 2 -vn -c:a libmp3lame" \
  "$work/clip.wav" mp3 44100 128 2 libmp3lame
compare "60 s MP4 -> AVI mpeg4 320x240" \
  "-b:a 128k -b:v 512k -s 320x240 -ac 2 -c:v mpeg4 -c:a libmp3lame -r 29.97" \
  "$work/clip.mp4" avi 0 128 2 libmp3lame --video mpeg4 320x240 512
