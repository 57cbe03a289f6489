#!/usr/bin/env bash
# The user's part of deb_check.sh, run as that user with a fresh HOME:
#   installed_run.sh <package root> <tools folder> <work folder>
# Serves a 3-second clip from the simulator, sets it as proxy in
# ~/.config/vantorel/settings.ini, starts <root>/usr/bin/vantorel on its own Xvfb
# with a session and an accessibility bus, puts a watch link on the clipboard,
# presses Paste and Start, waits for "Successfully!" and closes the window as a
# window manager would. The job table and the buttons are found through the
# accessibility bus (tests/e2e/a11y.py); clicks are real pointer clicks.
set -euo pipefail
root="${1:?}" tools="${2:?}" work="${3:?}"
started=$SECONDS
shot_no=0
shot() {
  shot_no=$((shot_no + 1))
  [ -n "${DISPLAY:-}" ] && import -display "$DISPLAY" -window root "$work/$shot_no-$1.png" 2>/dev/null
}
fail() {
  echo "FAIL ($((SECONDS - started)) s): $*" >&2
  shot failure || true
  exit 1
}
step() { echo "[$((SECONDS - started)) s] $*"; }
wait_for() {
  local limit=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    [ $SECONDS -lt $limit ] || fail "timed out waiting for $what"
    sleep 0.2
  done
}

launcher=""
for f in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [ -x "$f" ] && launcher="$f" && break
done
[ -n "$launcher" ] || fail "no at-spi-bus-launcher; run scripts/deps.sh"
mkdir -p "$work/run"
chmod 0700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"

pids=()
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# ---- the site ----
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=320x240:rate=25:duration=3" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=3" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 96k -shortest "$work/tone.mp4"
printf '[video deb-tone]\ntitle = Package Check Tone\nlength = 3\n\n[stream]\nitag = 18\nquality = medium\ncontent_type = video/mp4\nfile = %s\n' \
  "$work/tone.mp4" >"$work/catalogue.ini"
# shellcheck source=tests/e2e/desktop.sh
. "$tools/desktop.sh"
start_sitesim "$tools/sitesim" "$work/catalogue.ini"

# ---- display and buses ----
start_desktop
step "display $DISPLAY, simulator at $address"

# ---- the user's settings before the first start: the simulator as proxy ----
# shellcheck source=scripts/demo/ini.sh
. "$tools/ini.sh"
settings="$HOME/.config/vantorel/settings.ini"
mkdir -p "${settings%/*}"
ini_set "$settings" Options IsProxy 1
ini_set "$settings" Options ProxyAdress "${address%:*}"
ini_set "$settings" Options ProxyPort "${address##*:}"

# ---- the installed program ----
QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$root/usr/bin/vantorel" \
  >"$work/vantorel.out" 2>&1 &
app_pid=$!
pids+=("$app_pid")
window=""
find_window() { window="$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -1)"; [ -n "$window" ]; }
wait_for 30 "the main window" find_window
a11y() { python3 "$tools/a11y.py" "$@"; }
click() {
  local x y
  read -r x y < <(a11y center "push button" "$1") || fail "no $1 button"
  xdotool mousemove --sync "$x" "$y" click 1
}
step "window $window is up"

printf '%s' "http://www.youtube.com/watch?v=deb-tone" | xclip -quiet -selection clipboard >/dev/null 2>&1 &
pids+=($!)
# xclip owns the selection once it answers a read of it.
clipboard_ready() { [ -n "$(xclip -o -selection clipboard 2>/dev/null)" ]; }
wait_for 10 "the clipboard" clipboard_ready
click Paste
got="$(a11y wait-cell 0 0 'Package Check Tone' 30)" || fail "no job row for the link (file name '$got')"
step "the job appeared"
click Start
got="$(a11y wait-cell 0 2 "re:Successfully!|Download failed|Stopped|Can't convert.*" 60)" ||
  fail "the job did not end; its state reads '$got'"
[ "$got" = "Successfully!" ] || fail "the job ended as '$got'"
step "Successfully!"
shot finished

python3 "$tools/xclose.py" "$window" || fail "could not send WM_DELETE_WINDOW"
app_exited() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for 20 "the program to end" app_exited
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status: $(cat "$work/vantorel.out")"
step "closed"
