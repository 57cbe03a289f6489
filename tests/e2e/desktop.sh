# Sourced by the X checks: a simulator, an X server of its own, a session bus
# and the accessibility bus. Needs from the caller: the pids array (everything
# started goes into it, for the caller's cleanup), $work, $launcher (the
# accessibility bus launcher), fail and wait_for.

# start_sitesim <sitesim> <catalogue>: starts it and sets $address (host:port).
start_sitesim() {
  exec {sim_out}< <(exec "$1" "$2" 2>"$work/sitesim.log")
  pids+=($!)
  if ! read -r -t 30 -u "$sim_out" address || [[ "$address" != *:* ]]; then
    fail "the simulator did not start: $(cat "$work/sitesim.log")"
  fi
}

# start_desktop: a free display of its own (no reset when the last client
# leaves), accepting clients before it returns; exports DISPLAY and
# DBUS_SESSION_BUS_ADDRESS.
start_desktop() {
  exec {x_out}< <(exec Xvfb -displayfd 1 -noreset -screen 0 1280x1024x24 -nolisten tcp \
    2>"$work/xvfb.log")
  pids+=($!)
  read -r -t 30 -u "$x_out" display_no || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export DISPLAY=":$display_no"
  x_up() { xdpyinfo >/dev/null 2>&1; }
  wait_for 10 "the X server to accept clients" x_up
  exec {bus_out}< <(exec dbus-daemon --session --nofork --nopidfile --print-address=1 \
    2>"$work/dbus.log")
  pids+=($!)
  read -r -t 30 -u "$bus_out" DBUS_SESSION_BUS_ADDRESS ||
    fail "no session bus: $(cat "$work/dbus.log")"
  export DBUS_SESSION_BUS_ADDRESS
  "$launcher" --launch-immediately >"$work/at-spi.log" 2>&1 &
  pids+=($!)
}
