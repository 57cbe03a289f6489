#!/usr/bin/env bash
# What cvtcore's merge of a video+audio pair costs against ffmpeg's own stream
# copy with the same maps: 3 minutes of 640x360 video-only MP4 and AAC audio,
# merged into one MP4 without re-encoding. Prints hyperfine's figures and the
# pair's size (the merge is bound by reading and writing it).
# Usage: bench/stream_copy.sh [build dir]; SECONDS_LONG (default 180), RUNS (default 10).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 cvtcore >/dev/null
cvtcore="$build/bin/cvtcore"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
s="${SECONDS_LONG:-180}"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc=duration=$s:size=640x360:rate=25" \
  -c:v libx264 -preset ultrafast -an "$work/v.mp4"
ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:duration=$s" -c:a aac -b:a 128k \
  "$work/a.m4a"
echo "pair: $(du -k "$work/v.mp4" | cut -f1) KiB video + $(du -k "$work/a.m4a" | cut -f1) KiB audio, ${s} s"
hyperfine --warmup 1 --runs "${RUNS:-10}" -N \
  -n "cvtcore -merge" "$cvtcore -merge -i $work/v.mp4 -i $work/a.m4a -y $work/out1.mp4" \
  -n "ffmpeg -c copy" "ffmpeg -v error -nostdin -y -i $work/v.mp4 -i $work/a.m4a -map 0:v:0 -map 1:a:0 -c copy $work/out2.mp4"
