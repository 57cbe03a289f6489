#!/usr/bin/env bash
# End-to-end check of the installed program on a real X server:
#   e2e.sh <build dir> <source dir>
# Installs the program into a fresh folder, serves a short generated clip from the
# video-site simulator, turns AutoPaste on through settings.ini, copies a watch
# link with xclip, clicks Start, waits for "Successfully!", checks the MP3, closes
# the window as a window manager would and checks settings.ini and Log.txt.
#
# The job table is read through the accessibility bus (AT-SPI, as a screen reader
# reads it); the Start button's place comes from there too, and the click itself
# is a real pointer click. Screenshots go to <build>/e2e-shots/.
# Exits 77 (skipped) only when there is no Xvfb.
set -euo pipefail
build="$(cd "${1:?usage: e2e.sh <build dir> <source dir>}" && pwd)"
src="$(cd "${2:?usage: e2e.sh <build dir> <source dir>}" && pwd)"
here="$src/tests/e2e"

if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed (scripts/deps.sh installs it)"
  exit 77
fi
launcher=""
for f in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [ -x "$f" ] && launcher="$f" && break
done
missing=()
for tool in xdotool xclip import ffmpeg ffprobe python3 dbus-daemon gdbus; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -n "$launcher" ] || missing+=(at-spi-bus-launcher)
if [ ${#missing[@]} -gt 0 ]; then
  echo "FAIL: missing ${missing[*]}; run scripts/deps.sh" >&2
  exit 1
fi

started=$SECONDS
fail() {
  echo "FAIL ($((SECONDS - started)) s): $*" >&2
  shot failure || true
  exit 1
}
step() { echo "[$((SECONDS - started)) s] $*"; }

work="$build/e2e-work"
shots="$build/e2e-shots"
rm -rf "$work" "$shots"
mkdir -p "$work/run" "$shots"
chmod 700 "$work/run"
# The accessibility bus puts its socket here; Qt wants it private.
export XDG_RUNTIME_DIR="$work/run"

pids=()
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  # Newest first: the program before the buses and the display it uses.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# wait_for <seconds> <what> <command...>: polls the command until it succeeds.
wait_for() {
  local limit=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    [ $SECONDS -lt $limit ] || fail "timed out waiting for $what"
    sleep 0.2
  done
}

shot_no=0
shot() {
  shot_no=$((shot_no + 1))
  [ -n "${DISPLAY:-}" ] && import -display "$DISPLAY" -window root "$shots/$shot_no-$1.png"
}

# ---- the installed program ----
step "installing into $work/app"
cmake --install "$build" --prefix "$work/app" >/dev/null
bin="$work/app/bin"
if [ ! -x "$bin/vantorel" ] || [ ! -x "$bin/cvtcore" ]; then
  fail "the install lacks vantorel or cvtcore"
fi

# ---- the site: one 4-second clip ----
clip_seconds=4
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=320x240:rate=25:duration=$clip_seconds" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$clip_seconds" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 96k -shortest "$work/tone.mp4"
cat >"$work/catalogue.ini" <<CAT
[video e2e-tone]
title = End To End Tone
length = $clip_seconds

[stream]
itag = 18
quality = medium
content_type = video/mp4
file = ${work//\\/\\\\}/tone.mp4
CAT
# shellcheck source=tests/e2e/desktop.sh
. "$here/desktop.sh"
start_sitesim "$build/bin/sitesim" "$work/catalogue.ini"

# ---- X server (a free display of its own), session bus, accessibility bus ----
start_desktop
step "display $DISPLAY, simulator at $address"

# ---- settings.ini beside the program: AutoPaste on, the simulator as proxy ----
# shellcheck source=scripts/demo/ini.sh
. "$src/scripts/demo/ini.sh"
settings="$bin/settings.ini"
ini_set "$settings" Options IsProxy 1
ini_set "$settings" Options ProxyAdress "${address%:*}"
ini_set "$settings" Options ProxyPort "${address##*:}"
ini_set "$settings" Options AutoPaste 1
ini_set "$settings" Options DeleteVideo 1

# ---- the program ----
# The Qt bridge joins the accessibility bus as it does under a screen reader.
env -u QT_QPA_PLATFORM QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
  "$bin/vantorel" >"$work/vantorel.out" 2>&1 &
app_pid=$!
pids+=("$app_pid")
window=""
find_window() { window="$(xdotool search --onlyvisible --name '^Vantorel 1\.0$' 2>/dev/null | head -1)"; [ -n "$window" ]; }
wait_for 30 "the main window" find_window
a11y() { python3 "$here/a11y.py" "$@"; }
headers="$(a11y headers | tr '\n' '|')" || fail "the job table is not on the accessibility bus"
[ "$headers" = "File name|Time|State|Progress|Mode|Quality||Codec|Speed|Time left|" ] ||
  fail "table headers read '$headers'"
names="$(a11y names)"
for want in "table: Jobs" "text: Output folder" "push button: Start"; do
  grep -qxF "$want" <<<"$names" || fail "no '$want' on the accessibility bus"
done
step "window $window is up"
shot started

# ---- captions as the X server has them: a dialog's own caption, nothing appended ----
[ "$(xdotool getwindowname "$window")" = "Vantorel 1.0" ] ||
  fail "the main window's X title reads '$(xdotool getwindowname "$window")'"
dialog=""
find_dialog() { dialog="$(xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -1)"; [ -n "$dialog" ]; }
# check_caption <caption>: the visible window whose title starts with it has exactly
# that title; Escape then closes it.
check_caption() {
  wait_for 10 "the '$1' window" find_dialog "$1"
  local title
  title="$(xdotool getwindowname "$dialog")"
  [ "$title" = "$1" ] || fail "the X title reads '$title', not '$1'"
  xdotool windowactivate --sync "$dialog" key Escape 2>/dev/null || xdotool key Escape
  gone() { ! xdotool search --onlyvisible --name "^$1" >/dev/null 2>&1; }
  wait_for 10 "the '$1' window to close" gone "$1"
}
for button in "Options..." "Output name..."; do
  read -r x y < <(a11y center "push button" "$button") || fail "no $button button"
  xdotool mousemove --sync "$x" "$y" click 1
  check_caption "${button%...}"
done
# Start with a folder that does not exist: the message box has its own caption.
read -r x y < <(a11y center "text" "Output folder") || fail "no output folder field"
xdotool mousemove --sync "$x" "$y" click 1 key ctrl+a type "$work/no such folder"
read -r x y < <(a11y center "push button" Start) || fail "no Start button"
xdotool mousemove --sync "$x" "$y" click 1
check_caption "Start Convert"
read -r x y < <(a11y center "text" "Output folder")
xdotool mousemove --sync "$x" "$y" click 1 key ctrl+a type "$bin/Temp"
step "captions as given"

# ---- a watch link on the clipboard: AutoPaste adds the job ----
link="http://www.youtube.com/watch?v=e2e-tone"
printf '%s' "$link" | xclip -quiet -selection clipboard >/dev/null 2>&1 &
pids+=($!)
got="$(a11y wait-cell 0 0 'End To End Tone' 30)" || fail "no job row for the link (file name '$got')"
got="$(a11y wait-cell 0 1 00:00:04 10)" || fail "job time reads '$got'"
got="$(a11y wait-cell 0 2 'Wait...' 10)" || fail "job state reads '$got'"
step "the job appeared"
shot job-added

# ---- Start, clicked where the accessibility bus says the button is ----
read -r x y < <(a11y center "push button" Start) || fail "no Start button"
xdotool mousemove --sync "$x" "$y" click 1
# Any final state ends the wait, so a failure is reported at once.
got="$(a11y wait-cell 0 2 "re:Successfully!|Download failed|Stopped|Can't convert.*" 60)" ||
  fail "the job did not end; its state reads '$got'"
[ "$got" = "Successfully!" ] || fail "the job ended as '$got'"
got="$(a11y wait-cell 0 3 100 5)" || fail "progress reads '$got'"
step "Successfully!"
shot finished

# ---- the MP3 ----
out="$bin/Temp"
mp3="$out/End To End Tone.mp3"
[ -s "$mp3" ] || fail "no MP3; output folder holds: $(ls -A "$out")"
codec="$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$mp3")"
[ "$codec" = mp3 ] || fail "the output's audio codec is '$codec'"
duration="$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$mp3")"
awk -v d="$duration" -v want="$clip_seconds" 'BEGIN { exit !(d > want - 0.5 && d < want + 0.5) }' ||
  fail "the MP3 lasts $duration s, the clip $clip_seconds s"
others="$(find "$out" -mindepth 1 ! -name 'End To End Tone.mp3' -printf '%f ')"
[ -z "$others" ] || fail "DeleteVideo=1, yet the output folder also holds: $others"

# ---- close as the window manager's close button would ----
python3 "$here/xclose.py" "$window" || fail "could not send WM_DELETE_WINDOW"
app_exited() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for 20 "the program to end" app_exited
status=0
wait "$app_pid" || status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status: $(cat "$work/vantorel.out")"
step "closed"

# settings.ini: the program's keys in place of ours, its new keys after them, CR LF.
grep -qv $'\r$' "$settings" && fail "settings.ini has lines without CR LF"
expected="[Options]
IsProxy=1
ProxyAdress=${address%:*}
ProxyPort=${address##*:}
AutoPaste=1
DeleteVideo=1
ProxyUser=
ProxyPassword=
CodecIndex=0
[General]
Folder=$out
[OutName]
Prefix=
Postfix=
Separator=_
IncludeName=0
IncludeDate=0
SIndex=0
[YtDlp]
Program=
CookiesFromBrowser=
AutoPasteOtherSites=0"
# The window's place follows; its values are the window manager's.
actual="$(tr -d '\r' <"$settings" | sed '/^\[Window\]$/,$d')"
tr -d '\r' <"$settings" | grep -Eq '^Width=[0-9]+$' || fail "settings.ini keeps no window width"
[ "$actual" = "$expected" ] || fail "settings.ini after closing:
$actual
expected:
$expected"

# Log.txt: the program may log, but nothing it logged may be an error.
log="$bin/Log.txt"
if [ -f "$log" ] && grep -qiE 'error|exception|fail' "$log"; then
  fail "Log.txt reports trouble: $(cat "$log")"
fi
step "passed; screenshots in $shots"
