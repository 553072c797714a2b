#!/usr/bin/env bash
# Start-up: from launch to the start page's first subresource request, the program
# against a bare WebKitGTK window (bench_bare_view) loading the same page from the same
# server (bench_tile_server on 127.0.0.2:9999 for the bare window, the program's own
# listener for the program). The page's first subresource is a script on a timing server
# of this script's own, which notes when the request arrives. Runs alternate, under one
# Xvfb; the first of each is a warm-up and not counted.
#   bench/startup.sh [runs, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
# As root, in a network namespace of its own: a program already on 127.0.0.2:9999 (a
# running Marolin, a test) must not answer in its place.
if [ "$(id -u)" -eq 0 ] && [ -z "${STARTUP_ISOLATED:-}" ] && command -v unshare >/dev/null && unshare -n true 2>/dev/null; then
  exec env STARTUP_ISOLATED=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
runs=${1:-5}
build=$PWD/build/normal
[ -x $build/marolin ] && [ -x $build/bench/bench_bare_view ] && [ -x $build/bench/bench_tile_server ] ||
  scripts/build normal >/dev/null

work=$(mktemp -d /tmp/marolin-startup-XXXXXX)
xpid=
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/data/Marolin" "$work/config" "$work/cache" "$work/work"
sqlite3 "$work/chart.veskara" "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"

exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xpid=$!
read -r -t 20 display <&3 || { echo "Xvfb did not start" >&2; exit 1; }
exec 3<&-

DISPLAY=":$display" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" \
  python3 - "$runs" "$work" "$build" <<'PY'
import os, socket, subprocess, sys, threading, time, statistics

runs, work, build = int(sys.argv[1]), sys.argv[2], sys.argv[3]
arrived = threading.Event()
stamp = [0.0]

# The timing server: notes the arrival of every request and answers an empty script.
ts = socket.socket()
ts.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ts.bind(("127.0.0.1", 0))
ts.listen(16)
port = ts.getsockname()[1]

def serve():
    while True:
        c, _ = ts.accept()
        t = time.monotonic()
        c.recv(4096)
        if not arrived.is_set():
            stamp[0] = t
            arrived.set()
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        c.close()

threading.Thread(target=serve, daemon=True).start()

page = ('<!DOCTYPE html><html><head><meta charset="utf-8">'
        f'<script src="http://127.0.0.1:{port}/marker.js"></script></head><body>start</body></html>')
web = os.path.join(work, "data", "Marolin")
with open(os.path.join(web, "veskara.html"), "w") as f:
    f.write(page)
url = "http://127.0.0.2:9999/app/veskara.html"

def port_free():
    s = socket.socket()
    try:
        return s.connect_ex(("127.0.0.2", 9999)) != 0
    finally:
        s.close()

def wait_until(cond, secs):
    end = time.monotonic() + secs
    while not cond():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True

def stop(p):
    p.terminate()
    try:
        p.wait(5)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()

def launch(cmd):
    arrived.clear()
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, cwd=os.path.join(work, "work"), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ok = arrived.wait(30)
    dt = stamp[0] - t0
    stop(p)
    if not ok:
        sys.exit(f"no request for the marker from {cmd[0]}")
    return dt

def bare():
    server = subprocess.Popen([os.path.join(build, "bench", "bench_tile_server"), "127.0.0.2", "9999",
                               os.path.join(work, "chart.veskara"), web + "/"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_until(lambda: not port_free(), 10):
        sys.exit("bench_tile_server does not listen")
    try:
        return launch([os.path.join(build, "bench", "bench_bare_view"), url])
    finally:
        stop(server)
        wait_until(port_free, 10)

def program():
    dt = launch([os.path.join(build, "marolin")])
    wait_until(port_free, 10)
    return dt

times = {"bare": [], "marolin": []}
for i in range(runs + 1):
    b, m = bare(), program()
    if i > 0:
        times["bare"].append(b)
        times["marolin"].append(m)
for k in ("marolin", "bare"):
    print(f"{k:8} " + " ".join(f"{t:.3f}" for t in times[k]) + f"   median {statistics.median(times[k]):.3f} s")
print(f"ratio    {statistics.median(times['marolin']) / statistics.median(times['bare']):.2f}  (marolin median / bare median)")
PY
