// Package download through "/download/" against a stand-in chart server on loopback that
// serves "/ajax3.php?download=...&p=..." from memory and can be told to misbehave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/crc32.h"
#include "common/host_config.h"
#include "server/databases.h"
#include "server/handlers/download.h"
#include "tests/support/testing.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// What the stand-in does with one request.
enum class Answer {
  Whole,     // 200, Content-Length, the bytes from p on, close
  DropAfter, // 200 with the full Content-Length, but only `drop` body bytes, then close
  Chunked,   // 200 with "Transfer-Encoding: chunked"
  NoLength,  // 200 without Content-Length, the bytes, close
  NotFound,  // 404 with a body and a Content-Length
  KeepOpen,  // as Whole, but the connection stays open until the client closes it
  Gated,     // as Whole, one 65536-byte block per release()
  Trickle,   // 200 with the full Content-Length, then one body byte a second
  Silent,    // 200 with the full Content-Length, then nothing
  Mute,      // reads the request and never answers
  Slow,      // 200 with the full Content-Length, then the body at 1.5 KB/s, steadily
  StallAfter,  // 200 with the full Content-Length, `drop` body bytes, then nothing
};

// The slow answer sends this many bytes every 100 ms.
constexpr size_t kSlowStep = 150;

struct Script {
  Answer answer = Answer::Whole;
  size_t drop = 0;
};

struct SeenRequest {
  std::string raw;
  int p = -1;
  int id = -1;
};

class StandInChartServer {
 public:
  StandInChartServer() {
    listenFd_ = ListenLoopback(16, &port_);
    if (listenFd_ < 0) throw std::runtime_error("stand-in server cannot listen");
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~StandInChartServer() {
    {
      std::lock_guard<std::mutex> lk(m_);
      stop_ = true;
    }
    cv_.notify_all();
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    close(listenFd_);
    for (auto &t : workers_) t.join();
  }

  std::string hostText() const { return "127.0.0.1:" + std::to_string(port_); }

  void setPackage(std::string bytes) {
    std::lock_guard<std::mutex> lk(m_);
    package_ = std::move(bytes);
  }
  // Answers for the next requests, in order; after them every request gets Whole.
  void script(std::vector<Script> s) {
    std::lock_guard<std::mutex> lk(m_);
    script_.assign(s.begin(), s.end());
  }
  void release(int blocks = 1) {
    {
      std::lock_guard<std::mutex> lk(m_);
      tokens_ += blocks;
    }
    cv_.notify_all();
  }
  std::vector<SeenRequest> seen() {
    std::lock_guard<std::mutex> lk(m_);
    return seen_;
  }
  std::vector<int> seenPositions() {
    std::vector<int> p;
    for (auto &r : seen()) p.push_back(r.p);
    return p;
  }

 private:
  void acceptLoop() {
    for (;;) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard<std::mutex> lk(m_);
      if (stop_) {
        close(fd);
        return;
      }
      workers_.emplace_back([this, fd] {
        serve(fd);
        close(fd);
      });
    }
  }

  static bool SendAll(int fd, const char *p, size_t n) {
    while (n > 0) {
      ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<size_t>(k);
    }
    return true;
  }
  static bool SendAll(int fd, const std::string &s) { return SendAll(fd, s.data(), s.size()); }

