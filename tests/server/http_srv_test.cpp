// The request loop over real loopback sockets: keep-alive, header rules, routing frame,
// limits and hostile input.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "common/host_config.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class Http : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::snprintf(HostConfig.DeviceId, sizeof HostConfig.DeviceId, "W|guid|6.1.0|host|");
    std::snprintf(HostConfig.LocaleName, sizeof HostConfig.LocaleName, "de-DE");
    SharedServerEnv();
  }
};

const char kHostVersion[] =
    "{\"hostversion\":\"W.1.16.78\",\"locale\":\"de-DE\",\"alang\":\"en\",\"skin\":\"Navy Blue\","
    "\"device\":\"W|guid|6.1.0|host|\"}";

std::string Get(const std::string &path, const std::string &extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.2:9999\r\n" + extra + "\r\n";
}

TEST_F(Http, HostVersionDocument) {
  auto r = HttpGet("/hostversion/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
  EXPECT_EQ(r->header("Cache-Control"), "no-cache");
  EXPECT_EQ(r->header("Server"), "Veskara");
  EXPECT_EQ(r->body, kHostVersion);
}

TEST_F(Http, KeepAliveCountsDownThenCloses) {
  HttpConn c;
  ASSERT_TRUE(c.ok());
  // Pipeline in batches so the whole run stays quick.
  int sent = 0;
  for (int batch = 0; batch < 101; ++batch) {
    std::string req;
    int n = std::min(100, 10003 - sent);
    for (int i = 0; i < n; ++i) req += Get("/hostversion/");
    ASSERT_TRUE(c.sendRaw(req));
    for (int i = 0; i < n; ++i) {
      ++sent;
      auto r = c.read();
      ASSERT_TRUE(r) << "response " << sent;
      int max = 10000 - sent;
      if (max == 0) {
        EXPECT_EQ(r->header("Connection"), "close");
        EXPECT_EQ(r->header("Keep-Alive"), "");
      } else {
        EXPECT_EQ(r->header("Connection"), "keep-alive");
        ASSERT_EQ(r->header("Keep-Alive"), "max=" + std::to_string(max)) << sent;
      }
    }
    if (sent == 10003) break;
  }
  EXPECT_TRUE(c.closedByPeer());
}

TEST_F(Http, HeaderBlockRules) {
  // Lower-case Content-Length is not recognised: no response, the body is the next request line.
  {
    HttpConn c;
    c.sendRaw("POST /setValue/x HTTP/1.1\r\ncontent-length: 27\r\n\r\n" + Get("/hostversion/"));
    auto r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, kHostVersion);
  }
  // A GET with a body is answered, and the body is read as the next request.
  {
    HttpConn c;
    std::string next = Get("/hostversion/");
    c.sendRaw("GET /hostversion/ HTTP/1.1\r\nContent-Length: " + std::to_string(next.size()) + "\r\n\r\n" + next);
    ASSERT_TRUE(c.read());
    ASSERT_TRUE(c.read());
  }
  // The last Content-Length wins; blanks after the colon are skipped.
  {
    HttpConn c;
    c.sendRaw("POST /nowhere HTTP/1.1\r\nContent-Length: 99\r\nContent-Length:   3\r\n\r\nabc" + Get("/hostversion/"));
    auto r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, kHostVersion);
  }
}

TEST_F(Http, RequestsWithoutResponseKeepTheConnection) {
  HttpConn c;
  c.sendRaw("HEAD /hostversion/ HTTP/1.1\r\n\r\n"                  // other method
            "POST /setValue/x HTTP/1.1\r\n\r\n"                     // POST without length
            "POST /setValue/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n"  // length 0
            "POST /unknown HTTP/1.1\r\nContent-Length: 2\r\n\r\nab"   // not in the POST table
            "GETXXXXXXXXXXXXXX /hostversion/ HTTP/1.1\r\n\r\n" +    // method over 14 characters
            Get("/hostversion/"));
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);
  EXPECT_EQ(r->header("Keep-Alive"), "max=9994");
}

