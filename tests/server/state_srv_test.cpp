// "/setValue/" and "/getSetState/": stored rows, the five states, refused package names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "platform/registry.h"
#include "tests/support/query_plan.h"
#include "tests/support/registry_values.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() { return SharedServerEnv(); }

std::string Trip() { return Env().dataFolder() + "veskara.trip"; }

std::vector<std::string> Rows(const std::string &key) {
  return SqlRows(Trip(), "SELECT v,t,l FROM kvt WHERE k=" + std::string("'") + key + "'");
}

// A settings value as the registry holds it; "(none)" when it is missing.
std::string Registry(const char *name) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
    return "(none)";
  char buf[64] = {};
  unsigned long type = 0, size = sizeof buf;
  long rc = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<unsigned char *>(buf), &size);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(buf) : "(none)";
}

HttpResponse Get(const std::string &path) {
  auto r = HttpGet(path);
  EXPECT_TRUE(r) << path;
  return r ? *r : HttpResponse{};
}

TEST(SetValue, StoresTheWholeBody) {
  Env();
  struct {
    std::string key, body;
  } cases[] = {
      {"plain", "hello"},
      {"Upper%20Case", "kept as sent"},  // stored under the decoded key, case kept
      {"nul", std::string("a\0b\0\0c", 6)},
      {"", "empty key"},
      {"q?x=1", "{\"json\":[1,2]}"},
  };
  for (const auto &c : cases) {
    auto r = HttpPost("/setValue/" + c.key, c.body);
    ASSERT_TRUE(r) << c.key;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r->header("Content-Type"), "application/binary;");
    EXPECT_EQ(r->header("Cache-Control"), "no-cache");
    EXPECT_EQ(r->body, "OK");
  }
  EXPECT_EQ(Rows("plain"), std::vector<std::string>{"hello|10|**"});
  EXPECT_EQ(Rows("Upper Case"), std::vector<std::string>{"kept as sent|10|**"});
  EXPECT_EQ(Rows("nul"), std::vector<std::string>{std::string("a\0b\0\0c|10|**", 12)});
  EXPECT_EQ(Rows(""), std::vector<std::string>{"empty key|10|**"});
  EXPECT_EQ(Rows("q?x=1"), std::vector<std::string>{"{\"json\":[1,2]}|10|**"});
  // A second write replaces the row, with the second writer's type.
  ASSERT_EQ(Get("/getSetState/plain=again").statusLine, "HTTP/1.1 510 no such state");
  EXPECT_EQ(Rows("plain"), std::vector<std::string>{"again|9|**"});
  ASSERT_EQ(HttpPost("/setValue/plain", "third")->body, "OK");
  EXPECT_EQ(Rows("plain"), std::vector<std::string>{"third|10|**"});
}

TEST(SetValue, ConcurrentWritesOfOneKeyLeaveOneRow) {
  Env();
  // Rounds of writes that start together; after each round the key must have one row.
  const int kThreads = 8, kRounds = 40;
  std::barrier sync(kThreads + 1);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures, &sync] {
      HttpConn c;
      for (int i = 0; i < kRounds; ++i) {
        sync.arrive_and_wait();
        auto r = c.post("/setValue/shared", "writer " + std::to_string(t));
        if (!r || r->body != "OK") ++failures;
        sync.arrive_and_wait();
      }
    });
  }
  int roundsWithDuplicates = 0;
  for (int i = 0; i < kRounds; ++i) {
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    if (SqlRows(Trip(), "SELECT count(*) FROM kvt WHERE k='shared'") != std::vector<std::string>{"1"})
      ++roundsWithDuplicates;
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(roundsWithDuplicates, 0);
}

TEST(SetValue, StoreFailureAnswersErrWithTheStatus) {
  Env();
  ASSERT_EQ(HttpPost("/setValue/bad", "old")->body, "OK");
  // A unique index makes the insert fail (as a full disk would); the delete before it is
  // undone. (Triggers do not run in the host's writes.)
  ASSERT_TRUE(SqlExec(Trip(), "INSERT INTO kvt VALUES ('bad-blocker','b',10,'**');"
                              "CREATE UNIQUE INDEX no_bad ON kvt(l) WHERE (k='bad' AND v<>'old') OR k='bad-blocker';"));
  auto r = HttpPost("/setValue/bad", "x");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 500 ERROR INSERT kvt");
  EXPECT_EQ(r->body, "ERR");
  EXPECT_EQ(Rows("bad"), std::vector<std::string>{"old|10|**"});
  // A state keeps its body; an unknown key gets both texts in its status.
  r = HttpGet("/getSetState/bad=1");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 510 no such state500 ERROR INSERT kvt");
  EXPECT_EQ(r->body, "");
  EXPECT_EQ(Rows("bad"), std::vector<std::string>{"old|10|**"});
  ASSERT_TRUE(SqlExec(Trip(), "DROP INDEX no_bad; DELETE FROM kvt WHERE k='bad-blocker';"));
}

