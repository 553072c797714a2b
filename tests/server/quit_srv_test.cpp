// "/quit!": the requesting connection closes without a response, and the next connection
// is still served for exactly one request.
#include <gtest/gtest.h>

#include "common/host_config.h"
#include "tests/support/testing.h"

using namespace testing_support;

TEST(Quit, ClosesAndServesOneMoreRequest) {
  TestEnv env;
  StartTestServer(env);
  {
    HttpConn c;
    ASSERT_TRUE(c.get("/hostversion/"));
    c.sendRaw("GET /quit!now HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(c.closedByPeer());
  }
  EXPECT_EQ(HostConfig.ServerRunning, 0);
  HttpConn last;
  ASSERT_TRUE(last.ok());
  auto r = last.get("/hostversion/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(last.closedByPeer());
  // The listener has ended: a further connection is refused, or reset unanswered when it
  // slipped into the backlog before the listening socket closed.
  HttpConn none;
  if (none.ok()) {
    none.sendRaw("GET /hostversion/ HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(none.closedByPeer());
  }
}
