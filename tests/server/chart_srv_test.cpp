// Tiles and place names of the open chart package, over real sockets.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/crc32.h"
#include "server/handlers/chart.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const std::string kGif(reinterpret_cast<const char *>(MissingTileGif), sizeof MissingTileGif);

const TestEnv &Env() { return SharedServerEnv(); }

// Builds a chart package in the data folder and makes it the open one.
void OpenChart(const std::string &name, const std::string &sql) {
  std::string file = Env().dataFolder() + name;
  std::remove(file.c_str());
  ASSERT_TRUE(SqlExec(file,
                      "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"
                      "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER);" +
                          sql));
  auto r = HttpGet("/getSetState/chartdb=" + name);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->body, "000 " + file);
}

void CloseChart() {
  auto r = HttpGet("/getSetState/chartdb=no-such-package.veskara");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->body, "500 no-such-package.veskara");
}

TEST(Tiles, LookupByAddressAndByKey) {
  OpenChart("tiles.veskara",
            "INSERT INTO tiles VALUES (3298540126215, " + SqlBlob("tile 3/5/7\x89PNG") + ");"
            "INSERT INTO tiles VALUES (3298534883328, 'tile 3/0/0');"
            "INSERT INTO tiles VALUES (-1, 'key -1');"
            "INSERT INTO tiles VALUES (1099511627776, NULL);"
            "INSERT INTO tiles VALUES (1099511627777, '');");
  struct {
    const char *path;
    std::string body;  // empty: the missing-tile image
  } cases[] = {
      {"/getTile/A0/3/5/7", "tile 3/5/7\x89PNG"},
      {"/getTile/A1/3/5/7", "tile 3/5/7\x89PNG"},  // the A-number is not used
      {"/getTile/A99/3/5/7", "tile 3/5/7\x89PNG"},
      {"/getTile/A-5/3/5/7?v=2", "tile 3/5/7\x89PNG"},
      {"/getTile/A1700000000000/3/5/7", "tile 3/5/7\x89PNG"},  // a time stamp, wider than 32 bits
      {"/getTileI/A99999999999999999999999/3298540126215", "tile 3/5/7\x89PNG"},
      {"/getTile%2FA0/3/5/7", "tile 3/5/7\x89PNG"},  // decoded before routing
      {"/getTileI/A0/3298540126215", "tile 3/5/7\x89PNG"},
      {"/getTileI/A7/3298540126215", "tile 3/5/7\x89PNG"},
      {"/getTile/A0/2/1048576/0", "tile 3/0/0"},  // y spills into z
      {"/getTile/A0/3/0/0", "tile 3/0/0"},
      {"/getTile/A0/1/0/-1", "key -1"},  // a negative x sets every bit above it
      {"/getTileI/A0/18446744073709551615", "key -1"},
      {"/getTile/A0/3/5/8", ""},
      {"/getTileI/A0/0", ""},
  };
  for (const auto &c : cases) {
    auto r = HttpGet(c.path);
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK") << c.path;
    EXPECT_EQ(r->header("Cache-Control"), "max-age=600") << c.path;
    if (c.body.empty()) {
      EXPECT_EQ(r->header("Content-Type"), "image/gif") << c.path;
      EXPECT_EQ(r->body, kGif) << c.path;
    } else {
      EXPECT_EQ(r->header("Content-Type"), "image/png") << c.path;
      EXPECT_EQ(r->body, c.body) << c.path;
    }
  }
  // A stored tile without bytes is still a found tile.
  for (const char *path : {"/getTile/A0/1/0/0", "/getTile/A0/1/0/1"}) {
    auto r = HttpGet(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r->header("Content-Type"), "image/png") << path;
    EXPECT_EQ(r->header("Content-Length"), "0") << path;
  }
}

TEST(Tiles, ArgumentsOutsideTheFormatGetTheMissingTile) {
  // Key 0 exists, so an argument read as zeros would find it.
  OpenChart("zero.veskara", "INSERT INTO tiles VALUES (0, 'tile 0/0/0');");
  for (const char *path : {"/getTile/0/0/0/0", "/getTile/A0/0/0", "/getTile/Ax/0/0/0", "/getTile/A0/0/0/x",
                           "/getTile/A0/0/0/99999999999", "/getTile/", "/getTile/A0//0/0", "/getTile/A/0/0/0", "/getTileI/A0",
                           "/getTileI/A0/", "/getTileI/A0/x", "/getTileI/0/0", "/getTileI/A0/99999999999999999999"}) {
    auto r = HttpGet(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->header("Content-Type"), "image/gif") << path;
    EXPECT_EQ(r->body, kGif) << path;
  }
  auto r = HttpGet("/getTile/A0/0/0/0");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "tile 0/0/0");
}

