#!/usr/bin/env bash
# The real program on an X server: a watch link whose page never answers is
# picked up from the clipboard, and closing the window (as a window manager's
# close button does) while the page hangs ends the program at once.
#   close_while_reading.sh <build dir> <source dir>
# Prints how long the end took. Exits 77 (skipped) when there is no Xvfb.
set -euo pipefail
build="$(cd "${1:?usage: close_while_reading.sh <build dir> <source dir>}" && pwd)"
src="$(cd "${2:?usage: close_while_reading.sh <build dir> <source dir>}" && pwd)"
here="$src/tests/e2e"
command -v Xvfb >/dev/null || { echo "SKIPPED: Xvfb is not installed"; exit 77; }
for tool in xdotool xclip xdpyinfo sqlite3 python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: missing $tool; run scripts/deps.sh" >&2; exit 1; }
done

started=$SECONDS
fail() { echo "FAIL ($((SECONDS - started)) s): $*" >&2; exit 1; }
wait_for() {
  local limit=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    [ $SECONDS -lt $limit ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}
work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/catalogue.ini" <<CAT
[video hang]
title = Never Answers
page_delay_ms = 600000

[stream]
itag = 18
size = 1000
CAT
exec {sim_out}< <(exec "$build/bin/sitesim" "$work/catalogue.ini" 2>"$work/sitesim.log")
pids+=($!)
read -r -t 30 -u "$sim_out" address || fail "the simulator did not start"

exec {x_out}< <(exec Xvfb -displayfd 1 -noreset -screen 0 1280x1024x24 -nolisten tcp \
  2>"$work/xvfb.log")
pids+=($!)
read -r -t 30 -u "$x_out" display_no || fail "Xvfb did not start"
export DISPLAY=":$display_no"
x_up() { xdpyinfo >/dev/null 2>&1; }
wait_for 10 "the X server" x_up

app="$work/app"
mkdir -p "$app"
cp "$build/bin/vantorel" "$build/bin/cvtcore" "$build/bin/presets.ini" "$app/"
printf '[Options]\r\nIsProxy=1\r\nProxyAdress=%s\r\nProxyPort=%s\r\nAutoPaste=1\r\n' \
  "${address%:*}" "${address##*:}" >"$app/settings.ini"
env -u QT_QPA_PLATFORM QT_QPA_PLATFORM=xcb "$app/vantorel" >"$work/vantorel.out" 2>&1 &
app_pid=$!
pids+=("$app_pid")
window=""
find_window() { window="$(xdotool search --onlyvisible --name '^Vantorel 1\.0$' 2>/dev/null | head -1)"; [ -n "$window" ]; }
wait_for 30 "the main window" find_window

printf '%s' "http://www.youtube.com/watch?v=hang" | xclip -quiet -selection clipboard >/dev/null 2>&1 &
pids+=($!)
# The journal shows the row being read (state 7) once the paste took it.
reading() {
  [ "$(sqlite3 -readonly "file:$app/jobs.db?mode=ro" 'SELECT count(*) FROM jobs WHERE state = 7' 2>/dev/null)" = 1 ]
}
wait_for 30 "the row being read" reading
# Long enough for both page requests to be under way.
sleep 1

closed_at=$(date +%s.%N)
python3 "$here/xclose.py" "$window" || fail "could not send WM_DELETE_WINDOW"
app_exited() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for 30 "the program to end" app_exited
ended_at=$(date +%s.%N)
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status: $(cat "$work/vantorel.out")"
awk -v a="$closed_at" -v b="$ended_at" 'BEGIN { printf "closed while reading a hanging link: ended after %.2f s\n", b - a }'