  // Sleeps ms unless the stand-in stops first; false when it stops.
  bool nap(int ms) {
    std::unique_lock<std::mutex> lk(m_);
    return !cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop_; });
  }

  // Waits until the client closes its end (or the stand-in stops).
  void waitForClose(int fd) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lk(m_);
        if (stop_) return;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char c;
        if (recv(fd, &c, 1, 0) <= 0) return;
      }
    }
  }

  void serve(int fd) {
    std::string req;
    if (!ReadRequestHead(fd, 10000, &req)) return;
    SeenRequest r;
    r.raw = req;
    if (auto at = req.find("&p="); at != std::string::npos) r.p = std::atoi(req.c_str() + at + 3);
    if (auto at = req.find("download="); at != std::string::npos) r.id = std::atoi(req.c_str() + at + 9);
    Script s;
    std::string body;
    {
      std::lock_guard<std::mutex> lk(m_);
      seen_.push_back(r);
      if (!script_.empty()) {
        s = script_.front();
        script_.pop_front();
      }
      size_t from = r.p < 0 ? 0 : std::min(static_cast<size_t>(r.p), package_.size());
      body = package_.substr(from);
    }
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    switch (s.answer) {
      case Answer::Whole:
        SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n" + body);
        break;
      case Answer::KeepOpen:
        SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n" + body);
        waitForClose(fd);
        break;
      case Answer::DropAfter:
        SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n" + body.substr(0, s.drop));
        break;
      case Answer::Chunked:
        SendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        SendAll(fd, "10000\r\n" + body.substr(0, 0x10000) + "\r\n0\r\n\r\n");
        break;
      case Answer::NoLength:
        SendAll(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body);
        break;
      case Answer::NotFound:
        SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 13\r\n\r\nno such thing");
        break;
      case Answer::Trickle:
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n")) return;
        for (size_t at = 0; at < body.size() && nap(1000); ++at)
          if (!SendAll(fd, body.data() + at, 1)) return;
        break;
      case Answer::Silent:
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n")) return;
        waitForClose(fd);
        break;
      case Answer::Mute:
        waitForClose(fd);
        break;
      case Answer::Slow:
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n")) return;
        for (size_t at = 0; at < body.size() && nap(100); at += kSlowStep)
          if (!SendAll(fd, body.data() + at, std::min(kSlowStep, body.size() - at))) return;
        break;
      case Answer::StallAfter:
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n" + body.substr(0, s.drop))) return;
        waitForClose(fd);
        break;
      case Answer::Gated: {
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\n" + length + "\r\n")) return;
        for (size_t at = 0; at < body.size(); at += BlockSize) {
          std::unique_lock<std::mutex> lk(m_);
          cv_.wait(lk, [this] { return stop_ || tokens_ > 0; });
          if (stop_) return;
          --tokens_;
          lk.unlock();
          if (!SendAll(fd, body.data() + at, std::min<size_t>(BlockSize, body.size() - at))) return;
        }
        break;
      }
    }
    shutdown(fd, SHUT_WR);
  }

  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  int tokens_ = 0;
  std::string package_;
  std::deque<Script> script_;
  std::vector<SeenRequest> seen_;
};

struct Progress {
  int id = 0, b = 0, s = 0, e = 0;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
  return s;
}

uint32_t Crc(const std::string &bytes) { return ~Crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size()); }

// The start argument, blanks percent-encoded as the page sends them.
std::string Req(int id, int version, long long size, uint32_t crc) {
  char t[96];
  std::snprintf(t, sizeof t, "%d%%20%d%%20%lld%%20%x", id, version, size, crc);
  return t;
}

// A real package: an SQLite file with a kvt row holding marker and blobBytes of filler.
std::string SqlitePackage(const std::string &where, const std::string &marker, int blobBytes) {
  fs::remove(where);
  sqlite3 *db = nullptr;
  sqlite3_open(where.c_str(), &db);
  std::string sql = "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT);"
                    "INSERT INTO kvt VALUES('page','" + marker + "',1,'en');"
                    "CREATE TABLE filler (b BLOB);"
                    "INSERT INTO filler VALUES(randomblob(" + std::to_string(blobBytes) + "));";
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  std::string bytes = ReadFile(where);
  fs::remove(where);
  return bytes;
}

std::string PageOf(sqlite3 *db) {
  if (!db) return "<none>";
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db, "SELECT v FROM kvt WHERE k='page'", -1, &st, nullptr);
  std::string v = "<no row>";
  if (st && sqlite3_step(st) == SQLITE_ROW) v = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  return v;
}

// A host name that fails to resolve without asking any name server: its first label is
// longer than DNS allows.
std::string UnresolvableName() { return std::string(70, 'x') + ".invalid"; }

// A loopback port with nothing listening on it.
std::string RefusingHost() { return "127.0.0.1:" + std::to_string(RefusedLoopbackPort()); }

