// SockBuf reading, the response writer and percent-decoding, over real socket pairs.
#include "server/response.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

namespace {

struct Pair {
  int a = -1, b = -1;
  Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, &a); }
  ~Pair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
  void put(const std::string &s) const { ASSERT_EQ(send(b, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
  void closePeer() {
    close(b);
    b = -1;
  }
  std::string drain() const {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(b, buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, n);
    return out;
  }
};

TEST(SockBufReadLine, LinesAndTheirLengths) {
  Pair p;
  SockBuf sb;
  SockBufInit(sb);
  sb.sock = p.a;
  p.put("GET / HTTP/1.1\r\n\r\n\nab\rcd\r\nabc");
  p.closePeer();
  struct {
    const char *text;
    int len;
  } want[] = {{"GET / HTTP/1.1", 16}, {"", 2}, {"", 1}, {"ab", 7}, {"abc", 3}, {"", 0}, {"", 0}};
  for (auto &w : want) {
    char *line = SockBufReadLine(sb);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, w.text);
    EXPECT_EQ(sb.lineLen, w.len) << w.text;
  }
}

TEST(SockBufReadLine, LineSplitOverReceivesComesWhole) {
  Pair p;
  SockBuf sb;
  SockBufInit(sb);
  sb.sock = p.a;
  std::thread t([&] {
    p.put("$GPRMC,1,2");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.put(",3*00\r\nnext\n");
  });
  char *line = SockBufReadLine(sb);
  t.join();
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, "$GPRMC,1,2,3*00");
  EXPECT_EQ(sb.lineLen, 17);
  EXPECT_STREQ(SockBufReadLine(sb), "next");
}

TEST(SockBufReadLine, OverlongLineArrivesInPiecesOfCapacityLessOne) {
  Pair p;
  SockBuf sb;
  SockBufInit(sb);
  sb.sock = p.a;
  std::string big(65535 + 10, 'x');
  std::thread t([&] { p.put(big + "\n"); });
  char *first = SockBufReadLine(sb);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::string(first).size(), 65535u);
  EXPECT_EQ(sb.lineLen, 65535);
  char *second = SockBufReadLine(sb);
  t.join();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(std::string(second), std::string(10, 'x'));
  EXPECT_EQ(sb.lineLen, 11);
}

TEST(SockBufReadLine, IdleTimeOutGivesNull) {
  Pair p;
  SockBuf sb;
  SockBufInit(sb);
  sb.sock = p.a;
  SockSetOptions(0, p.a);  // 100 ms
  EXPECT_EQ(SockBufReadLine(sb), nullptr);
  p.put("late\n");
  EXPECT_STREQ(SockBufReadLine(sb), "late");
}

TEST(SockBufReadBytes, GrowsAndReportsEarlyClose) {
  {
    Pair p;
    SockBuf sb;
    SockBufInit(sb);
    sb.sock = p.a;
    std::string body(70000, 'b');
    std::thread t([&] { p.put(body + "GET"); });
    char *block = SockBufReadBytes(sb, 70000);
    t.join();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(sb.capacity, 70008);
    EXPECT_EQ(sb.lineLen, 70000);
    EXPECT_EQ(std::string(block, 70000), body);
    // Nothing behind the block was taken from the socket.
    char rest[8];
    EXPECT_EQ(recv(p.a, rest, sizeof rest, MSG_DONTWAIT), 3);
  }
  {
    Pair p;
    SockBuf sb;
    SockBufInit(sb);
    sb.sock = p.a;
    std::thread t([&] {
      p.put(std::string(1000, 'c'));
      p.closePeer();
    });
    char *block = SockBufReadBytes(sb, 70000);
    t.join();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(sb.lineLen, 1000);
  }
}

// After a large block the buffer goes back to its start size, keeping what follows it.
TEST(SockBufShrink, BackToStartSizeWithTheRestKept) {
  Pair p;
  SockBuf sb;
  SockBufInit(sb);
  sb.sock = p.a;
  std::thread t([&] { p.put(std::string(300000, 'b') + "GET /x HTTP/1.1\r\n"); });
  ASSERT_NE(SockBufReadBytes(sb, 300000), nullptr);
  t.join();
  EXPECT_TRUE(SockBufShrink(sb));
  EXPECT_EQ(sb.capacity, 65536);
  EXPECT_FALSE(SockBufShrink(sb));  // already at its start size
  char *line = SockBufReadLine(sb);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, "GET /x HTTP/1.1");
}

