#!/usr/bin/env bash
# The download engine (headless, set up as the main window sets it up) side by
# side with aria2c -x5 -s5 and curl, same files, same nginx on loopback:
#   A: one 1 GiB file, unthrottled
#   B: one 200 MiB file, nginx limit_rate 10m per connection
#   C: five 100 MiB files at once, three at a time (the engine's MaxStartedItems 3,
#      aria2c -j3, curl --parallel-max 3)
#   D: one 100 MiB stream served by the site simulator, whose second connection to
#      it runs at 100 KB/s and the others unthrottled (restarted before every run,
#      so each tool meets the slow connection); curl's one connection never does
# Prints wall time, throughput, user+sys CPU (also per GiB) and peak RSS per tool, and the
# ratios to aria2c and to curl. Everything lives under a
# temporary folder in /tmp, removed at the end. Usage: bench/download_bench.sh
# [build dir]   (RUNS=1: wall time the best of RUNS, CPU their median; SCENARIOS=ABCD: the ones to run, e.g. SCENARIOS=A)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${RUNS:-1}"
scenarios="${SCENARIOS:-ABCD}"
for tool in nginx aria2c curl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/deps.sh --bench" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (package time)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 download_bench sitesim_program >/dev/null
engine="$build/bench/download_bench"
sitesim="$build/bin/sitesim"

work="$(mktemp -d /tmp/vantorel-dlbench.XXXXXX)"
nginx_pid=""
sim_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www/throttled" "$work/out" "$work/nginx"
chmod 755 "$work"  # nginx's workers may run as another user

echo "Making the files..."
[[ $scenarios == *A* ]] && head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/a.bin"
[[ $scenarios == *B* ]] && head -c $((200 * 1024 * 1024)) /dev/urandom >"$work/www/throttled/b.bin"
# c1.bin also answers the readiness probe below.
for i in 1 2 3 4 5; do
  [[ $scenarios == *C* || $i == 1 ]] && head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/www/c$i.bin"
done
[[ $scenarios == *D* ]] && head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/www/d.bin"
chmod -R a+rX "$work/www"

port=$((20000 + RANDOM % 20000))
cat >"$work/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location /throttled/ { limit_rate 10m; }
  }
}
EOF
nginx -c "$work/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:$port/c1.bin" -r 0-0 && break; sleep 0.1; done
base="http://127.0.0.1:$port"