TEST(Tiles, WithoutPackageOrTableEveryTileIsTheGif) {
  std::string file = Env().dataFolder() + "notiles.veskara";
  ASSERT_TRUE(SqlExec(file, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT);"));
  ASSERT_EQ(HttpGet("/getSetState/chartdb=notiles.veskara")->body, "000 " + file);
  CloseChart();
  for (int open = 0; open < 2; ++open) {
    for (const char *path : {"/getTile/A0/3/5/7", "/getTileI/A0/3298540126215"}) {
      auto r = HttpGet(path);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
      EXPECT_EQ(r->header("Cache-Control"), "max-age=600");
      EXPECT_EQ(r->header("Content-Type"), "image/gif");
      EXPECT_EQ(r->body, kGif);
    }
    ASSERT_EQ(HttpGet("/getSetState/chartdb=notiles.veskara")->body, "000 " + file);
  }
}

TEST(Tiles, MissingTileGifIsTheOneWhitePixel) {
  const std::string expected("GIF89a\x01\x00\x01\x00\x80\x00\x00\xFF\xFF\xFF\x00\x00\x00\x2C\x00\x00\x00\x00"
                             "\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3B",
                             35);
  EXPECT_EQ(kGif, expected);
}

std::string Place(const char *n, const char *c, int x, int y) {
  return std::string("{\"n\":\"") + n + "\",\"c\":\"" + c + "\",\"x\":" + std::to_string(x) + ",\"y\":" +
         std::to_string(y) + "}";
}

TEST(Gazetteer, NearestPerClassLargerClassesFirst) {
  // Around (100, 200): (r, d) = (5, 100), (5, 50), (2, 10), (0, 8), (0, 2).
  OpenChart("gaz.veskara",
            "INSERT INTO gaz VALUES ('c5far','five far',110,200,5);"
            "INSERT INTO gaz VALUES ('c5near','five near',105,205,5);"
            "INSERT INTO gaz VALUES ('c2','two',101,203,2);"
            "INSERT INTO gaz VALUES ('c0far','zero far',102,202,0);"
            "INSERT INTO gaz VALUES ('c0near','zero near',99,199,0);"
            "INSERT INTO gaz VALUES (NULL,'say \"hi\"',100,300,7);"
            "INSERT INTO gaz VALUES ('outside','edge',400,200,9);");
  auto r = HttpGet("/gazetteer/100/200/300");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r->header("Content-Type"), "text/plain; charset=UTF-8");
  EXPECT_EQ(r->header("Cache-Control"), "no-cache");
  // The quote stays unescaped and a NULL text is written as (null).
  EXPECT_EQ(r->body, "[" + Place("say \"hi\"", "(null)", 100, 300) + "," + Place("five near", "c5near", 105, 205) + "," +
                         Place("two", "c2", 101, 203) + "," + Place("zero near", "c0near", 99, 199) + "," +
                         Place("zero far", "c0far", 102, 202) + "]");
}

// The names of a gazetteer answer, in order, joined by ",".
std::string Names(const std::string &body) {
  std::string names;
  for (size_t p = 0; (p = body.find("\"n\":\"", p)) != std::string::npos;) {
    p += 5;
    names += (names.empty() ? "" : ",") + body.substr(p, body.find('"', p) - p);
  }
  return names;
}

TEST(Gazetteer, EdgesOfTheSquare) {
  OpenChart("edge.veskara",
            "INSERT INTO gaz VALUES ('','xlo',-4900,202,0);"  // x = X-R with the default R
            "INSERT INTO gaz VALUES ('','xin',5099,201,0);"
            "INSERT INTO gaz VALUES ('','xhi',5100,199,0);"   // x = X+R
            "INSERT INTO gaz VALUES ('','ylo',100,-4800,0);"
            "INSERT INTO gaz VALUES ('','yin',100,-4799,0);"
            "INSERT INTO gaz VALUES ('','yhi',103,5200,0);"
            "INSERT INTO gaz VALUES ('','far',2147483000,0,0);");
  struct {
    const char *path, *names;
  } cases[] = {
      {"/gazetteer/100/200", "yin,xin"},  // half-side 5000
      {"/gazetteer/100/200/x", "yin,xin"},
      {"/gazetteer/100/200/5001", "yin,xin,ylo,xhi,xlo,yhi"},
      {"/gazetteer/100/200/0", ""},
      // The bounds are computed in 64 bits: X+R beyond the 32-bit range still works.
      {"/gazetteer/2147483000/0/1000", "far"},
      {"/gazetteer/", ""},
      {"/gazetteer/100", ""},
      {"/gazetteer/abc/200", ""},
  };
  for (const auto &c : cases) {
    auto r = HttpGet(c.path);
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(Names(r->body), c.names) << c.path << " -> " << r->body;
    if (!*c.names) {
      EXPECT_EQ(r->body, "[]") << c.path;
    }
  }
}