TEST(SendResponse, HeaderBytes) {
  struct Case {
    int keepAlive, maxAge;
    const char *status, *recordStatus;
    int mime;
    std::string body, want;
  } cases[] = {
      {9999, 0, nullptr, "", 5, "{}",
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nKeep-Alive: max=9999\r\nCache-Control: no-cache\r\n"
       "Server: Veskara\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: 2\r\n\r\n{}"},
      {0, 600, nullptr, "404 File not found", 0, "",
       "HTTP/1.1 404 File not found\r\nConnection: close\r\nCache-Control: max-age=600\r\n"
       "Server: Veskara\r\nContent-Type: application/binary;\r\nContent-Length: 0\r\n\r\n"},
      {-3, 0, "510 no such state", "ignored", 9, "x",
       "HTTP/1.1 510 no such state\r\nConnection: keep-alive\r\nKeep-Alive: max=-3\r\nCache-Control: no-cache\r\n"
       "Server: Veskara\r\nContent-Type: text/html\r\nContent-Length: 1\r\n\r\nx"},
      {INT_MIN, INT_MAX, "200 OK", "", 6, "",
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nKeep-Alive: max=-2147483648\r\nCache-Control: max-age=2147483647\r\n"
       "Server: Veskara\r\nContent-Type: image/png\r\nContent-Length: 0\r\n\r\n"},
  };
  for (auto &c : cases) {
    Pair p;
    SockBuf w;
    SockBufInit(w);
    w.sock = p.a;
    w.keepAlive = c.keepAlive;
    snprintf(w.status, sizeof w.status, "%s", c.recordStatus);
    OutAppend(w, c.body.data(), c.body.size());
    SendResponse(w, c.maxAge, c.status, c.mime);
    EXPECT_EQ(p.drain(), c.want);
    EXPECT_EQ(w.keepAlive, c.keepAlive);
  }
}

TEST(SendResponse, FailedBodySendClearsKeepAlive) {
  Pair p;
  SockBuf w;
  SockBufInit(w);
  w.sock = p.a;
  w.keepAlive = 7;
  p.closePeer();
  OutAppendStr(w, "body");
  SendResponse(w, 0, nullptr, 0);  // no SIGPIPE: the process lives on
  EXPECT_EQ(w.keepAlive, 0);
}

TEST(SendResponseFrom, SameAnswerAsTheBodyAppended) {
  // Within the start size, past it (charged to the budget), past the whole budget (the
  // answer without its body; nothing of it is read).
  const std::string body(100000, 'b');
  for (size_t len : {size_t{3}, body.size(), static_cast<size_t>(SockBufBudget) + body.size()}) {
    std::string answers[2];
    for (int from = 0; from < 2; ++from) {
      Pair p;
      SockBuf w;
      SockBufInit(w);
      w.sock = p.a;
      w.budgeted = true;
      if (from) {
        SendResponseFrom(w, 600, "200 OK", kMimePng, body.data(), len);
      } else {
        OutAppend(w, body.data(), len);
        SendResponse(w, 600, "200 OK", kMimePng);
      }
      answers[from] = p.drain();
    }
    EXPECT_EQ(answers[1], answers[0]) << len;
    EXPECT_EQ(answers[1].find("500 result too large") != std::string::npos, len > body.size()) << len;
  }
}

TEST(OutAppend, JsonEscapesAndGrowth) {
  SockBuf w;
  SockBufInit(w);
  const char in[] = {'a', '"', 'b', '/', '\\', '\'', 8, 9, 10, 12, 13, 0, 1, char(0xC3), char(0xA9)};
  OutAppendJson(w, in, sizeof in);
  const char want[] = "a\\\"b\\/\\\\\\'\\b\\t\\n\\f\\r\0\1\xC3\xA9";
  EXPECT_EQ(std::string(w.buf, w.outLen), std::string(want, sizeof want - 1));

  SockBufReset(w);
  std::string big(100000, 'z');
  OutAppend(w, big.data(), big.size());
  EXPECT_EQ(w.capacity, 100000);  // grows to exactly what is needed
  EXPECT_EQ(OutAppendStr(w, nullptr), 0);
  EXPECT_EQ(OutAppendF(w, "%s|%d", std::string(300, 'q').c_str(), 42), 100000 + 303);
  EXPECT_EQ(std::string(w.buf + 100000, 303), std::string(300, 'q') + "|42");
}

TEST(UrlDecode, Escapes) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"/app/a%20b", "/app/a b"}, {"%41%62", "Ab"},   {"a+b", "a+b"},     {"x%2F", "x/"},
      {"/get%54ile/", "/getTile/"}, {"%", "%"},      {"a%4", "a%4"},     {"%zz1", "%zz1"},
      {"%4g", "%4g"},             {"%%41", "%A"},   {"%00end", ""},
  };
  for (auto &c : cases) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", c.in);
    int n = UrlDecode(buf);
    EXPECT_STREQ(buf, c.out) << c.in;
    if (std::string(c.in) != "%00end") {
      EXPECT_EQ(n, (int)strlen(c.out)) << c.in;
    }
  }
}

}  // namespace