TEST_F(Http, PathsAreDecodedBeforeMatchingAndLimited) {
  auto r = HttpGet("/%68ostversion/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);

  // 254 characters still route; the query part is not split off.
  std::string p254 = "/hostversion/?" + std::string(254 - 14, 'q');
  ASSERT_EQ(p254.size(), 254u);
  r = HttpGet(p254);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);

  // 255 characters: the path is taken as empty and a POST gets no response.
  HttpConn c;
  c.sendRaw("POST /setValue/" + std::string(245, 'k') + " HTTP/1.1\r\nContent-Length: 1\r\n\r\nv" +
            Get("/hostversion/"));
  r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);
}

TEST_F(Http, NemasockWithoutTokensAnswersZero) {
  auto r = HttpGet("/nemasock/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "0");
  EXPECT_EQ(r->header("Content-Type"), "text/html");
}

TEST_F(Http, Http10IsServedAndKeptOpen) {
  HttpConn c;
  c.sendRaw("GET /hostversion/ HTTP/1.0\r\n\r\n");
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header("Connection"), "keep-alive");
  c.sendRaw("GET /hostversion/ HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(c.read());
}

TEST_F(Http, ForeignHostIsRefused) {
  for (const char *host : {"evil.example", "127.0.0.2:9998", "localhost:9999"}) {
    HttpConn c;
    c.sendRaw(std::string("GET /hostversion/ HTTP/1.1\r\nHost: ") + host + "\r\n\r\n");
    auto r = c.read();
    ASSERT_TRUE(r) << host;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(r->body, "");
    EXPECT_TRUE(c.closedByPeer()) << host;
  }
  HttpConn c;
  c.sendRaw("GET /hostversion/ HTTP/1.1\r\nhost: 127.0.0.2\r\n\r\n");
  auto r = c.read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);
}

TEST_F(Http, EndOfConnectionCases) {
  // A blank line where a request line is expected.
  {
    HttpConn c;
    c.sendRaw("\r\n");
    EXPECT_TRUE(c.closedByPeer());
  }
  // An extra line end after a POST body.
  {
    HttpConn c;
    c.sendRaw("POST /nowhere HTTP/1.1\r\nContent-Length: 2\r\n\r\nab\r\n" + Get("/hostversion/"));
    EXPECT_TRUE(c.closedByPeer());
  }
  // Negative and oversized Content-Length end the connection without a response.
  for (const char *len : {"-5", "999999999999", "67108865", "16777217"}) {
    HttpConn c;
    c.sendRaw(std::string("POST /setValue/x HTTP/1.1\r\nContent-Length: ") + len + "\r\n\r\n");
    EXPECT_TRUE(c.closedByPeer()) << len;
  }
}

// A header line longer than the reader holds (65535 bytes) ends the connection: what
// follows the cut is never read as a header of its own, here a Content-Length that would
// make the rest a body to store.
TEST_F(Http, OverlongHeaderLineEndsTheConnection) {
  for (const std::string &first : {std::string("POST /setValue/cut HTTP/1.1\r\n"), std::string()}) {
    HttpConn c;
    c.sendRaw(first + "X-Pad: " + std::string(65535 - 7, 'a') + "Content-Length: 4\r\n\r\nbody");
    EXPECT_TRUE(c.closedByPeer()) << first;
  }
  auto r = HttpGet("/getValue/cut");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 404 File not found");
}

TEST_F(Http, HostileInputLeavesTheServerServing) {
  std::vector<std::thread> ts;
  ts.emplace_back([] {
    HttpConn c;
    std::string garbage;
    for (int i = 0; i < 200000; ++i) garbage += static_cast<char>((i * 7919) & 0xFF);
    c.sendRaw(garbage);
    c.closedByPeer(2000);
  });
  ts.emplace_back([] {
    HttpConn c;
    c.sendRaw("GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n");
    c.closedByPeer(2000);
  });
  ts.emplace_back([] {
    HttpConn c;
    std::string req = "GET /hostversion/ HTTP/1.1\r\n";
    for (int i = 0; i < 10000; ++i) req += "X-Header-" + std::to_string(i) + ": value\r\n";
    c.sendRaw(req + "\r\n");
    auto r = c.read();
    EXPECT_TRUE(r);
  });
  ts.emplace_back([] {
    HttpConn c;
    c.sendRaw("POST /setValue/k HTTP/1.1\r\nContent-Length: 100000\r\n\r\npartial");
    // closes mid-body
  });
  for (auto &t : ts) t.join();
  auto r = HttpGet("/hostversion/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, kHostVersion);
}

}  // namespace
