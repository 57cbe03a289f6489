#!/usr/bin/env bash
# Takes the README's screenshots (docs/images/) from the installed demo under a
# virtual X server: the three demo links pasted and started, the HD stream
# throttled so that it is still downloading in the first picture, in a window
# wide enough for every column.
#   scripts/demo/screenshots.sh [build dir]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="$build/shots-work"
rm -rf "$work" && mkdir -p "$work/run" && chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
pids=()
cleanup() { for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done; }
trap cleanup EXIT

cmake --install "$build" --prefix "$work/app" >/dev/null
bin="$work/app/bin"
mapfile -t videos < <("$root/scripts/demo/make-demo.sh" "$build/demo")
# The HD stream at 4 KB/s per connection (20 KB/s for its five).
awk '/^itag = 22$/ { print; print "rate = 4096"; next } { print }' \
  "$build/demo/catalogue.ini" >"$work/catalogue.ini"
exec {sim_out}< <(exec "$build/bin/sitesim" "$work/catalogue.ini" 2>"$work/sitesim.log")
pids+=($!)
read -r -t 30 -u "$sim_out" address
exec {x_out}< <(exec Xvfb -displayfd 1 -noreset -screen 0 1600x1000x24 -nolisten tcp 2>"$work/xvfb.log")
pids+=($!)
read -r -t 30 -u "$x_out" display_no
export DISPLAY=":$display_no"
exec {bus_out}< <(exec dbus-daemon --session --nofork --nopidfile --print-address=1 2>/dev/null)
pids+=($!)
read -r -t 30 -u "$bus_out" DBUS_SESSION_BUS_ADDRESS
export DBUS_SESSION_BUS_ADDRESS
for f in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
  [ -x "$f" ] && { "$f" --launch-immediately >/dev/null 2>&1 & pids+=($!); break; }
done

. "$root/scripts/demo/ini.sh"
settings="$bin/settings.ini"
ini_set "$settings" Options IsProxy 1
ini_set "$settings" Options ProxyAdress "${address%:*}"
ini_set "$settings" Options ProxyPort "${address##*:}"
ini_set "$settings" Options AutoPaste 1
ini_set "$settings" Options DeleteVideo 1
# Wide enough for every column, Speed and Time left included.
ini_set "$settings" Window Left 40
ini_set "$settings" Window Top 40
ini_set "$settings" Window Width 1400
ini_set "$settings" Window Height 640
env -u QT_QPA_PLATFORM QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
  "$bin/vantorel" >"$work/vantorel.out" 2>&1 &
pids+=($!)
a11y() { python3 "$root/tests/e2e/a11y.py" "$@"; }
a11y headers >/dev/null
row=0
for entry in "${videos[@]}"; do
  id="${entry%% *}"
  printf '%s' "http://www.youtube.com/watch?v=$id" | xclip -selection clipboard
  a11y wait-cell "$row" 0 "re:.+" 30 >/dev/null
  row=$((row + 1))
done
read -r x y < <(a11y center "push button" Start)
xdotool mousemove --sync "$x" "$y" click 1
xdotool mousemove 0 0
a11y wait-cell 0 2 "Successfully!" 60 >/dev/null
a11y wait-cell 1 2 "Successfully!" 60 >/dev/null
a11y wait-cell 2 8 "re:.*B/s" 30 >/dev/null
sleep 3 # the rate window fills
window="$(xdotool search --onlyvisible --name '^Vantorel 1\.0$' | head -1)"
import -display "$DISPLAY" -window "$window" "$root/docs/images/main-window.png"
a11y wait-cell 2 2 "Successfully!" 120 >/dev/null
sleep 1 # the last refresh clears the run's figures
import -display "$DISPLAY" -window "$window" "$root/docs/images/main-window-finished.png"
echo "screenshots in $root/docs/images/"