TEST(Gazetteer, ClassesOutsideTheMarksAndLongNames) {
  std::string longName(3000, 'N');
  OpenChart("classes.veskara",
            "INSERT INTO gaz VALUES ('','c257',10,0,257);"  // shares the mark of class 1
            "INSERT INTO gaz VALUES ('','c1',5,0,1);"
            "INSERT INTO gaz VALUES ('','c256a',1,0,256);"  // shares class 0: never skipped
            "INSERT INTO gaz VALUES ('','c256b',2,0,256);"
            "INSERT INTO gaz VALUES ('','" + longName + "',3,0,0);");
  auto r = HttpGet("/gazetteer/0/0/100");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[" + Place("c257", "", 10, 0) + "," + Place("c256a", "", 1, 0) + "," + Place("c256b", "", 2, 0) +
                         "," + Place(longName.c_str(), "", 3, 0) + "]");
}

TEST(Gazetteer, NoPackageAnswersEmptyList) {
  CloseChart();
  auto r = HttpGet("/gazetteer/100/200/300");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r->header("Content-Type"), "text/plain; charset=UTF-8");
  EXPECT_EQ(r->body, "[]");
}

TEST(ChartSwitch, RequestsDuringSwitchesSeeOnePackageOrNone) {
  // Two packages whose every answer names the package; requests keep running while the
  // open package is switched, closed and deleted under them.
  for (const char *name : {"one", "two"}) {
    std::string file = Env().dataFolder() + "switch-" + name + ".veskara";
    std::remove(file.c_str());
    ASSERT_TRUE(SqlExec(file, std::string("CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"
                                          "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER);"
                                          "INSERT INTO tiles VALUES (3298540126215, '") +
                                  name + "');INSERT INTO gaz VALUES ('', '" + name + "', 1, 1, 0);"));
  }
  const std::set<std::string> tiles{"one", "two", kGif};
  const std::set<std::string> places{"[" + Place("one", "", 1, 1) + "]", "[" + Place("two", "", 1, 1) + "]", "[]"};
  const std::set<std::string> sql{"[\n[\"one\"]\n]", "[\n[\"two\"]\n]", "out of memory"};
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0}, answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      // A new connection now and then: the server ends one after 10003 requests.
      std::optional<HttpConn> c;
      int onConn = 0;
      do {
        if (!c || ++onConn == 1000) c.emplace(), onConn = 0;
        std::optional<HttpResponse> r;
        const std::set<std::string> *allowed;
        switch (t % 3) {
          case 0: r = c->get("/getTile/A0/3/5/7"), allowed = &tiles; break;
          case 1: r = c->get("/gazetteer/0/0/10"), allowed = &places; break;
          default: r = c->get("/MexecSql/SELECT%20n%20FROM%20gaz"), allowed = &sql; break;
        }
        if (!r || !allowed->count(r->body)) {
          if (++unexpected == 1) ADD_FAILURE() << (r ? r->body : "no response");
          c.reset();
        }
        ++answered;
      } while (!done);
    });
  }
  for (int i = 0; i < 150; ++i) {
    const char *name = i % 3 == 0 ? "switch-one.veskara" : i % 3 == 1 ? "switch-two.veskara" : "switch-none.veskara";
    ASSERT_TRUE(HttpGet(std::string("/getSetState/chartdb=") + name));
  }
  // Deleting the open package closes it; requests already on it finish with it.
  ASSERT_EQ(HttpGet("/getSetState/chartdb=switch-one.veskara")->body, "000 " + Env().dataFolder() + "switch-one.veskara");
  ASSERT_EQ(HttpGet("/getSetState/delchartdb=switch-one.veskara")->body, "000 switch-one.veskara");
  done = true;
  for (auto &c : clients) c.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GE(answered.load(), 6);
  EXPECT_EQ(HttpGet("/getTile/A0/3/5/7")->body, kGif);
}