# run <label> <bytes> <cmd...>: $runs runs; prints "wall cpu rssKiB": the best
# wall time, the median CPU (user+sys) and the largest RSS. The CPU of one short
# run swings by ±25 % (C takes a third of a second), so the run with the best
# wall time does not stand for the CPU per byte.
run() {
  local bytes="$1"; shift
  local lines=""
  for ((r = 0; r < runs; r++)); do
    rm -f "$work/out"/*
    sync
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/log" 2>&1 || {
      echo "FAILED: $*" >&2; cat "$work/log" >&2; exit 1; }
    lines+=$(awk '{printf "%.3f %.3f %d\n", $1, $2 + $3, $4}' "$work/time")$'\n'
  done
  # Sorted by CPU: the middle line's CPU, and the best wall and largest RSS of all.
  sort -g -k2,2 <<<"${lines%$'\n'}" | awk '{ w[NR] = $1; c[NR] = $2; if ($3 > m) m = $3 }
    END { best = w[1]; for (i = 2; i <= NR; i++) if (w[i] < best) best = w[i]
          med = (NR % 2) ? c[(NR + 1) / 2] : (c[NR / 2] + c[NR / 2 + 1]) / 2
          printf "%.3f %.3f %d\n", best, med, m }'
}

# check <file in out> <source>: the download must equal the source.
check() { cmp -s "$work/out/$1" "$2" || { echo "MISMATCH: $1" >&2; exit 1; }; }

scenario() {
  local name="$1" bytes="$2"; shift 2
  local urls=("$@") e a c files=()
  for u in "${urls[@]}"; do files+=("${u##*/}"); done
  local srcs=()
  for u in "${urls[@]}"; do srcs+=("$work/www/${u#"$base"/}"); done
  local aria_opts=(-x5 -s5 -k1M --file-allocation=falloc --allow-overwrite=true
    --auto-file-renaming=false --console-log-level=error --summary-interval=0 -d "$work/out")
  e=$(run "$bytes" "$engine" "$work/out" "${urls[@]}")
  for i in "${!files[@]}"; do check "${files[$i]}" "${srcs[$i]}"; done
  if [ ${#urls[@]} -gt 1 ]; then
    a=$(run "$bytes" aria2c "${aria_opts[@]}" -j3 -Z "${urls[@]}")
  else
    a=$(run "$bytes" aria2c "${aria_opts[@]}" "${urls[@]}")
  fi
  for i in "${!files[@]}"; do check "${files[$i]}" "${srcs[$i]}"; done
  local curl_args=()
  for u in "${urls[@]}"; do curl_args+=(-o "$work/out/${u##*/}" "$u"); done
  if [ ${#urls[@]} -gt 1 ]; then
    c=$(run "$bytes" curl -sS --fail --parallel --parallel-max 3 "${curl_args[@]}")
  else
    c=$(run "$bytes" curl -sS --fail "${curl_args[@]}")
  fi
  for i in "${!files[@]}"; do check "${files[$i]}" "${srcs[$i]}"; done
  printf '\n%s (%d MiB)\n' "$name" $((bytes / 1048576))
  printf '  %-8s %9s %12s %9s %10s %10s %14s\n' tool wall_s MiB/s cpu_s cpu_s/GiB rss_MiB throughput/aria2c
  local aw; aw=$(awk '{print $1}' <<<"$a")
  for pair in "engine:$e" "aria2c:$a" "curl:$c"; do
    local tool="${pair%%:*}" v="${pair#*:}"
    awk -v t="$tool" -v b="$bytes" -v aw="$aw" '{
      printf "  %-8s %9.2f %12.1f %9.2f %10.2f %10.1f %14.2f\n", t, $1, b / 1048576 / $1, $2, $2 / (b / 1073741824), $3 / 1024, aw / $1 }' <<<"$v"
  done
  awk -v e="$e" -v c="$c" 'BEGIN { split(e, x, " "); split(c, y, " ");
    printf "  engine against curl: throughput %.2fx, CPU per byte %.2fx\n", y[1] / x[1], x[2] / y[2] }'
}

# D: the simulator on its own port, started afresh for every run of every tool, so
# that the connection order (and so the slow connection) starts again each time.
sim_port=$((20000 + (port - 20000 + 1 + RANDOM % 9999) % 20000))
cat >"$work/d.ini" <<EOF
[video d]
title = D
[stream]
itag = 22
file = $work/www/d.bin
connection_rate = 2:100000
EOF
d_url="http://127.0.0.1:$sim_port/videoplayback?id=d&n=0"
start_sim() {
  rm -f "$work/sim.out"  # the address line of this start, not of the last one
  "$sitesim" --port "$sim_port" "$work/d.ini" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && return 0; sleep 0.05; done
  echo "the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1
}
stop_sim() { kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true; sim_pid=""; }

# run_d <cmd...>: as run, with a fresh simulator for each try.
run_d() {
  local best=""
  for ((r = 0; r < runs; r++)); do
    rm -f "$work/out"/*
    sync
    start_sim
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/log" 2>&1 || {
      echo "FAILED: $*" >&2; cat "$work/log" >&2; exit 1; }
    stop_sim
    local line; line=$(awk '{printf "%.3f %.3f %d\n", $1, $2 + $3, $4}' "$work/time")
    if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN{split(a,x," ");split(b,y," ");exit !(x[1]<y[1])}'; then
      best="$line"
    fi
  done
  echo "$best"
}

scenario_d() {
  local bytes=$((100 * 1024 * 1024)) src="$work/www/d.bin" e a c
  e=$(run_d "$engine" "$work/out" "$d_url")
  check "videoplayback?id=d&n=0" "$src"
  a=$(run_d aria2c -x5 -s5 -k1M --file-allocation=falloc --allow-overwrite=true \
    --auto-file-renaming=false --console-log-level=error --summary-interval=0 \
    -d "$work/out" -o d.bin "$d_url")
  check d.bin "$src"
  c=$(run_d curl -sS --fail -o "$work/out/d.bin" "$d_url")
  check d.bin "$src"
  printf '\n%s (%d MiB)\n' "D: one stream, the second connection at 100 KB/s" $((bytes / 1048576))
  printf '  %-8s %9s %12s %9s %10s %10s %14s\n' tool wall_s MiB/s cpu_s cpu_s/GiB rss_MiB throughput/aria2c
  local aw; aw=$(awk '{print $1}' <<<"$a")
  for pair in "engine:$e" "aria2c:$a" "curl:$c"; do
    local tool="${pair%%:*}" v="${pair#*:}"
    awk -v t="$tool" -v b="$bytes" -v aw="$aw" '{
      printf "  %-8s %9.2f %12.1f %9.2f %10.2f %10.1f %14.2f\n", t, $1, b / 1048576 / $1, $2, $2 / (b / 1073741824), $3 / 1024, aw / $1 }' <<<"$v"
  done
  awk -v e="${e%% *}" -v a="${a%% *}" -v c="${c%% *}" 'BEGIN {
    printf "  engine %.1fx faster than aria2c (target >= 5), %.2fx curl'"'"'s time (target <= 2)\n", a / e, e / c }'
}

echo "nginx on $base; $runs run(s) of each tool: wall time the best, CPU the median"
[[ $scenarios == *A* ]] && scenario "A: one file, unthrottled" $((1024 * 1024 * 1024)) "$base/a.bin"
[[ $scenarios == *B* ]] && scenario "B: one file, limit_rate 10m per connection" $((200 * 1024 * 1024)) "$base/throttled/b.bin"
[[ $scenarios == *C* ]] && scenario "C: five files, three at a time" $((500 * 1024 * 1024)) \
  "$base/c1.bin" "$base/c2.bin" "$base/c3.bin" "$base/c4.bin" "$base/c5.bin"
[[ $scenarios == *D* ]] && scenario_d
exit 0
