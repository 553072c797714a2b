#!/usr/bin/env python3
"""Replays one fixed series of requests against a build of the local server and writes
every answer (status line, headers, body) to a file, so that two builds can be compared
byte for byte:

    bench/replay.py OLD/bench/bench_tile_server old.out
    bench/replay.py NEW/bench/bench_tile_server new.out
    cmp old.out new.out

The data folder is made afresh each time: a trip database with a track and settings, a
web-application package, and chart packages with tiles, place names and texts in rollback
and WAL journal mode. The series covers the page's SQL (queries, writes, errors,
pragmas), key/value reads and writes, map texts, tiles, the gazetteer, the track poll, a
package switch, and a package replaced from outside while it is open.
"""
import os
import random
import socket
import sqlite3
import subprocess
import sys
import shutil
import time

ADDR, PORT = "127.0.0.7", 18777
TRIP_SCHEMA = [
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT) ",
    "CREATE INDEX i_kv_lk ON kvt(l,k) ",
    "CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, ts INTEGER, x DOUBLE, y DOUBLE,t INTEGER,v TEXT) ",
    "CREATE INDEX i_log_ts ON log(ts) ",
    "CREATE INDEX i_log_t ON log(t) ",
]
CHART_SCHEMA = [
    "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB)",
    "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER)",
    "CREATE INDEX i_gaz_xy ON gaz(x,y)",
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT)",
    "CREATE INDEX i_kv_lk ON kvt(l,k)",
]


def tile_key(z, y, x):
    return z << 40 | y << 20 | x


def make_trip(path, rnd):
    db = sqlite3.connect(path)
    for s in TRIP_SCHEMA:
        db.execute(s)
    ts = 1700000000
    for i in range(3000):
        ts += rnd.randint(1, 30)
        db.execute("INSERT INTO log (ts,x,y,t,v) VALUES (?,?,?,?,?)",
                   (ts, rnd.uniform(-180, 180), rnd.uniform(-80, 80), 1 if i % 97 else 2, "gt=%x" % i))
    for i in range(200):
        db.execute("INSERT INTO kvt VALUES (?,?,?,?)",
                   ("key%d" % i, "value %d \"q\" / \\ \n" % i, rnd.choice([4, 5, 9, 10, 100]),
                    rnd.choice(["**", "**", "de", "en", None])))
    db.commit()
    db.close()


def make_chart(path, rnd, wal, tag):
    db = sqlite3.connect(path)
    if wal:
        db.execute("PRAGMA journal_mode=WAL")
    for s in CHART_SCHEMA:
        db.execute(s)
    for z in range(0, 9):
        for _ in range(40):
            y, x = rnd.randrange(1 << min(z, 19)), rnd.randrange(1 << min(z, 19))
            db.execute("INSERT OR REPLACE INTO tiles VALUES (?,?)",
                       (tile_key(z, y, x), bytes(rnd.randrange(256) for _ in range(rnd.randint(0, 6000))) + tag))
    for i in range(600):
        db.execute("INSERT INTO gaz VALUES (?,?,?,?,?)",
                   ("c%d" % (i % 7), "Name %d %s" % (i, tag.decode()), rnd.randint(-20000, 20000),
                    rnd.randint(-20000, 20000), rnd.randint(0, 300)))
    for i in range(100):
        for lang in ("**", "de", "en"):
            db.execute("INSERT INTO kvt VALUES (?,?,?,?)",
                       ("/text%d" % i, "[%d,\"%s %s\"]" % (i, lang, tag.decode()), 5, lang))
    db.commit()
    db.close()


def make_app(path):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT)")
    db.execute("CREATE INDEX i_kv_lk ON kvt(l,k)")
    for k, v, t, l in [("/app/veskara.html", "<p>page</p>", 100, "**"), ("/app/js/a.js", "var a=1;", 3, "**"),
                       ("/app/img/x.png", "PNG-navy", 6, "Navy Blue"), ("/app/img/x.png", "PNG-any", 6, "**"),
                       ("/app/t.txt", "en text", 4, "en"), ("/app/t.txt", "any text", 4, "**")]:
        db.execute("INSERT INTO kvt VALUES (?,?,?,?)", (k, v, t, l))
    db.commit()
    db.close()


