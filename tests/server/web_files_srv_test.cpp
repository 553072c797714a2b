// The page's files and texts over real sockets: the web-application package, map texts
// of a chart package, stored values, and plain files below the web root.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/db.h"
#include "common/host_config.h"
#include "common/sockbuf.h"
#include "server/databases.h"
#include "server/handlers/handlers.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

namespace {

using testing_support::HttpGet;
using testing_support::MakePackage;
using testing_support::WriteFile;

const char *const kNoCache = "no-cache";
const char *const kPngCache = "max-age=900";
const char *const kNotFound = "HTTP/1.1 404 File not found";
const char *const kOk = "HTTP/1.1 200 OK";

struct Case {
  std::string path;
  const char *status, *type, *cache;
  std::string body;
};

void Check(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    auto r = HttpGet(c.path);
    ASSERT_TRUE(r) << "no response";
    EXPECT_EQ(r->statusLine, c.status);
    EXPECT_EQ(r->header("Content-Type"), c.type);
    EXPECT_EQ(r->header("Cache-Control"), c.cache);
    EXPECT_EQ(r->body, c.body);
  }
}

// Without a web root nothing is served; run before any server thread exists.
TEST(StaticFileWithoutRoot, AnswersNotFound) {
  testing_support::TestEnv env;
  WriteFile(env.workDir() + "/main.js", "x");
  HostConfig.WebRoot[0] = 0;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  {
    SockBuf w;
    ASSERT_TRUE(SockBufInit(w));
    w.sock = sv[0];
    ServeStaticFile(w, "main.js");
  }
  char buf[512] = {};
  ssize_t n = read(sv[1], buf, sizeof buf - 1);
  close(sv[0]);
  close(sv[1]);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf).rfind(std::string(kNotFound) + "\r\n", 0), 0u) << buf;
  EXPECT_NE(std::strstr(buf, "Content-Length: 0\r\n"), nullptr);
}