// The bytes of a chart package whose tile 3/5/7 and only place are both named text.
std::string PackageBytes(const std::string &text) {
  std::string scratch = Env().root() + "/scratch.veskara";
  std::remove(scratch.c_str());
  EXPECT_TRUE(SqlExec(scratch, "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"
                               "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER);"
                               "INSERT INTO tiles VALUES (3298540126215, '" + text + "');"
                               "INSERT INTO gaz VALUES ('', '" + text + "', 1, 1, 0);"));
  std::string bytes = ReadFile(scratch);
  std::remove(scratch.c_str());
  return bytes;
}

// A stand-in chart server that answers every request with the package set last, from
// the byte position the request asks for.
class PackageServer {
 public:
  PackageServer() : fd_(ListenLoopback(16, &port_)) {
    thread_ = std::thread([this] {
      for (;;) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        serve(c);
        close(c);
      }
    });
  }
  ~PackageServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  void set(std::string bytes) {
    std::lock_guard<std::mutex> lk(m_);
    bytes_ = std::move(bytes);
  }

 private:
  void serve(int c) {
    std::string req;
    if (!ReadRequestHead(c, 10000, &req)) return;
    size_t at = req.find("&p=");
    size_t from = at == std::string::npos ? 0 : std::strtoul(req.c_str() + at + 3, nullptr, 10);
    std::string body;
    {
      std::lock_guard<std::mutex> lk(m_);
      body = bytes_.substr(std::min(from, bytes_.size()));
    }
    std::string out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t sent = 0; sent < out.size();) {
      ssize_t n = send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  int port_ = 0;
  int fd_;
  std::thread thread_;
  std::mutex m_;
  std::string bytes_;
};

// Downloads bytes as package id and waits until it is installed.
void Install(PackageServer &server, int id, const std::string &bytes) {
  server.set(bytes);
  uint32_t crc = ~Crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size());
  char arg[96];
  std::snprintf(arg, sizeof arg, "%d%%200%%20%zu%%20%x", id, bytes.size(), crc);
  ASSERT_TRUE(HttpGet(std::string("/download/") + arg));
  std::optional<HttpResponse> r;
  bool ended = WaitUntil([&] {
    r = HttpGet("/download/*");
    return !r || r->body.find("\"s\":0,") != std::string::npos;
  }, 60000);
  ASSERT_TRUE(r);
  ASSERT_TRUE(ended) << r->body;
  ASSERT_NE(r->body.find("\"e\":0}"), std::string::npos) << r->body;
}

