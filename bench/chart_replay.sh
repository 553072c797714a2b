#!/usr/bin/env bash
# The same chart requests (every tile by address, tiles by key, missing and malformed
# ones, place names around a grid of points, map texts) against the tile server of two
# builds, compared byte for byte, headers included: on a package in rollback journal
# mode, on the same package in WAL mode, and on a package that another file is renamed
# over while it is open.
#   bench/chart_replay.sh OLD_BUILD_FOLDER [NEW_BUILD_FOLDER, default build/normal]
# Environment: BENCH_ADDR (127.0.0.3), BENCH_PORT (18190; the new build gets the next port).
set -euo pipefail
cd "$(dirname "$0")/.."
old=$1
new=${2:-build/normal}
addr=${BENCH_ADDR:-127.0.0.3}
port=${BENCH_PORT:-18190}
for b in "$old" "$new"; do
  [ -x "$b/bench/bench_tile_server" ] || { echo "no $b/bench/bench_tile_server" >&2; exit 2; }
done

work=$(mktemp -d /tmp/marolin-replay-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

$new/tools/make_chart demo "$work/rollback.veskara" --max-zoom 15 --list "$work/list" >/dev/null
$new/tools/make_chart demo "$work/other.veskara" --max-zoom 12 >/dev/null
# WAL mode, with a part of the tiles and places changed in the -wal file only.
cp "$work/rollback.veskara" "$work/wal.veskara"
sqlite3 "$work/wal.veskara" ".dbconfig no_ckpt_on_close on" "PRAGMA journal_mode=WAL" \
  "UPDATE tiles SET png = x'89504e470d0a1a0a' || CAST(zyx AS BLOB) WHERE zyx % 7 = 0" \
  "INSERT INTO gaz SELECT c, n || ' (wal)', x + 1, y + 1, r FROM gaz" >/dev/null
[ -s "$work/wal.veskara-wal" ] || { echo "the WAL package has no -wal file" >&2; exit 1; }

urls="$work/urls"
{
  sed 's|^|/getTile/A1/|' "$work/list"
  sqlite3 "$work/rollback.veskara" "SELECT '/getTileI/A7/' || zyx FROM tiles ORDER BY zyx DESC LIMIT 500"
  printf '%s\n' /getTileI/A0/18446744073709551615 /getTileI/A0/0 /getTile/A0/3/5/7 /getTile/A0/1/0/-1 \
    /getTile/B1/1/2/3 /getTile/A1/1/2 /getTile/A/1/2/3 /getTileI/A1/x /getTile/A99/40/0/0
  sqlite3 "$work/rollback.veskara" "WITH d(v) AS (VALUES (-20000), (0), (3000), (40000))
    SELECT '/gazetteer/' || (x + a.v) || '/' || (y + b.v) || '/' || r.v
    FROM gaz, d AS a, d AS b, (SELECT 10 AS v UNION ALL SELECT 5000 UNION ALL SELECT 100000) AS r"
  printf '%s\n' /gazetteer/ /gazetteer/1 /gazetteer/0/0 /bounds /name /BOUNDS /nokey /getMapData/bounds \
    /getMapData/name /getMapDataA/bounds /getMapDataA/nokey
} >"$urls"
sed "s|.*|url = \"http://$addr:PORT&\"|" "$urls" >"$work/curl.conf"

# serve BUILD PORT PACKAGE: the build's tile server on a copy of the package.
serve() {
  mkdir -p "$work/trip$2"
  "$1/bench/bench_tile_server" "$addr" "$2" "$3" "$work/trip$2" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    curl -sf -H "Host: 127.0.0.2:9999" -o /dev/null "http://$addr:$2/getTile/A1/0/0/0" && return
    sleep 0.1
  done
  echo "the server on port $2 does not answer" >&2
  exit 1
}

# ask PORT OUT: every request in order on keep-alive connections, the answers as sent.
ask() {
  sed "s|PORT|$1|" "$work/curl.conf" | curl -s -i --raw -H "Host: 127.0.0.2:9999" --config - >"$2"
}

status=0
compare() {  # name
  if cmp -s "$work/$1.old" "$work/$1.new"; then
    echo "$1: $(wc -l <"$urls") requests, $(stat -c %s "$work/$1.new") bytes of answers, identical"
  else
    echo "$1: the answers differ: $(cmp "$work/$1.old" "$work/$1.new" | head -n 1)"
    status=1
  fi
}

n=0
for mode in rollback wal replaced; do
  src=$mode
  [ "$mode" = replaced ] && src=rollback
  for side in old new; do
    # Each copy with what belongs to it (a WAL package's -wal file).
    for end in "" -wal; do
      [ -f "$work/$src.veskara$end" ] && cp "$work/$src.veskara$end" "$work/$mode-$side.veskara$end"
    done
    b=$old
    [ "$side" = new ] && b=$new
    p=$((port + n))
    n=$((n + 1))
    serve "$b" "$p" "$work/$mode-$side.veskara"
    if [ "$mode" = replaced ]; then
      ask "$p" "$work/$mode-before.$side"
      cp "$work/other.veskara" "$work/$mode-$side.next"
      mv "$work/$mode-$side.next" "$work/$mode-$side.veskara"
    fi
    ask "$p" "$work/$mode.$side"
  done
  [ "$mode" = replaced ] && compare "$mode-before"
  compare "$mode"
done
exit $status