class Download : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SharedServerEnv(); }

  void SetUp() override { Fresh(); }
  void TearDown() override { Finish(); }

  // A clean data folder, no open packages and a new stand-in; table-driven tests call
  // Fresh and Finish around each case.
  void Fresh() {
    Finish();
    ResolveRetryWaitMs = 1;
    BlockRetryWaitMs = 1;
    for (auto &e : fs::directory_iterator(folder())) {
      std::string n = e.path().filename().string();
      if (n.starts_with("N") || n.starts_with("A")) fs::remove_all(e.path());
    }
    HostConfig.AppDb.close();
    HostConfig.ChartDb.close();
    server_ = std::make_unique<StandInChartServer>();
    setenv("MAROLIN_CHART_SERVER", server_->hostText().c_str(), 1);
  }

  void Finish() {
    if (!server_) return;
    server_->release(1000);
    WaitIdle();
    server_.reset();
  }

  static std::string folder() { return SharedServerEnv().dataFolder(); }
  static std::string TempPath(int id) {
    char n[32];
    std::snprintf(n, sizeof n, "N%06d.temp", id);
    return folder() + n;
  }
  static std::string TargetPath(int id) {
    char n[32];
    std::snprintf(n, sizeof n, "A%06d.veskara", id);
    return folder() + n;
  }

  // One "/download/" request; the reply must be exactly the progress text.
  static Progress Call(const std::string &arg) {
    Progress p;
    auto r = HttpGet("/download/" + arg);
    EXPECT_TRUE(r.has_value());
    if (!r) return p;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_EQ(r->header("Cache-Control"), "no-cache");
    EXPECT_EQ(std::sscanf(r->body.c_str(), "{\"id\":%d,\"b\":%d,\"s\":%d,\"e\":%d}", &p.id, &p.b, &p.s, &p.e), 4);
    char again[96];
    std::snprintf(again, sizeof again, "{\"id\":%d,\"b\":%d,\"s\":%d,\"e\":%d}", p.id, p.b, p.s, p.e);
    EXPECT_EQ(r->body, again);
    return p;
  }

  // Polls the progress until done holds for it; the last progress seen.
  template <class Pred>
  static Progress WaitProgress(Pred done) {
    Progress p;
    if (!WaitUntil([&] { return done(p = Call("*")); }, 90000))
      ADD_FAILURE() << "download did not get there: s=" << p.s << " b=" << p.b << " e=" << p.e;
    return p;
  }
  static Progress WaitIdle() {
    return WaitProgress([](const Progress &p) { return p.s == 0; });
  }

  std::unique_ptr<StandInChartServer> server_;
};

TEST_F(Download, InstallsWholePackage) {
  // Id 1 replaces the web application and reopens it at once; other ids close whichever
  // chart package was open. Requests that hold the old connection keep using it.
  struct Case {
    int id;
    bool app;
  } cases[] = {{5, false}, {1, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    Fresh();
    std::string scratch = SharedServerEnv().root() + "/scratch.sqlite";
    std::string oldPkg = SqlitePackage(scratch, "old", 1000);
    std::string newPkg = SqlitePackage(scratch, "new", 150000);
    ASSERT_GT(newPkg.size(), 2u * BlockSize);
    WriteFile(TargetPath(c.id), oldPkg);
    DbSlot &slot = c.app ? HostConfig.AppDb : HostConfig.ChartDb;
    slot.set(DbOpen(TargetPath(c.id).c_str(), SQLITE_OPEN_READONLY, false));
    DbHandle inUse = slot.get();
    ASSERT_EQ(PageOf(inUse.get()), "old");
    server_->setPackage(newPkg);

    Progress start = Call(Req(c.id, 7, static_cast<long long>(newPkg.size()), Crc(newPkg)));
    EXPECT_GE(start.s, 0);
    EXPECT_LE(start.s, 2);
    Progress end = WaitIdle();
    EXPECT_EQ(end.id, c.id);
    EXPECT_EQ(end.b, static_cast<int>(newPkg.size()));
    EXPECT_EQ(end.e, 0);

    auto seen = server_->seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].raw, "GET /ajax3.php?download=" + std::to_string(c.id) + "&v=7&p=0&u=0 HTTP/1.1\r\nHost: " +
                               server_->hostText() + "\r\n\r\n");
    EXPECT_EQ(ReadFile(TargetPath(c.id)), newPkg);
    EXPECT_FALSE(fs::exists(TempPath(c.id)));
    EXPECT_EQ(PageOf(inUse.get()), "old");

    DbHandle now = slot.get();
    if (c.app) {
      ASSERT_TRUE(now);
      EXPECT_NE(now, inUse);
      EXPECT_EQ(PageOf(now.get()), "new");
      EXPECT_EQ(std::string(sqlite3_db_filename(now.get(), "main")), TargetPath(c.id));
    } else {
      EXPECT_FALSE(now);
      DbHandle chart = OpenPackage("A000005.veskara");
      EXPECT_EQ(PageOf(chart.get()), "new");
    }
    Finish();
  }
}

