#!/usr/bin/env bash
# Links of other sites, two figures:
#   1. paste-to-ready of one link through yt-dlp (a page with a <video src> served by
#      nginx on loopback): the whole resolution and the extractor process's share;
#   2. one 200 MiB file at 10 MB/s per connection (nginx limit_rate 10m), downloaded
#      by the engine without and with a 10 MiB chunk limit (a site's largest request):
#      the limited run's throughput against the unlimited one (target >= 95 %).
# Usage: bench/ytdlp_bench.sh [build dir]   (RUNS=3: best of RUNS)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${RUNS:-3}"
for tool in nginx curl yt-dlp; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/deps.sh --bench" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 download_bench ytdlp_resolve >/dev/null

work="$(mktemp -d /tmp/vantorel-ytbench.XXXXXX)"
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www/throttled" "$work/out" "$work/nginx"
chmod 755 "$work"
head -c $((200 * 1024 * 1024)) /dev/urandom >"$work/www/throttled/b.bin"
head -c $((1024 * 1024)) /dev/urandom >"$work/www/clip.mp4"
printf '<html><head><title>Bench clip</title></head><body><video src="/clip.mp4"></video></body></html>\n' \
  >"$work/www/page.html"
chmod -R a+rX "$work/www"
port=$((20000 + RANDOM % 20000))
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  types { text/html html; video/mp4 mp4; }
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
CONF
nginx -c "$work/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:$port/page.html" && break; sleep 0.1; done

echo "yt-dlp $(yt-dlp --version)"
env -u http_proxy -u https_proxy "$build/bench/ytdlp_resolve" "http://127.0.0.1:$port/page.html" "$runs"

best() {  # best wall seconds of $runs runs of the engine, chunk limit $1 (0: none)
  local b=""
  for ((r = 0; r < runs; r++)); do
    rm -f "$work/out"/*
    local t0 t1
    t0=$(date +%s.%N)
    DOWNLOAD_BENCH_CHUNK="$1" "$build/bench/download_bench" "$work/out" \
      "http://127.0.0.1:$port/throttled/b.bin" >/dev/null
    t1=$(date +%s.%N)
    cmp -s "$work/out/b.bin" "$work/www/throttled/b.bin" || { echo "MISMATCH" >&2; exit 1; }
    local w; w=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", b - a}')
    if [ -z "$b" ] || awk -v a="$w" -v b="$b" 'BEGIN{exit !(a < b)}'; then b="$w"; fi
  done
  echo "$b"
}
plain=$(best 0)
limited=$(best $((10 * 1024 * 1024)))
awk -v p="$plain" -v l="$limited" 'BEGIN{
  printf "200 MiB at 10 MB/s per connection: no limit %.2f s (%.1f MiB/s), 10 MiB chunk limit %.2f s (%.1f MiB/s): %.1f %% of the unlimited throughput\n",
    p, 200 / p, l, 200 / l, 100 * p / l }'