// Both writes replace every row of the key, whatever its language, and find them through
// the (l,k) index instead of reading the whole table; neighbouring keys stay.
TEST(SetValue, ReplacedKeyIsFoundThroughTheIndex) {
  Env();
  struct {
    const char *method, *path, *row;
  } cases[] = {
      {"POST", "/setValue/multi", "new|10|**"},
      {"GET", "/getSetState/multi=new", "new|9|**"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(SqlExec(Trip(), "DELETE FROM kvt WHERE k LIKE 'mult%';"
                                "INSERT INTO kvt VALUES ('multi','a',10,'**'),('multi','b',10,'de'),"
                                "('multi','c',10,NULL),('multi','d',10,X'00'),('multi','e',10,''),"
                                "('multj','f',10,'de'),('mult','g',10,NULL),('multi ','h',10,'**');"));
    DbHandle db = HostConfig.TripDb.get();
    auto ran = StatementsRun(db.get(), [&] {
      auto r = std::string(c.method) == "POST" ? HttpPost(c.path, "new") : HttpGet(c.path);
      EXPECT_TRUE(r);
    });
    EXPECT_EQ(Rows("multi"), std::vector<std::string>{c.row});
    EXPECT_EQ(SqlRows(Trip(), "SELECT k,v,l FROM kvt WHERE k LIKE 'mult%' AND k<>'multi' ORDER BY v"),
              (std::vector<std::string>{"multj|f|de", "mult|g|NULL", "multi |h|**"}));
    std::string del = StatementWith(ran, "DELETE FROM kvt");
    ASSERT_FALSE(del.empty());
    std::vector<std::string> plan = QueryPlan(db.get(), del);
    EXPECT_EQ(PlanLines(plan, "SCAN kvt"), 0) << testing::PrintToString(plan);
    EXPECT_GT(PlanLines(plan, "SEARCH kvt USING", "INDEX i_kv_lk (l=? AND k=?)"), 0) << testing::PrintToString(plan);
  }
}

TEST(GetSetState, SettingsChangeTheHostAndAreStored) {
  Env();
  // The registry holds alang and skin only; mlang lives until the next start.
  struct {
    const char *arg;
    const char *body;
    const char *key, *row;
    const char *regAlang, *regSkin;
  } cases[] = {
      {"alang=fr", "000 fr", "alang", "fr|9|**", "fr", "(none)"},
      {"mlang=en", "000 en", "mlang", "en|9|**", "fr", "(none)"},
      {"skin=Sea=Green", "000 Sea=Green", "skin", "Sea=Green|9|**", "fr", "Sea=Green"},  // only the first '=' splits
      {"skin=", "000 ", "skin", "|9|**", "fr", ""},
      // Longer than the field: cut to its width, whole in the row.
      {"alang=deutsch", "000 deu", "alang", "deutsch|9|**", "deu", ""},
      {"mlang=%C3%A9%C3%A9", "000 \xC3\xA9", "mlang", "\xC3\xA9\xC3\xA9|9|**", "deu", ""},  // not inside a character
      {"skin=0123456789012345678901234567890123", "000 0123456789012345678901234567890", "skin",
       "0123456789012345678901234567890123|9|**", "deu", "0123456789012345678901234567890"},
  };
  for (const auto &c : cases) {
    auto r = Get(std::string("/getSetState/") + c.arg);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << c.arg;
    EXPECT_EQ(r.header("Content-Type"), "text/html") << c.arg;
    EXPECT_EQ(r.header("Cache-Control"), "no-cache") << c.arg;
    EXPECT_EQ(r.body, c.body) << c.arg;
    EXPECT_EQ(Rows(c.key), std::vector<std::string>{c.row}) << c.arg;
    EXPECT_EQ(Registry("alang"), c.regAlang) << c.arg;
    EXPECT_EQ(Registry("skin"), c.regSkin) << c.arg;
    EXPECT_EQ(Registry("mlang"), "(none)") << c.arg;
  }
  SettingsCopy s = CopySettings();
  EXPECT_STREQ(s.alang, "deu");
  EXPECT_STREQ(s.mlang, "\xC3\xA9");
  EXPECT_STREQ(s.skin, "0123456789012345678901234567890");
  // The host reports what it now uses.
  auto v = Get("/hostversion/");
  EXPECT_NE(v.body.find("\"alang\":\"deu\",\"skin\":\"0123456789012345678901234567890\""), std::string::npos) << v.body;
}

TEST(GetSetState, UnknownKeysAreStoredAndAnswered510) {
  Env();
  for (const char *arg : {"ALANG=fr", "Skin=x", "=empty%20key", "other=a=b"}) {
    auto r = Get(std::string("/getSetState/") + arg);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 510 no such state") << arg;
    EXPECT_EQ(r.header("Content-Type"), "text/html") << arg;
    EXPECT_EQ(r.body, "") << arg;
  }
  EXPECT_EQ(Rows("ALANG"), std::vector<std::string>{"fr|9|**"});
  EXPECT_EQ(Rows(""), std::vector<std::string>{"empty key|9|**"});
  EXPECT_EQ(Rows("other"), std::vector<std::string>{"a=b|9|**"});
  EXPECT_STRNE(CopySettings().alang, "fr");
}

TEST(GetSetState, ReadsWithoutEqualsSignServeTheStoredRow) {
  Env();
  ASSERT_EQ(Get("/getSetState/mlang=nl").body, "000 nl");
  ASSERT_EQ(HttpPost("/setValue/MixedCase", "upper")->body, "OK");
  ASSERT_EQ(HttpPost("/setValue/lower", "lower value")->body, "OK");
  struct {
    const char *path, *status, *type, *body;
  } cases[] = {
      {"/getSetState/mlang", "HTTP/1.1 200 OK", "text/html", "nl"},
      {"/getSetState/lower", "HTTP/1.1 200 OK", "image/bmp", "lower value"},  // t 10 is its type
      {"/getSetState/LOWER", "HTTP/1.1 200 OK", "image/bmp", "lower value"},  // keys are looked up lower-cased
      {"/getSetState/never-stored", "HTTP/1.1 404 File not found", "application/binary;", ""},
      // Stored with its capitals, never found again.
      {"/getSetState/MixedCase", "HTTP/1.1 404 File not found", "application/binary;", ""},
      {"/getValue/MixedCase", "HTTP/1.1 404 File not found", "application/binary;", ""},
  };
  for (const auto &c : cases) {
    // Exactly one response: the next request on the connection gets the next answer.
    HttpConn conn;
    auto r = conn.get(c.path);
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->statusLine, c.status) << c.path;
    EXPECT_EQ(r->header("Content-Type"), c.type) << c.path;
    EXPECT_EQ(r->body, c.body) << c.path;
    auto next = conn.get("/getAuth/");
    ASSERT_TRUE(next) << c.path;
    EXPECT_EQ(next->body.size(), 32u) << c.path;
  }
  EXPECT_STREQ(CopySettings().mlang, "nl");  // a read changes nothing
}