TEST_F(Download, InstallLeavesNoJournalOfTheOldPackage) {
  // The old package was in WAL mode and left its -wal (frames not yet checkpointed) and
  // -shm beside it: SQLite would read those frames into the new file.
  Fresh();
  std::string scratch = SharedServerEnv().root() + "/scratch.sqlite";
  std::string newPkg = SqlitePackage(scratch, "new", 150000);
  std::string target = TargetPath(5);
  for (const char *end : {"", "-wal", "-shm"}) fs::remove(target + end);
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(target.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "PRAGMA journal_mode=WAL; CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT);"
                         "PRAGMA wal_checkpoint(TRUNCATE); INSERT INTO kvt VALUES('page','old',1,'en');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_close(db);
  ASSERT_TRUE(fs::exists(target + "-wal"));
  server_->setPackage(newPkg);
  Call(Req(5, 7, static_cast<long long>(newPkg.size()), Crc(newPkg)));
  EXPECT_EQ(WaitIdle().e, 0);
  EXPECT_EQ(ReadFile(target), newPkg);
  EXPECT_FALSE(fs::exists(target + "-wal"));
  EXPECT_FALSE(fs::exists(target + "-shm"));
  EXPECT_EQ(PageOf(OpenPackage("A000005.veskara").get()), "new");
  Finish();
}

TEST_F(Download, ResumesFromWhatIsHeld) {
  // The package with its CRC-32 computed elsewhere, so the running check is tested
  // against the standard value and not against itself.
  const std::string pkg = Pattern(200000);
  const uint32_t crc = 0x3877fa76;
  struct Case {
    const char *name;
    size_t held;  // bytes of the package already in the temporary file
    std::vector<Script> script;
    std::string served;  // the server's file, when it differs from the package
    std::vector<int> positions;
  } cases[] = {
      {"dropped mid-body", 0, {{Answer::DropAfter, 100000}}, "", {0, 100000}},
      {"dropped twice, second time before a whole block", 0,
       {{Answer::DropAfter, 70000}, {Answer::DropAfter, 1000}}, "", {0, 70000, 71000}},
      {"closed right after the header", 0, {{Answer::DropAfter, 0}}, "", {0, 0}},
      {"held from an earlier run", 100000, {}, "", {100000}},
      {"held whole: nothing to fetch", 200000, {}, "", {}},
      {"server keeps the connection open", 0, {{Answer::KeepOpen}}, "", {0}},
      {"server file grew, connection kept open", 0, {{Answer::KeepOpen}}, pkg + "appended later", {0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (c.held) WriteFile(TempPath(12), pkg.substr(0, c.held));
    server_->setPackage(c.served.empty() ? pkg : c.served);
    server_->script(c.script);
    Call(Req(12, 3, 200000, crc));
    Progress end = WaitIdle();
    EXPECT_EQ(end.e, 0);
    EXPECT_EQ(end.b, 200000);
    EXPECT_EQ(server_->seenPositions(), c.positions);
    EXPECT_EQ(ReadFile(TargetPath(12)), pkg);
    EXPECT_FALSE(fs::exists(TempPath(12)));
    Finish();
  }
}

// A link cut off in the middle of a block keeps every byte that came: the next request,
// or a later start, asks for the rest from there.
TEST_F(Download, CutOffLinkResumesAfterWhatCame) {
  const std::string pkg = Pattern(200000);
  const uint32_t crc = 0x3877fa76;
  const std::string start = Req(12, 3, 200000, crc);
  const int limit = IdleLimitMs;
  IdleLimitMs = 2000;

  // Silent within the second block: the retry asks from the last byte that came.
  server_->setPackage(pkg);
  server_->script({{Answer::StallAfter, 70000}});
  Call(start);
  Progress end = WaitIdle();
  EXPECT_EQ(end.e, 0);
  EXPECT_EQ(server_->seenPositions(), (std::vector<int>{0, 70000}));
  EXPECT_EQ(ReadFile(TargetPath(12)), pkg);

  // Closed within the first block and the retry refused: the temporary file holds what
  // came, and a later start goes on after it with the CRC over it.
  Fresh();
  server_->setPackage(pkg);
  server_->script({{Answer::DropAfter, 30000}, {Answer::NotFound}});
  Call(start);
  end = WaitIdle();
  EXPECT_EQ(end.e, -2);
  EXPECT_EQ(end.b, 30000);
  EXPECT_TRUE(ReadFile(TempPath(12)) == pkg.substr(0, 30000));
  Call(start);
  end = WaitIdle();
  EXPECT_EQ(end.e, 0);
  auto seen = server_->seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].raw, "GET /ajax3.php?download=12&v=3&p=30000&u=0 HTTP/1.1\r\nHost: " + server_->hostText() +
                             "\r\n\r\n");
  EXPECT_EQ(seen[2].p, 30000);
  EXPECT_EQ(ReadFile(TargetPath(12)), pkg);
  IdleLimitMs = limit;
}

// A slow but steady link (1.5 KB/s, as a boat's satellite or mobile link) brings a package
// of several blocks in with one request, however long each block takes (about 90 s here).
TEST_F(Download, SlowSteadyLinkCompletes) {
  const std::string pkg = Pattern(2 * BlockSize + 1000);
  const uint32_t crc = 0x0dfeccaa;  // computed elsewhere
  server_->setPackage(pkg);
  server_->script(std::vector<Script>(BlockRetries + 1, Script{Answer::Slow}));
  Call(Req(14, 1, static_cast<long long>(pkg.size()), crc));
  // Read in place rather than polled over HTTP for so long.
  EXPECT_TRUE(WaitUntil([] { return HostConfig.DownloadState.state == DownloadIdle; }, 240000));
  Progress end = Call("*");
  EXPECT_EQ(end.e, 0);
  EXPECT_EQ(end.b, static_cast<int>(pkg.size()));
  EXPECT_EQ(server_->seenPositions(), std::vector<int>{0});
  EXPECT_EQ(ReadFile(TargetPath(14)), pkg);
  EXPECT_FALSE(fs::exists(TempPath(14)));
}

TEST_F(Download, FailuresEndWithTheirCode) {
  const std::string pkg = Pattern(150000);
  const uint32_t crc = Crc(pkg);
  enum class Host { StandIn, Refusing, Unresolvable };
  enum class Temp { Absent, Empty, Prefix, Whole, Directory };
  struct Case {
    const char *name;
    std::vector<Script> script;
    Host host;
    std::string request;  // start argument
    std::string heldBefore;
    bool targetIsDirectory;
    int error;
    size_t requests;
    Temp temp;  // the temporary file afterwards
    size_t kept = BlockSize;  // bytes of the package in it, for Temp::Prefix
  } cases[] = {
      {"wrong CRC: temporary file deleted", {}, Host::StandIn, Req(40, 1, 150000, crc ^ 1), "", false, -5, 1,
       Temp::Absent},
      {"temporary file longer than the package", {}, Host::StandIn, Req(40, 1, 150000, crc), pkg + "x", false,
       -5, 0, Temp::Absent},
      {"chunked answer", {{Answer::Chunked}}, Host::StandIn, Req(40, 1, 150000, crc), "", false, -2, 1,
       Temp::Empty},
      {"no Content-Length", {{Answer::NoLength}}, Host::StandIn, Req(40, 1, 150000, crc), "", false, -2, 1,
       Temp::Empty},
      {"404 answer", {{Answer::NotFound}}, Host::StandIn, Req(40, 1, 150000, crc), "", false, -2, 1, Temp::Empty},
      {"six bad blocks in a row",
       std::vector<Script>(6, Script{Answer::DropAfter, 1000}), Host::StandIn, Req(40, 1, 150000, crc), "", false,
       -3, 6, Temp::Prefix, 6000},
      {"a good block resets the retries",
       {{Answer::DropAfter, 1000}, {Answer::DropAfter, 1000}, {Answer::DropAfter, 1000}, {Answer::DropAfter, 1000},
        {Answer::DropAfter, 1000}, {Answer::DropAfter, 70000}, {Answer::DropAfter, 1000},
        {Answer::DropAfter, 1000}, {Answer::DropAfter, 1000}, {Answer::DropAfter, 1000},
        {Answer::DropAfter, 1000}, {Answer::DropAfter, 1000}},
       Host::StandIn, Req(40, 1, 150000, crc), "", false, -3, 11, Temp::Prefix, 80000},
      {"connection refused", {}, Host::Refusing, Req(40, 1, 150000, crc), "", false, -2, 0, Temp::Empty},
      {"host name not resolved", {}, Host::Unresolvable, Req(40, 1, 150000, crc), "", false, -2, 0, Temp::Empty},
      {"size 0", {}, Host::StandIn, Req(40, 1, 0, 0), "", false, -5, 0, Temp::Absent},
      {"negative size", {}, Host::StandIn, Req(40, 1, -5, 0), "", false, -5, 0, Temp::Absent},
      {"id alone", {}, Host::StandIn, "40", "", false, -5, 0, Temp::Absent},
      {"temporary file cannot be opened", {}, Host::StandIn, Req(40, 1, 150000, crc), "", false, -1, 0,
       Temp::Directory},
      {"install cannot replace the target", {}, Host::StandIn, Req(40, 1, 150000, crc), "", true, -4, 1,
       Temp::Whole},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    server_->setPackage(pkg);
    server_->script(c.script);
    if (c.host == Host::Refusing) setenv("MAROLIN_CHART_SERVER", RefusingHost().c_str(), 1);
    if (c.host == Host::Unresolvable) setenv("MAROLIN_CHART_SERVER", UnresolvableName().c_str(), 1);
    if (!c.heldBefore.empty()) WriteFile(TempPath(40), c.heldBefore);
    if (c.temp == Temp::Directory) fs::create_directories(TempPath(40) + "/x");
    const std::string before = "the package installed earlier";
    if (c.targetIsDirectory)
      fs::create_directories(TargetPath(40) + "/x");
    else
      WriteFile(TargetPath(40), before);

    Call(c.request);
    Progress end = WaitIdle();
    EXPECT_EQ(end.e, c.error);
    EXPECT_EQ(end.id, 40);
    EXPECT_EQ(server_->seen().size(), c.requests);
    switch (c.temp) {
      case Temp::Absent: EXPECT_FALSE(fs::exists(TempPath(40))); break;
      case Temp::Empty: EXPECT_EQ(ReadFile(TempPath(40)), ""); break;
      case Temp::Prefix: EXPECT_EQ(ReadFile(TempPath(40)), pkg.substr(0, c.kept)); break;
      case Temp::Whole: EXPECT_EQ(ReadFile(TempPath(40)), pkg); break;
      case Temp::Directory: EXPECT_TRUE(fs::is_directory(TempPath(40))); break;
    }
    if (c.targetIsDirectory)
      EXPECT_TRUE(fs::is_directory(TargetPath(40)));
    else
      EXPECT_EQ(ReadFile(TargetPath(40)), before);
    Finish();
  }
}

TEST_F(Download, ProgressCancelAndContinue) {
  const std::string pkg = Pattern(300000);
  server_->setPackage(pkg);
  server_->script({{Answer::Gated}});
  const std::string start = Req(9, 2, 300000, Crc(pkg));
  Progress p = Call(start);
  EXPECT_TRUE(p.s == 1 || p.s == 2);

  // b grows block by block while s stays 2.
  for (int blocks = 1; blocks <= 2; ++blocks) {
    server_->release();
    // Until the thread has begun, s is 1 and the values are the last download's.
    p = WaitProgress([&](const Progress &q) { return q.s == 2 && q.b >= blocks * BlockSize; });
    EXPECT_EQ(p.b, blocks * BlockSize);
    EXPECT_EQ(p.s, 2);
    EXPECT_EQ(p.e, 0);
    EXPECT_EQ(p.id, 9);
  }
  // Another start while running only reports; the cancel answers s 3 at once.
  p = Call(Req(10, 2, 300000, Crc(pkg)));
  EXPECT_EQ(p.id, 9);
  EXPECT_EQ(p.s, 2);
  p = Call("**");
  EXPECT_EQ(p.s, 3);
  // The thread is waiting for its third block; it stops without it.
  p = WaitIdle();
  EXPECT_EQ(p.e, -7);
  EXPECT_EQ(p.b, 2 * BlockSize);
  EXPECT_TRUE(ReadFile(TempPath(9)) == pkg.substr(0, 2 * BlockSize));
  EXPECT_FALSE(fs::exists(TargetPath(9)));
  EXPECT_FALSE(fs::exists(TempPath(10)));

  // While idle, "*" and "**" only report the last download.
  Progress idle = Call("*");
  Progress cancelIdle = Call("**");
  for (const Progress &q : {idle, cancelIdle}) {
    EXPECT_EQ(q.id, 9);
    EXPECT_EQ(q.b, 2 * BlockSize);
    EXPECT_EQ(q.s, 0);
    EXPECT_EQ(q.e, -7);
  }

  // A later start continues from the held bytes.
  Call(start);
  p = WaitIdle();
  EXPECT_EQ(p.e, 0);
  EXPECT_EQ(server_->seenPositions(), (std::vector<int>{0, 2 * BlockSize}));
  EXPECT_EQ(ReadFile(TargetPath(9)), pkg);
}

TEST_F(Download, SimultaneousStartsRunOneDownload) {
  const std::string pkg = Pattern(140000);
  server_->setPackage(pkg);
  server_->script({{Answer::Gated}});
  constexpr int kStarts = 8;
  std::latch go(kStarts);
  std::vector<Progress> replies(kStarts);
  std::vector<std::thread> starters;
  for (int i = 0; i < kStarts; ++i)
    starters.emplace_back([&, i] {
      go.arrive_and_wait();
      replies[i] = Call(Req(20 + i, 1, 140000, Crc(pkg)));
    });
  for (auto &t : starters) t.join();
  for (const Progress &r : replies) EXPECT_TRUE(r.s == 1 || r.s == 2) << r.s;

  server_->release(3);
  Progress end = WaitIdle();
  EXPECT_EQ(end.e, 0);
  int winner = end.id;
  ASSERT_GE(winner, 20);
  ASSERT_LT(winner, 20 + kStarts);
  auto seen = server_->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].id, winner);
  for (int i = 0; i < kStarts; ++i) {
    EXPECT_EQ(fs::exists(TargetPath(20 + i)), 20 + i == winner) << i;
    EXPECT_FALSE(fs::exists(TempPath(20 + i))) << i;
  }
}

