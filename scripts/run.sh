#!/usr/bin/env bash
# Installs what is missing, builds, installs the program into an app folder of its
# own and starts it.
#
#   scripts/run.sh          demo: build/app/bin, talking to the local video-site
#                           simulator (no network needed), which serves a few
#                           generated clips; prints the links to paste
#   scripts/run.sh --real   the real network: build/app-real/bin, no simulator; its
#                           settings.ini is the user's own and never edited here
#
# BUILD_DIR overrides build/. Closing the program stops the simulator.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

mode=demo
for arg in "$@"; do
  case "$arg" in
    --real) mode=real ;;
    -h | --help)
      sed -n '2,12s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
      exit 0
      ;;
    *)
      echo "run.sh: unknown option $arg (try --help)" >&2
      exit 2
      ;;
  esac
done

# Only what the program and the demo need; the test suite is built by scripts/test.sh.
BUILD_DIR="$build" BUILD_TARGETS="vantorel cvtcore sitesim_program" "$root/scripts/build.sh"
if [ ! -x "$build/bin/vantorel" ]; then
  echo "run.sh: $build/bin/vantorel was not built (configured with VANTOREL_BUILD_APP=OFF?)" >&2
  exit 1
fi

# The program keeps settings.ini, Log.txt and its output folder beside itself, so
# each mode gets a folder of its own and the demo never touches the real settings.
if [ "$mode" = real ]; then prefix="$build/app-real"; else prefix="$build/app"; fi
cmake --install "$build" --prefix "$prefix" >/dev/null
bin="$prefix/bin"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no display found; on a machine without one, try:" >&2
  echo "  xvfb-run -a -s \"-screen 0 1280x1024x24\" scripts/run.sh" >&2
fi

sim_pid=""
app_pid=""
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill -TERM "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [ "$mode" = demo ]; then
  # shellcheck source=scripts/demo/ini.sh
  . "$root/scripts/demo/ini.sh"
  demo="$build/demo"
  mapfile -t videos < <("$root/scripts/demo/make-demo.sh" "$demo")

  # The simulator prints its proxy address as its first line; reading it from a
  # pipe waits exactly as long as the start takes.
  exec {sim_out}< <(exec "$build/bin/sitesim" "$demo/catalogue.ini" 2>"$demo/sitesim.log")
  sim_pid=$!
  if ! read -r -t 30 -u "$sim_out" address || [[ "$address" != *:* ]]; then
    echo "run.sh: the video-site simulator did not start:" >&2
    cat "$demo/sitesim.log" >&2
    exit 1
  fi
  host="${address%:*}"
  port="${address##*:}"

  # Point the demo folder's proxy at this simulator, unless the user has chosen
  # a proxy of their own there: only a missing file, an empty proxy address or
  # the address the previous demo run wrote get replaced. Other keys stay.
  settings="$bin/settings.ini"
  last_file="$prefix/.demo-proxy"
  last="$(cat "$last_file" 2>/dev/null || true)"
  cur_host="$(ini_get "$settings" Options ProxyAdress)"
  cur_port="$(ini_get "$settings" Options ProxyPort)"
  if [ ! -f "$settings" ] || [ -z "$cur_host" ] || [ "$cur_host:$cur_port" = "$last" ]; then
    ini_set "$settings" Options IsProxy 1
    ini_set "$settings" Options ProxyAdress "$host"
    ini_set "$settings" Options ProxyPort "$port"
    echo "$address" >"$last_file"
  else
    echo "run.sh: $settings uses the proxy $cur_host:$cur_port, which was not set by" >&2
    echo "  this script; the demo links need the simulator at $address. Enter that in" >&2
    echo "  Options... or delete settings.ini to let this script set it." >&2
  fi

  echo
  echo "Vantorel demo: the video-site simulator runs at $address (the proxy in Options)."
  echo "Copy a link below, then press Paste (or tick 'Auto paste' in Options...):"
  for entry in "${videos[@]}"; do
    printf '  http://www.youtube.com/watch?v=%-14s %s\n' "${entry%% *}" "${entry#* }"
  done
else
  echo
  echo "Vantorel on the real network (proxy settings: Options... in the program)."
fi
echo "App folder: $bin (settings.ini, presets.ini, Log.txt; converted files go to Temp)"
echo

# In the background so that a signal to this script is handled at once; the
# trap then ends the program and the simulator.
"$bin/vantorel" &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=""
exit "$status"