def requests(rnd):
    out = []
    get = lambda p: out.append(("GET", p, b""))
    post = lambda p, b: out.append(("POST", p, b.encode() if isinstance(b, str) else b))
    sql = lambda s: post("/UexecSql", s)
    msql = lambda s: post("/MexecSql", s)
    for p in ["/app/veskara.html", "/app/js/a.js", "/app/img/x.png", "/app/t.txt", "/app/missing", "/hostversion/"]:
        get(p)
    for i in range(0, 220, 3):
        get("/getValue/key%d" % i)
        get("/getSetState/key%d" % i)
    for s in ["SELECT count(*) FROM log", "SELECT * FROM log ORDER BY id LIMIT 50",
              "SELECT k,v,t,l FROM kvt ORDER BY rowid", "SELECT x,y,ts FROM log WHERE ts > 1700010000 ORDER BY ts LIMIT 99",
              "SELECT 1.5, -0.0, 1e300, 2e-7, 'a\"b/c\\\\d', x'00410a', NULL",
              "SELECT sum(x), avg(y), max(ts) FROM log", "SELECT * FROM kvt WHERE l IS NULL ORDER BY k",
              "PRAGMA journal_mode", "PRAGMA synchronous", "PRAGMA temp_store", "PRAGMA cache_size",
              "PRAGMA table_info(log)", "PRAGMA index_list(kvt)", "SELECT name FROM sqlite_master ORDER BY name",
              "SELEKT 1", "SELECT * FROM nosuch", "", "  ", "-- c", "SELECT 1; SELECT 2",
              "CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT, c)", "INSERT INTO t VALUES (1,'a',NULL)",
              "INSERT INTO t VALUES (2,'b',1.5)", "INSERT INTO t VALUES (1,'dup',0)", "SELECT * FROM t ORDER BY a",
              "UPDATE t SET b='c' WHERE a=2", "SELECT last_insert_rowid()", "SELECT changes()", "SELECT total_changes() > 0",
              "DELETE FROM t WHERE a=1", "SELECT * FROM t", "CREATE INDEX ti ON t(b)", "DROP TABLE t",
              "CREATE TEMP TABLE tt AS SELECT 5 AS v", "SELECT * FROM tt", "DROP TABLE tt",
              "ATTACH 'x.db' AS x", "VACUUM INTO 'x.db'", "PRAGMA journal_mode=OFF", "SELECT fts3_tokenizer('simple')",
              "SELECT length(zeroblob(1000))", "SELECT typeof(1), typeof(1.0), typeof('x')",
              "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM c LIMIT 500) SELECT n, n*n, n/3.0 FROM c",
              "SELECT printf('%.3f', 2.5), 1/0, 7 % 3, -9223372036854775808",
              "INSERT INTO kvt VALUES ('page','p',10,'**')", "SELECT * FROM kvt WHERE k='page'",
              "UPDATE kvt SET v='p2' WHERE k='page'", "DELETE FROM kvt WHERE k='page'"]:
        if s:
            sql(s)  # a POST without a body gets no answer
        get("/UexecSql/" + s.replace("%", "%25").replace(" ", "%20").replace("\n", "%0A").replace("#", "%23"))
    for i in range(30):
        post("/setValue/set%d" % (i % 10), "body %d %s" % (i, "x" * rnd.randint(0, 200)))
        get("/getValue/set%d" % (i % 10))
    for p in ["/getSetState/alang=fr", "/getSetState/alang", "/getSetState/mlang=en", "/getSetState/skin=Navy Blue",
              "/getSetState/skin", "/getSetState/unknown=1", "/getSetState/unknown", "/getSetState/=empty",
              "/getSetState/mlang=de", "/getSetState/alang=en"]:
        get(p)
    for since in [0, 1700000000, 1700020000, 1700040000, 1800000000]:
        post("/getSetHostStat/86400/50/0/%d" % since, "{\"s\":%d}" % since)
    get("/getSetHostStat/1/2/0/0")
    for pkg in ["A000002.veskara", "A000003.veskara"]:
        get("/getSetState/chartdb=" + pkg)
        for _ in range(250):
            z = rnd.randrange(9)
            get("/getTile/A0/%d/%d/%d" % (z, rnd.randrange(1 << z), rnd.randrange(1 << z)))
        for z in range(9):
            for _ in range(8):
                get("/getTileI/A1/%d" % tile_key(z, rnd.randrange(1 << z), rnd.randrange(1 << z)))
        for _ in range(40):
            get("/gazetteer/%d/%d/%d" % (rnd.randint(-20000, 20000), rnd.randint(-20000, 20000), rnd.randint(1, 9000)))
        get("/gazetteer/0/0")
        for i in range(0, 110, 7):
            get("/getMapDataA//text%d" % i)
            get("/getMapData//text%d" % i)
            get("/text%d" % i)
        for s in ["SELECT count(*) FROM tiles", "SELECT zyx, length(png) FROM tiles ORDER BY zyx LIMIT 40",
                  "SELECT * FROM gaz ORDER BY rowid LIMIT 30", "SELECT k, v, l FROM kvt ORDER BY rowid LIMIT 30",
                  "INSERT INTO kvt VALUES ('x','y',1,'**')", "PRAGMA journal_mode", "SELECT * FROM nosuch"]:
            msql(s)
    out.append(("REPLACE", "A000003.veskara", b""))
    for _ in range(60):
        z = rnd.randrange(9)
        get("/getTile/A0/%d/%d/%d" % (z, rnd.randrange(1 << z), rnd.randrange(1 << z)))
    get("/getMapDataA//text7")
    msql("SELECT count(*) FROM gaz")
    get("/getSetState/chartdb=A000003.veskara")
    get("/getMapDataA//text7")
    msql("SELECT count(*) FROM gaz")
    get("/getSetState/delchartdb=A000002.veskara")
    get("/getTile/A0/0/0/0")
    msql("SELECT 1")
    return out