TEST(GetSetState, ChartPackageSwitchAndDelete) {
  const TestEnv &env = Env();
  std::string inData = env.dataFolder() + "A000042.veskara";
  std::string inWork = env.workDir() + "/A000043.veskara";
  std::string inBoth = "A000044.veskara";
  ASSERT_TRUE(SqlExec(inData, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','data',4,'**');"));
  ASSERT_TRUE(SqlExec(inWork, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','work',4,'**');"));
  ASSERT_TRUE(SqlExec(env.dataFolder() + inBoth, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','both data',4,'**');"));
  ASSERT_TRUE(SqlExec(env.workDir() + "/" + inBoth, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','both work',4,'**');"));
  // Which package is open shows in what the chart SQL route reads.
  auto which = [] { return Get("/MexecSql/SELECT%20v%20FROM%20kvt").body; };

  EXPECT_EQ(Get("/getSetState/chartdb=A000042.veskara").body, "000 " + inData);
  EXPECT_EQ(which(), "[\n[\"data\"]\n]");
  EXPECT_EQ(Get("/getSetState/chartdb=A000043.veskara").body, "000 A000043.veskara");
  EXPECT_EQ(which(), "[\n[\"work\"]\n]");
  EXPECT_EQ(Get("/getSetState/chartdb=A000044.veskara").body, "000 " + env.dataFolder() + inBoth);
  EXPECT_EQ(which(), "[\n[\"both data\"]\n]");
  EXPECT_EQ(Rows("chartdb"), std::vector<std::string>{"A000044.veskara|9|**"});

  // A package that is missing closes the open one all the same.
  auto r = Get("/getSetState/chartdb=A000099.veskara");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.body, "500 A000099.veskara");
  EXPECT_EQ(which(), "out of memory");

  // Deleting one package closes whichever is open and removes the file in both places.
  EXPECT_EQ(Get("/getSetState/chartdb=A000042.veskara").body, "000 " + inData);
  EXPECT_EQ(Get("/getSetState/delchartdb=A000044.veskara").body, "000 A000044.veskara");
  EXPECT_EQ(which(), "out of memory");
  struct stat sb;
  EXPECT_NE(stat((env.dataFolder() + inBoth).c_str(), &sb), 0);
  EXPECT_NE(stat((env.workDir() + "/" + inBoth).c_str(), &sb), 0);
  EXPECT_EQ(stat(inData.c_str(), &sb), 0);
  EXPECT_EQ(Rows("delchartdb"), std::vector<std::string>{"A000044.veskara|9|**"});
}

TEST(GetSetState, RefusedPackageNamesTouchNothing) {
  const TestEnv &env = Env();
  std::string open = env.dataFolder() + "A000050.veskara";
  ASSERT_TRUE(SqlExec(open, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','open',4,'**');"));
  std::string victim = env.root() + "/victim";
  WriteFile(victim, "keep me");
  ASSERT_EQ(Get("/getSetState/chartdb=A000050.veskara").body, "000 " + open);
  for (std::string name : {std::string(""), std::string("."), std::string(".."), std::string("veskara.trip"),
                           std::string("veskara.trip-journal"), std::string("veskara.trip-wal"),
                           std::string("../victim"), env.root() + "/victim", std::string("..\\victim"),
                           std::string("sub/A000050.veskara")}) {
    for (const char *key : {"chartdb", "delchartdb"}) {
      auto r = Get(std::string("/getSetState/") + key + "=" + name);
      EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << key << "=" << name;
      EXPECT_EQ(r.body, "500 " + name) << key << "=" << name;
      // The open package stays open, and nothing was deleted.
      EXPECT_EQ(Get("/MexecSql/SELECT%20v%20FROM%20kvt").body, "[\n[\"open\"]\n]") << key << "=" << name;
    }
  }
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_EQ(SqlRows(Trip(), "SELECT count(*) FROM sqlite_master WHERE name='kvt'"), std::vector<std::string>{"1"});
}

// delchartdb removes chart packages only; chartdb opens only SQLite files and never waits
// on a FIFO. A refusal answers "500 " and the name, and the open package stays open.
TEST(GetSetState, OnlyPackagesAreOpenedOrDeleted) {
  const TestEnv &env = Env();
  const std::string data = env.dataFolder(), work = env.workDir() + "/";
  const std::string open = data + "A000060.veskara";
  ASSERT_TRUE(SqlExec(open, "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT); INSERT INTO kvt VALUES('w','open',4,'**');"));
  ASSERT_EQ(Get("/getSetState/chartdb=A000060.veskara").body, "000 " + open);
  auto which = [] { return Get("/MexecSql/SELECT%20v%20FROM%20kvt").body; };

  // The working directory is where a desktop starts the program: the home folder.
  WriteFile(work + ".bashrc", "export PATH");
  ASSERT_TRUE(SqlExec(work + ".hidden.veskara", "CREATE TABLE t (a)"));
  WriteFile(data + "A000061.veskara", "text, not a database");
  ASSERT_TRUE(SqlExec(work + "notes.db", "CREATE TABLE t (a)"));
  ASSERT_EQ(mkfifo((data + "A000062.veskara").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((work + "A000063.veskara").c_str(), 0600), 0);
  for (const char *name : {".bashrc", ".hidden.veskara", "A000061.veskara", "notes.db", "A000062.veskara",
                           "A000063.veskara"}) {
    EXPECT_EQ(Get(std::string("/getSetState/delchartdb=") + name).body, std::string("500 ") + name);
    EXPECT_EQ(which(), "[\n[\"open\"]\n]") << name;
  }
  struct stat sb;
  for (const std::string &f : {work + ".bashrc", work + ".hidden.veskara", data + "A000061.veskara", work + "notes.db",
                               data + "A000062.veskara", work + "A000063.veskara"})
    EXPECT_EQ(stat(f.c_str(), &sb), 0) << f;

  // chartdb: a FIFO (answered at once, not waited on) and a text file are failed opens.
  for (const char *name : {"A000062.veskara", "A000063.veskara", "A000061.veskara"}) {
    EXPECT_EQ(Get(std::string("/getSetState/chartdb=") + name).body, std::string("500 ") + name);
    EXPECT_EQ(which(), "out of memory") << name;
  }

  // A package is deleted, in both places.
  ASSERT_TRUE(SqlExec(work + "A000060.veskara", "CREATE TABLE t (a)"));
  ASSERT_EQ(Get("/getSetState/chartdb=A000060.veskara").body, "000 " + open);
  EXPECT_EQ(Get("/getSetState/delchartdb=A000060.veskara").body, "000 A000060.veskara");
  EXPECT_EQ(which(), "out of memory");
  EXPECT_NE(stat(open.c_str(), &sb), 0);
  EXPECT_NE(stat((work + "A000060.veskara").c_str(), &sb), 0);
}

}  // namespace