TEST(ChartSwitch, KeepAliveReadersFollowSwitchDeleteAndInstall) {
  // Packages named by number: "1000" is a second package, every install of A000077 gets
  // a new number, 0 stands for no package (the GIF, the empty list). The switches, the
  // deletes and the installs (downloads renamed over the open file, or onto the name of a
  // deleted one) run while clients on long keep-alive connections ask for the tile and
  // the place; each answer must come from a package that was open at some moment between
  // the request's start and its answer, never from one deleted or replaced before it.
  PackageServer server;
  setenv("MAROLIN_CHART_SERVER", server.host().c_str(), 1);
  const std::string pkg = Env().dataFolder() + "A000077.veskara";
  std::remove(pkg.c_str());
  const std::string other = Env().dataFolder() + "other.veskara";
  std::remove(other.c_str());
  WriteFile(other, PackageBytes("1000"));
  ASSERT_EQ(HttpGet("/getSetState/chartdb=other.veskara")->body, "000 " + other);

  constexpr int kRounds = 12, kSteps = 7 * kRounds + 1;
  // open[i]: the package open after step i; published: the last step whose answer came.
  std::array<std::atomic<int>, kSteps + 1> open;
  for (auto &o : open) o = -1;
  open[0] = 1000;
  std::atomic<int> published{0};
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0}, answered{0};

  auto Version = [](const std::optional<HttpResponse> &r, bool tile) -> int {
    if (!r) return -2;
    if (tile) return r->body == kGif ? 0 : std::atoi(r->body.c_str());
    if (r->body == "[]") return 0;
    size_t at = r->body.find("\"n\":\"");
    return at == std::string::npos ? -2 : std::atoi(r->body.c_str() + at + 5);
  };
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      std::optional<HttpConn> c;
      for (int n = 0; !done; ++n) {
        if (!c || n % 500 == 0) c.emplace();
        bool tile = (n + t) % 2 == 0;
        int from = published.load();
        auto r = c->get(tile ? "/getTile/A0/3/5/7" : "/gazetteer/0/0/10");
        int to = std::min(published.load() + 1, kSteps);
        int v = Version(r, tile);
        // A step still under way may also show no package: a switch closes first.
        bool ok = open[from] == v || (v == 0 && to > from);
        for (int i = from + 1; i <= to && !ok; ++i) ok = open[i] == v;
        if (!ok) {
          if (++unexpected <= 3) ADD_FAILURE() << "steps " << from << "-" << to << ": " << (r ? r->body : "no response");
          c.reset();
        }
        ++answered;
      }
    });
  }
  int step = 0;
  auto Step = [&](int after, auto &&act) {
    open[step + 1] = after;
    act();
    published = ++step;
  };
  auto Switch = [&](const std::string &name, const std::string &path, int after) {
    Step(after, [&] { ASSERT_EQ(HttpGet("/getSetState/chartdb=" + name)->body, "000 " + path); });
  };
  for (int round = 0, v = 1; round < kRounds; ++round, v += 2) {
    Step(0, [&] { Install(server, 77, PackageBytes(std::to_string(v))); });  // onto a deleted name
    Switch("A000077.veskara", pkg, v);
    Switch("other.veskara", other, 1000);
    Switch("A000077.veskara", pkg, v);
    Step(0, [&] { Install(server, 77, PackageBytes(std::to_string(v + 1))); });  // over the open file
    Switch("A000077.veskara", pkg, v + 1);
    Step(0, [&] { ASSERT_EQ(HttpGet("/getSetState/delchartdb=A000077.veskara")->body, "000 A000077.veskara"); });
  }
  Switch("other.veskara", other, 1000);
  done = true;
  for (auto &c : clients) c.join();
  unsetenv("MAROLIN_CHART_SERVER");
  EXPECT_EQ(step, kSteps);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GE(answered.load(), 6);
}

const std::string kFileTile("\x89PNG\r\n\x1a\n\0file", 13), kWalTile("\x89PNG\r\n\x1a\n\0wal", 12);

// A package in WAL journal mode: tile 3/5/7 and place "file" checkpointed into the file,
// then tile 3/5/8 and place "wal" committed; with keepWal they stay in the -wal file only.
void WalPackage(const std::string &file, bool keepWal) {
  for (const char *end : {"", "-wal", "-shm"}) std::remove((file + end).c_str());
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  std::string sql = "PRAGMA journal_mode=WAL;"
                    "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"
                    "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER);"
                    "INSERT INTO tiles VALUES (3298540126215, " + SqlBlob(kFileTile) + ");"
                    "INSERT INTO gaz VALUES ('', 'file', 1, 1, 0);"
                    "PRAGMA wal_checkpoint(TRUNCATE);"
                    "INSERT INTO tiles VALUES (3298540126216, " + SqlBlob(kWalTile) + ");"
                    "INSERT INTO gaz VALUES ('', 'wal', 2, 2, 1);";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, keepWal ? 1 : 0, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(access((file + "-wal").c_str(), F_OK) == 0, keepWal);
}

TEST(ChartReader, WalPackagesServeTilesAndPlaces) {
  // Each request on a new connection, so each is a reader's first.
  for (bool keepWal : {false, true}) {
    std::string name = keepWal ? "wal-kept.veskara" : "wal-none.veskara", file = Env().dataFolder() + name;
    WalPackage(file, keepWal);
    ASSERT_EQ(HttpGet("/getSetState/chartdb=" + name)->body, "000 " + file);
    EXPECT_EQ(HttpGet("/getTile/A0/3/5/7")->body, kFileTile) << name;
    EXPECT_EQ(HttpGet("/getTile/A0/3/5/8")->body, kWalTile) << name;
    EXPECT_EQ(HttpGet("/gazetteer/0/0/10")->body, "[" + Place("wal", "", 2, 2) + "," + Place("file", "", 1, 1) + "]")
        << name;
    CloseChart();
  }
}

