#!/usr/bin/env bash
# A playlist of 50 videos pasted into the real main window (offscreen): time from
# the paste to the last entry ready with 4 readings at once and with 1, and the
# GUI thread's largest stall meanwhile. The listing comes from a small wrapper;
# every entry is a simulator page read by the installed yt-dlp.
# Run twice: pages answered at once (the readings are then bound by yt-dlp's own
# CPU time) and after 300 ms each (a site's latency; yt-dlp asks for a page more
# than once).
# Usage: bench/playlist_bench.sh [build dir] [entries]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
command -v yt-dlp >/dev/null || { echo "missing yt-dlp: run scripts/deps.sh" >&2; exit 1; }
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 playlist_run >/dev/null
work="$(mktemp -d /tmp/vantorel-playlist.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cat >"$work/yt-dlp" <<'WRAP'
#!/bin/sh
for a in "$@"; do link=$a; done
case "$link" in
  */list)
    printf '{"_type":"playlist","title":"Bench list","entries":['
    i=0
    while [ "$i" -lt "$PLAYLIST_BENCH_COUNT" ]; do
      [ "$i" -gt 0 ] && printf ','
      printf '{"_type":"url","url":"%s%d.html","title":"Entry %d"}' "$PLAYLIST_BENCH_BASE" "$i" "$i"
      i=$((i + 1))
    done
    printf ']}\n' ;;
  *) exec yt-dlp "$@" ;;
esac
WRAP
chmod +x "$work/yt-dlp"
for delay in 0 300; do
  QT_QPA_PLATFORM=offscreen "$build/bench/playlist_run" "$build/bin" "$work/yt-dlp" "${2:-50}" "$delay" \
    2> >(grep -v XDG_RUNTIME_DIR >&2)
done