class WebFiles : public ::testing::Test {
 protected:
  // The packages and files are in place before the server starts.
  static void SetUpTestSuite() {
    const testing_support::TestEnv &env = testing_support::SharedTestEnv();
    const std::string data = env.dataFolder(), src = env.root() + "/src/";
    std::filesystem::create_directories(data);

    // The web-application package.
    const std::string app = data + "A000001.veskara";
    WriteFile(src + "app/veskara.html", "<!DOCTYPE HTML>\n<html>page</html>");
    WriteFile(src + "app/main.js", "var x;");
    WriteFile(src + "skin/img/logo.png", Png());
    ASSERT_EQ(MakePackage(app, {"app", src + "app"}), 0);
    ASSERT_EQ(MakePackage(app, {"app", src + "skin", "--skin", "Navy Blue"}), 0);
    const std::vector<std::vector<std::string>> appRows = {
        {"/app/lang.txt", "4", "en", "english"}, {"/app/lang.txt", "4", "**", "any"},
        {"/app/fr.txt", "4", "fr", "french"},    {"/app/img/x.png", "6", "en", "en-png"},
        {"/app/imgs/y.png", "6", "Navy Blue", "skin-png"},
        {"/app/t7", "7", "**", "jpeg"},          {"/app/t8", "8", "**", "gif"},
        {"/app/t10", "10", "**", "bmp"},         {"/app/t12", "12", "**", "user"},
        {"/app/t55", "55", "**", "odd"},         {"/app/tneg", "-1", "**", "neg"},
        {"/app/big", "4294967302", "**", "low bits 6"},
    };
    for (const auto &r : appRows) ASSERT_EQ(MakePackage(app, {"row", r[0], r[1], r[2], "--text", r[3]}), 0);

    // A chart package with map texts.
    const std::string chart = data + "A000123.veskara";
    const std::vector<std::vector<std::string>> chartRows = {
        {"k", "5", "de", "12"},           {"k", "5", "**", "[3,4]"},  {"k", "5", "en", "99"},
        {"holes", "5", "**", ""},         {"name", "4", "de", "Hafen"},
        {"/app/x.png", "6", "de", "chart-png"}, {"/some/path?q=1", "4", "**", "query"},
    };
    for (const auto &r : chartRows) ASSERT_EQ(MakePackage(chart, {"row", r[0], r[1], r[2], "--text", r[3]}), 0);
    ASSERT_EQ(MakePackage(chart, {"row", "holes", "5", "de", "--null"}), 0);

    // Plain files below the web root.
    WriteFile(data + "main.js", "plain js");
    WriteFile(data + "data.json", "{\"a\":1}");
    WriteFile(data + "a.png.html", "<p>html</p>");
    WriteFile(data + "A.PNG", "upper");
    WriteFile(data + "img.png", Png());
    WriteFile(data + "big.bin", Big());
    WriteFile(data + "empty.txt", "");
    WriteFile(data + "sub/f.css", "p{}");
    WriteFile(data + "q.js?v=2", "with query");
    mkfifo((data + "pipe.js").c_str(), 0600);
    mkdir((data + "dir.js").c_str(), 0700);

    testing_support::SharedServerEnv();
    HostConfig.ChartDb.set(OpenPackage("A000123.veskara"));

    // Values the page stored.
    sqlite3 *trip = nullptr;
    sqlite3_open_v2((data + "veskara.trip").c_str(), &trip, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(trip, 5000);
    ASSERT_EQ(sqlite3_exec(trip,
                           "INSERT INTO kvt(k,v,t,l) VALUES ('foo','bar',10,'**');"
                           "INSERT INTO kvt(k,v,t,l) VALUES ('png','P',6,'**');"
                           "INSERT INTO kvt(k,v,t,l) VALUES ('lang','en',10,'en');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(trip);
  }

  static std::string Png() { return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16); }
  static std::string Big() {
    std::string s(32768, 0);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
  }
};

TEST_F(WebFiles, AppPackage) {
  const char *html = "text/html", *bin = "application/binary;", *png = "image/png";
  Check({
      {"/app/veskara.html", kOk, html, kNoCache, "<!DOCTYPE HTML><html>page</html>"},
      {"/app/main.js", kOk, "text/javascript; charset=UTF-8", kNoCache, "var x;"},
      {"/app/MAIN.JS", kOk, "text/javascript; charset=UTF-8", kNoCache, "var x;"},
      {"/app/veskara.html?v=2", kNotFound, bin, kNoCache, ""},
      {"/app/img/logo.png", kOk, png, kPngCache, Png()},
      {"/app/lang.txt", kOk, "text/plain; charset=UTF-8", kNoCache, "english"},
      {"/app/fr.txt", kNotFound, bin, kNoCache, ""},
      // Below "/app/img" the skin is the language, compared over 8 characters exactly.
      {"/app/img/x.png", kNotFound, bin, kNoCache, ""},
      {"/app/IMG/x.png", kOk, png, kPngCache, "en-png"},
      {"/app/imgs/y.png", kOk, png, kPngCache, "skin-png"},
      {"/app/t7", kOk, "image/jpeg", kNoCache, "jpeg"},
      {"/app/t8", kOk, "image/gif", kNoCache, "gif"},
      {"/app/t10", kOk, "image/bmp", kNoCache, "bmp"},
      {"/app/t12", kOk, "application/user; charset=UTF-8", kNoCache, "user"},
      {"/app/t55", kOk, bin, kNoCache, "odd"},
      {"/app/tneg", kOk, bin, kNoCache, "neg"},
      {"/app/big", kOk, png, kPngCache, "low bits 6"},
      {"/app/missing.js", kNotFound, bin, kNoCache, ""},
  });
}

TEST_F(WebFiles, MapTextsAndValues) {
  const char *json = "application/json; charset=UTF-8", *bin = "application/binary;";
  Check({
      {"/getMapData/name", kOk, "text/plain; charset=UTF-8", kNoCache, "Hafen"},
      {"/getMapData/NAME", kOk, "text/plain; charset=UTF-8", kNoCache, "Hafen"},
      {"/getMapData/nothing", kNotFound, bin, kNoCache, ""},
      {"/getMapDataA/holes", kOk, json, kNoCache, "[null,null]"},
      {"/getMapDataA/nothing", kOk, json, kNoCache, "[]"},
      // No route: the whole path in the chart package.
      {"/APP/X.PNG", kOk, "image/png", kPngCache, "chart-png"},
      {"/some/path?q=1", kOk, "text/plain; charset=UTF-8", kNoCache, "query"},
      {"/hostversion", kNotFound, bin, kNoCache, ""},
      {"/getValue/Foo", kOk, "image/bmp", kNoCache, "bar"},
      {"/getValue/F%6fo", kOk, "image/bmp", kNoCache, "bar"},
      {"/getValue/png", kOk, "image/png", kPngCache, "P"},
      {"/getValue/lang", kNotFound, bin, kNoCache, ""},
  });
  // Two matching rows, in whatever order the table yields them.
  auto r = HttpGet("/getMapDataA/k");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header("Content-Type"), json);
  EXPECT_TRUE(r->body == "[12,[3,4]]" || r->body == "[[3,4],12]") << r->body;

  // Without a chart package.
  DbHandle chart = HostConfig.ChartDb.take();
  Check({
      {"/getMapDataA/k", kOk, json, kNoCache, "[]"},
      {"/getMapData/name", kNotFound, bin, kNoCache, ""},
      {"/APP/X.PNG", kNotFound, bin, kNoCache, ""},
  });
  HostConfig.ChartDb.set(chart);
}

TEST_F(WebFiles, StaticFilesWithoutAppPackage) {
  const char *bin = "application/binary;", *js = "text/javascript; charset=UTF-8";
  DbHandle app = HostConfig.AppDb.take();
  Check({
      {"/app/main.js", kOk, js, kNoCache, "plain js"},
      {"/app/data.json", kOk, js, kNoCache, "{\"a\":1}"},
      {"/app/a.png.html", kOk, "text/html; charset=UTF-8", kNoCache, "<p>html</p>"},
      {"/app/A.PNG", kOk, bin, kNoCache, "upper"},
      {"/app/img.png", kOk, "image/png", kPngCache, Png()},
      {"/app/x.png", kNotFound, bin, kNoCache, ""},
      {"/app/big.bin", kOk, bin, kNoCache, Big()},
      {"/app/empty.txt", kOk, bin, kNoCache, ""},
      {"/app/sub/f.css", kOk, "text/css; charset=UTF-8", kNoCache, "p{}"},
      {"/app/q.js?v=2", kOk, js, kNoCache, "with query"},
      {"/app/q.js", kNotFound, bin, kNoCache, ""},
      // Nothing outside the web root, and nothing that is not a plain file.
      {"/app/../Marolin/main.js", kNotFound, bin, kNoCache, ""},
      {"/app/sub/../main.js", kNotFound, bin, kNoCache, ""},
      {"/app/%2e%2e/Marolin/main.js", kNotFound, bin, kNoCache, ""},
      {"/app/sub\\..\\main.js", kNotFound, bin, kNoCache, ""},
      {"/app/..", kNotFound, bin, kNoCache, ""},
      {"/app/pipe.js", kNotFound, bin, kNoCache, ""},
      {"/app/dir.js", kNotFound, bin, kNoCache, ""},
      {"/app/", kNotFound, bin, kNoCache, ""},
  });
  WriteFile(testing_support::SharedServerEnv().dataFolder() + "a..b.js", "dots");
  Check({{"/app/a..b.js", kOk, js, kNoCache, "dots"}});
  HostConfig.AppDb.set(app);
}

}  // namespace