TEST_F(Download, ThreadEntryStates) {
  // The thread goes on only from 1 (requested) and 3 (cancelled before it began); from
  // any other state it leaves everything as it is. It always ends idle.
  const std::string pkg = Pattern(1000);
  server_->setPackage(pkg);
  DownloadStateRec &d = HostConfig.DownloadState;
  struct Case {
    int state;
    int error, endState, id;
    size_t requests;
  } cases[] = {
      {0, -99, 0, 77, 0},
      {2, -99, 2, 77, 0},
      {3, -7, 0, 41, 0},
      {1, 0, 0, 41, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.state);
    Fresh();
    server_->setPackage(pkg);
    std::snprintf(d.request, sizeof d.request, "41 1 1000 %x", Crc(pkg));
    d.error = -99;
    d.id = 77;
    d.state = c.state;
    DownloadThread();
    EXPECT_EQ(d.error, c.error);
    EXPECT_EQ(d.state, c.endState);
    EXPECT_EQ(d.id, c.id);
    EXPECT_EQ(server_->seen().size(), c.requests);
    EXPECT_EQ(fs::exists(TargetPath(41)), c.state == 1);
    d.state = 0;
    Finish();
  }
  // Nothing blocks a later start.
  Fresh();
  server_->setPackage(pkg);
  Call(Req(41, 1, 1000, Crc(pkg)));
  EXPECT_EQ(WaitIdle().e, 0);
}

