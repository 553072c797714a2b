// Tiles and place names of the open chart package, over real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/handlers/chart.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const std::string kGif(reinterpret_cast<const char *>(MissingTileGif), sizeof MissingTileGif);

const TestEnv &Env() {
  static TestEnv env;
  static bool started = (StartTestServer(env), true);
  (void)started;
  return env;
}

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

}  // namespace