TEST(ChartReader, WalCommitAfterOpenIsSeenOnTheSameConnection) {
  const std::string name = "wal-commit.veskara", file = Env().dataFolder() + name;
  WalPackage(file, true);
  ASSERT_EQ(HttpGet("/getSetState/chartdb=" + name)->body, "000 " + file);
  HttpConn c;
  ASSERT_EQ(c.get("/getTile/A0/3/5/7")->body, kFileTile);
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE tiles SET png = 'committed' WHERE zyx = 3298540126215", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(c.get("/getTile/A0/3/5/7")->body, "committed");
  sqlite3_close(db);
  CloseChart();
}

TEST(ChartReader, FileRenamedOverTheOpenPackageIsNotRead) {
  OpenChart("renamed.veskara", "INSERT INTO tiles VALUES (3298540126215, 'open');"
                               "INSERT INTO gaz VALUES ('', 'open', 1, 1, 0);");
  const std::string file = Env().dataFolder() + "renamed.veskara", next = file + ".new";
  WriteFile(next, PackageBytes("next"));
  ASSERT_EQ(std::rename(next.c_str(), file.c_str()), 0);
  // New connections, so new readers: they still read the package that is open.
  EXPECT_EQ(HttpGet("/getTile/A0/3/5/7")->body, "open");
  EXPECT_EQ(HttpGet("/gazetteer/0/0/10")->body, "[" + Place("open", "", 1, 1) + "]");
  CloseChart();
}

TEST(ChartReader, PackageCutShortInPlaceWhileServed) {
  // 400 tiles of 3000 bytes over some 300 pages, read on keep-alive connections while the
  // file is truncated in place and then overwritten in place by a smaller package. What a
  // read sees of a file rewritten under it is undefined; the server must go on answering
  // every request, and serve the new package once it is there.
  constexpr int kTiles = 400;
  OpenChart("cut.veskara", "WITH RECURSIVE i(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM i WHERE n < " +
                               std::to_string(kTiles - 1) +
                               ") INSERT INTO tiles SELECT 3298540126208 + n, printf('%03000d', n) FROM i;");
  const std::string file = Env().dataFolder() + "cut.veskara";
  std::atomic<bool> cut{false}, done{false};
  std::atomic<int> unexpected{0}, answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      std::optional<HttpConn> c;
      for (int n = t; !done; n += 97) {
        if (n % 1000 == t) c.emplace();  // the server ends a connection after 10003 requests
        const int i = n % kTiles;
        char tile[8];
        std::snprintf(tile, sizeof tile, "%d", i);
        auto r = c->get("/getTile/A0/3/5/" + std::to_string(i));
        // Before the cut, the tile as stored.
        bool ok = r && r->statusLine == "HTTP/1.1 200 OK" &&
                  (cut || r->body == std::string(3000 - std::strlen(tile), '0') + tile);
        if (!ok) {
          if (++unexpected <= 3) ADD_FAILURE() << "tile " << i << ": " << (r ? r->head : "no response");
          return;
        }
        ++answered;
      }
    });
  }
  auto answersGrow = [&] {
    const int from = answered;
    return WaitUntil([&] { return answered >= from + 400 || unexpected > 0; }, 60000);
  };
  EXPECT_TRUE(answersGrow());
  cut = true;
  ASSERT_EQ(truncate(file.c_str(), 8192), 0);
  EXPECT_TRUE(answersGrow());
  WriteFile(file, PackageBytes("next"));  // as cp does: the same file, rewritten
  EXPECT_TRUE(answersGrow());
  done = true;
  for (auto &c : clients) c.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(HttpGet("/getTile/A0/3/5/7")->body, "next");
  CloseChart();
}

int OpenDescriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(ChartSwitch, ReadersOfEndedConnectionsAreClosed) {
  OpenChart("fds.veskara", "INSERT INTO tiles VALUES (3298540126215, 'tile');"
                           "INSERT INTO gaz VALUES ('', 'place', 1, 1, 0);");
  ASSERT_EQ(HttpGet("/getTile/A0/3/5/7")->body, "tile");
  // Connection threads end after their client has gone; wait until they have.
  auto settled = [](int limit) {
    int n = OpenDescriptors();
    WaitUntil([&] { return (n = OpenDescriptors()) <= limit; }, 20000);
    return n;
  };
  const int before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    HttpConn c;
    ASSERT_EQ(c.get("/getTile/A0/3/5/7")->body, "tile");
    ASSERT_EQ(c.get("/gazetteer/0/0/10")->body, "[" + Place("place", "", 1, 1) + "]");
  }
  EXPECT_LE(settled(before), before);
}

}  // namespace
