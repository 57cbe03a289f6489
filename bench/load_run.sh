#!/usr/bin/env bash
# 50 Download&Convert jobs at once in the real main window (offscreen), every
# stream a 3 s generated clip; prints the GUI thread's largest stall after Start,
# the run time, the outcome of every job and the peak RSS.
# With PAGE_DELAY_MS=ms every watch page is answered after that delay and the
# largest stall from the first paste to the end is printed as well.
# Usage: [PAGE_DELAY_MS=ms] bench/load_run.sh [build dir] [jobs] [rate bytes/s per connection]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 load_run cvtcore >/dev/null
work="$(mktemp -d /tmp/vantorel-load.XXXXXX)"
trap 'rm -rf "$work"' EXIT
ffmpeg -v error -f lavfi -i testsrc=duration=3:size=320x240:rate=25 \
  -f lavfi -i sine=frequency=440:duration=3 -c:v libx264 -preset ultrafast -c:a aac \
  -shortest "$work/clip.mp4"
QT_QPA_PLATFORM=offscreen "$build/bench/load_run" "$build/bin" "$work/clip.mp4" "${2:-50}" "${3:-0}"
