#!/usr/bin/env bash
# Tile serving under load: the local server answering "/getTile/" from a chart package,
# beside nginx serving the same tiles as static files, both driven by wrk with keep-alive
# over random tile addresses at 1, 8 and 64 connections.
#   bench/tiles.sh [seconds per run, default 10]
# Environment: BENCH_MAX_ZOOM (15), BENCH_NGINX_WORKERS (4), BENCH_WRK_THREADS (4),
# BENCH_MIN_TILES (10000), BENCH_ADDR (127.0.0.3), BENCH_PORT (18090; nginx gets the next port).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
addr=${BENCH_ADDR:-127.0.0.3}
port=${BENCH_PORT:-18090}
nport=$((port + 1))
workers=${BENCH_NGINX_WORKERS:-4}
maxthreads=${BENCH_WRK_THREADS:-4}
build=build/normal
[ -x $build/bench/bench_tile_server ] && [ -x $build/tools/make_chart ] || scripts/build normal >/dev/null

work=$(mktemp -d /tmp/marolin-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== generating tiles"
$build/tools/make_chart demo "$work/chart.veskara" --tiles-out "$work/tiles" \
  --max-zoom "${BENCH_MAX_ZOOM:-15}" --list "$work/list"
count=$(wc -l <"$work/list")
if [ "$count" -lt "${BENCH_MIN_TILES:-10000}" ]; then echo "only $count tiles; raise BENCH_MAX_ZOOM" >&2; exit 1; fi
echo "$count tiles, $(du -sh "$work/tiles" | cut -f1) as files, $(du -h "$work/chart.veskara" | cut -f1) as package"

mkdir -p "$work/trip" "$work/nginx"
$build/bench/bench_tile_server "$addr" "$port" "$work/chart.veskara" "$work/trip" &
pids+=($!)

{
  [ "$(id -u)" -eq 0 ] && echo "user root;"
  cat <<CONF
worker_processes $workers;
pid $work/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  types { image/png png; }
  keepalive_requests 10000;
  server {
    listen $addr:$nport;
    root $work/tiles;
    add_header Cache-Control "max-age=600";
  }
}
CONF
} >"$work/nginx.conf"
nginx -c "$work/nginx.conf" -p "$work/nginx"

# Both must answer before measuring. The local server answers only requests that name
# it as their host.
host="Host: 127.0.0.2:9999"
first=$(head -n 1 "$work/list")
for i in $(seq 1 100); do
  curl -sf -H "$host" -o /dev/null "http://$addr:$port/getTile/A1/$first" &&
    curl -sf -o /dev/null "http://$addr:$nport/$first.png" && break
  sleep 0.1
done
a=$(curl -sf -H "$host" "http://$addr:$port/getTile/A1/$first" | md5sum)
b=$(curl -sf "http://$addr:$nport/$first.png" | md5sum)
[ "$a" = "$b" ] || { echo "the two servers do not serve the same tile" >&2; exit 1; }

run() {  # style url conns
  local threads=$3
  [ "$threads" -gt "$maxthreads" ] && threads=$maxthreads
  TILE_LIST="$work/list" TILE_STYLE=$1 wrk -t"$threads" -c"$3" -d"${secs}s" --timeout 10s \
    -s bench/tiles.lua "$2" | grep '^RESULT'
}

echo "== warm-up"
run marolin "http://$addr:$port" 8 >/dev/null
run static "http://$addr:$nport" 8 >/dev/null

# Other work on the machine moves the figures: its load is shown before and after.
echo "== load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "== ${secs}s per run, wrk with keep-alive, random tiles; latency in microseconds"
printf "%-8s %-6s %10s %8s %8s %8s %8s %9s %7s\n" server conns "req/s" p50 p90 p99 p99.9 max errors
for c in 1 8 64; do
  read -r _ r1 m1 n1 q1 x1 mx1 e1 s1 < <(run marolin "http://$addr:$port" "$c")
  printf "%-8s %-6s %10s %8s %8s %8s %8s %9s %7s\n" marolin "$c" "$r1" "$m1" "$n1" "$q1" "$x1" "$mx1" "$((e1 + s1))"
  read -r _ r2 m2 n2 q2 x2 mx2 e2 s2 < <(run static "http://$addr:$nport" "$c")
  printf "%-8s %-6s %10s %8s %8s %8s %8s %9s %7s\n" nginx "$c" "$r2" "$m2" "$n2" "$q2" "$x2" "$mx2" "$((e2 + s2))"
  awk -v a="$r1" -v b="$r2" -v c="$c" 'BEGIN { printf "ratio    %-6s %10.2f  (marolin req/s / nginx req/s)\n", c, a / b }'
done
echo "== load average $(cut -d' ' -f1-3 /proc/loadavg)"