TEST(ChartServerConfig, NameAndPort) {
  struct Case {
    const char *env;
    const char *text, *host, *port;
  } cases[] = {
      {nullptr, DefaultChartServer, DefaultChartServer, "80"},
      {"", DefaultChartServer, DefaultChartServer, "80"},
      {"charts.test", "charts.test", "charts.test", "80"},
      {"127.0.0.1:8080", "127.0.0.1:8080", "127.0.0.1", "8080"},
      {"[::1]:8081", "[::1]:8081", "::1", "8081"},
      {"[::1]", "[::1]", "::1", "80"},
      {"::1", "::1", "::1", "80"},
      {"charts.test:", "charts.test:", "charts.test", "80"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.env ? c.env : "(unset)");
    if (c.env)
      setenv("MAROLIN_CHART_SERVER", c.env, 1);
    else
      unsetenv("MAROLIN_CHART_SERVER");
    ChartServer s = ChartServerConfig();
    EXPECT_EQ(s.text, c.text);
    EXPECT_EQ(s.host, c.host);
    EXPECT_EQ(s.port, c.port);
  }
}

// Whatever the server does (a byte a second, a header and then silence, no answer at
// all), a cancel ends the download at once; and a read may wait only so long for bytes
// before the block counts as a bad one.
TEST_F(Download, CancelAndPieceBoundWhateverTheServerDoes) {
  const std::string pkg = Pattern(150000);
  const std::string start = Req(41, 1, 150000, Crc(pkg));
  for (Answer a : {Answer::Trickle, Answer::Silent, Answer::Mute}) {
    Fresh();
    server_->setPackage(pkg);
    server_->script({{a}});
    Call(start);
    WaitProgress([&](const Progress &p) { return p.s == 2 && !server_->seen().empty(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the read
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("**").s, 3);
    Progress p = WaitIdle();
    // A generous bound: before, the cancel was never seen, or only after 60 s.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10)) << static_cast<int>(a);
    EXPECT_EQ(p.e, -7);
    EXPECT_EQ(server_->seen().size(), 1u);
  }

  // With a short bound the same servers make bad pieces, then fail as bad pieces do; one
  // that sends no header fails its request.
  IdleLimitMs = 300;
  struct Case {
    Answer answer;
    int error;
    size_t requests;
  } cases[] = {{Answer::Trickle, -3, 6}, {Answer::Silent, -3, 6}, {Answer::Mute, -2, 1}};
  for (const Case &c : cases) {
    Fresh();
    server_->setPackage(pkg);
    server_->script(std::vector<Script>(6, Script{c.answer}));
    Call(start);
    Progress p = WaitProgress([&](const Progress &q) { return q.s == 0 && !server_->seen().empty(); });
    EXPECT_EQ(p.e, c.error) << static_cast<int>(c.answer);
    EXPECT_EQ(server_->seen().size(), c.requests) << static_cast<int>(c.answer);
  }
  IdleLimitMs = RemoteReceiveSeconds * 1000 + 100;
}

}  // namespace
