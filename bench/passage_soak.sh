#!/usr/bin/env bash
# A boat on passage for an hour or more: the real window with the demo page (under Xvfb)
# on a trip database of 1,000,000 track points and 100,000 key/value rows, NMEA over TCP
# from bench_passage_feed (RMC+GGA at 10 Hz, 200 AIS targets at about 200 sentences a
# second), switched off and on every 10 minutes; the page polls as it always does. Every
# minute it notes the main process's resident and anonymous memory, malloc's bytes in use,
# SQLite's own memory (all of it, the part its page caches hold, and each connection's page
# cache; read inside the program by bench_memory_probe, loaded into it) and the page's web
# process; at the end the slope of each per hour, fitted from minute 10 on (the first
# poll's whole track and the first garbage collections come before).
#   bench/passage_soak.sh [MINUTES [OUT]]     (default 60 and build/passage-soak)
# MAROLIN_BUILD names the build folder (default build/normal) and MAROLIN_DEMO_SRC the
# demo page's source (default tools/demo), so a build from before a change can be run.
# As root it runs in a network namespace of its own (loopback only), away from any other
# program on 127.0.0.2:9999 or 127.0.0.1:10110.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -z "${PASSAGE_SOAK_ISOLATED:-}" ] && unshare -n true 2>/dev/null; then
  exec env PASSAGE_SOAK_ISOLATED=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
minutes="${1:-60}"
out="$(realpath -m "${2:-build/passage-soak}")"
build="$(realpath "${MAROLIN_BUILD:-build/normal}")"
demoSrc="$(realpath "${MAROLIN_DEMO_SRC:-tools/demo}")"
port=10110
rm -rf "$out"
mkdir -p "$out/data/Marolin" "$out/config" "$out/work" "$out/runtime"
chmod 700 "$out/runtime"
"$build/tools/make_demo" "$out/data/Marolin" "$demoSrc" >/dev/null
"$build/tools/make_chart" demo "$out/data/Marolin/A000002.veskara" \
  --water tests/data/nmea/bundg_zeus_9.log --water tests/data/nmea/ais-nmea.log >/dev/null
"$build/bench/bench_passage_feed" trip "$out/data/Marolin"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$build/bench/bench_passage_feed" serve "$port" &
pids+=($!)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$out/display" </dev/null >"$out/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q . "$out/display" 2>/dev/null && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$out/display")" XDG_DATA_HOME="$out/data" XDG_CONFIG_HOME="$out/config" \
  XDG_CACHE_HOME="$out/cache" XDG_STATE_HOME="$out/state" XDG_RUNTIME_DIR="$out/runtime" \
  DBUS_SESSION_BUS_ADDRESS="unix:path=$out/no-bus" NO_AT_BRIDGE=1
(cd "$out/work" && MAROLIN_PROBE_FILE="$out/probe.txt" LD_PRELOAD="$build/bench/libbench_memory_probe.so" \
  exec "$build/marolin" </dev/null >"$out/marolin.log" 2>&1) &
app=$!
pids+=($app)

host() { curl -s -m 30 -o /dev/null "http://127.0.0.2:9999$1" || true; }
for _ in $(seq 300); do curl -s -m 1 -o /dev/null http://127.0.0.2:9999/ && break; sleep 0.2; done
host "/nemasock/127.0.0.1/$port/1"

status_kb() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
web_process() {
  for s in /proc/[0-9]*/stat; do
    { read -r pid comm _ ppid _ <"$s"; } 2>/dev/null || continue
    [ "$ppid" = "$app" ] && [ "$comm" = "(WebKitWebProces)" ] && { echo "$pid"; return; }
  done
  echo 0
}

web="$out/web.txt"
: >"$web"
start=$(date +%s)
for ((m = 1; m <= minutes; m++)); do
  while [ $(($(date +%s) - start)) -lt $((m * 60)) ]; do sleep 1; done
  kill -0 "$app" 2>/dev/null || { echo "passage_soak: the program ended at minute $m" >&2; exit 1; }
  if [ $((m % 10)) -eq 0 ]; then
    host "/nemasock/127.0.0.1/$port/0"
    sleep 5
    host "/nemasock/127.0.0.1/$port/1"
  fi
  p=$(web_process)
  echo "$(status_kb "$p" VmRSS) $(status_kb "$p" RssAnon) $(cut -d' ' -f1 /proc/loadavg)" >>"$web"
done
sleep 3  # the probe's line of the last minute, which may come a moment after this one
kill -TERM "$app" 2>/dev/null || true
for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done

# The probe's line and the web process's of each minute side by side; then the
# least-squares slope per hour of each column from minute 10 on, with its first and last.
samples="$out/samples.txt"
{
  echo "minute main_rss_kB main_anon_kB heap_used_B heap_free_B sqlite_used_B sqlite_pagecache_B web_rss_kB web_anon_kB load1"
  paste -d' ' <(head -n "$minutes" "$out/probe.txt") "$web" | awk '{ $1 = $1 / 60; print }'
} >"$samples"
cat "$samples"
awk 'NR == 1 { for (i = 2; i <= NF; i++) name[i] = $i; next }
     $1 >= 10 { n++; for (i = 2; i <= NF; i++) { sx[i] += $1; sy[i] += $i; sxx[i] += $1 * $1; sxy[i] += $1 * $i
                if (!(i in first)) first[i] = $i; last[i] = $i } }
     END { printf "\n%-20s %14s %14s %14s\n", "from minute 10 on", "first", "last", "slope per hour"
           for (i = 2; i < 10; i++) {
             d = n * sxx[i] - sx[i] * sx[i]; s = d ? (n * sxy[i] - sx[i] * sy[i]) / d * 60 : 0
             printf "%-20s %14d %14d %14.0f\n", name[i], first[i], last[i], s } }' "$samples"
echo "page cache of each connection at the end (file:bytes): $(tail -n 1 "$out/probe.txt.connections" | cut -d' ' -f2-)"