def exchange(sock_file, sock, method, path, body):
    head = "%s %s HTTP/1.1\r\n" % (method, path)
    if method == "POST":
        head += "Content-Length: %d\r\n" % len(body)
    sock.sendall(head.encode() + b"\r\n" + body)
    status = sock_file.readline()
    headers = []
    length = 0
    while True:
        line = sock_file.readline()
        headers.append(line)
        if line in (b"\r\n", b"\n", b""):
            break
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    data = sock_file.read(length)
    return status + b"".join(headers) + data


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    server, out_path = sys.argv[1], sys.argv[2]
    rnd = random.Random(20261209)
    # One fixed folder, so that the answers naming paths are the same in every run.
    work = "/tmp/marolin-replay"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        folder = os.path.join(work, "data") + "/"
        os.makedirs(folder)
        make_trip(folder + "veskara.trip", rnd)
        make_app(folder + "A000001.veskara")
        make_chart(folder + "A000002.veskara", rnd, False, b"rollback")
        make_chart(folder + "A000003.veskara", rnd, True, b"wal")
        make_chart(work + "/replacement.veskara", rnd, True, b"replaced")
        reqs = requests(rnd)
        proc = subprocess.Popen([server, ADDR, str(PORT), ":memory:", folder], cwd=work,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(200):
                try:
                    socket.create_connection((ADDR, PORT), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            sock = socket.create_connection((ADDR, PORT), timeout=30)
            f = sock.makefile("rb")
            with open(out_path, "wb") as out:
                for method, path, body in reqs:
                    if method == "REPLACE":
                        os.rename(work + "/replacement.veskara", folder + path)
                        for suffix in ("-wal", "-shm"):
                            if os.path.exists(work + "/replacement.veskara" + suffix):
                                os.rename(work + "/replacement.veskara" + suffix, folder + path + suffix)
                        out.write(b"== replaced " + path.encode() + b"\n")
                        continue
                    out.write(b"== " + method.encode() + b" " + path.encode() + b" " + body + b"\n")
                    out.write(exchange(f, sock, method, path, body) + b"\n")
            print("%d requests answered into %s" % (len(reqs), out_path))
        finally:
            proc.kill()
            proc.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
