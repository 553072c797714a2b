// "/getAuth/" tokens and "/getcrc32/" checksums over real sockets.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "tests/support/testing.h"

using namespace testing_support;

namespace {

const TestEnv &Env() { return SharedServerEnv(); }

TEST(GetAuth, TokenOfTheArgumentAndTheSuffix) {
  Env();
  // Expected digests computed independently over the argument followed by "-qomTrev".
  struct {
    std::string path, token;
  } cases[] = {
      {"/getAuth/", "6416ec99884f8b5af4fc8f6ac9798e0e"},           // the suffix alone
      {"/getAuth/a%20b", "568081c4c4a980518d3c42bcdcfd3dca"},      // decoded first
      {"/getAuth/ab%00cd", "32784f9475610424dbdbf179fd2dbaf1"},    // hashed up to the NUL
      {"/getAuth/x?y=1", "51a5e4e175a9a871194a7ec701c75f7d"},      // the query belongs to it
      {"/getAuth/%C3%A9t%C3%A9", "98567e73fd94b3590dbd364d316ebeb4"},  // bytes above 0x7F unchanged
      {"/getAuth/" + std::string(245, 'A'), "ea786236524082bb75cf2658ef7fc83c"},  // the longest path
  };
  HttpConn conn;
  for (const auto &c : cases) {
    for (int again = 0; again < 2; ++again) {
      auto r = again ? conn.get(c.path) : HttpGet(c.path);
      ASSERT_TRUE(r) << c.path;
      EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
      EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
      EXPECT_EQ(r->header("Cache-Control"), "no-cache");
      EXPECT_EQ(r->header("Content-Length"), "32");
      EXPECT_EQ(r->body, c.token) << c.path;
    }
  }
}

TEST(GetAuth, OnlyTheFullPrefixReachesTheRoute) {
  Env();
  // Without the final slash it is a chart-package lookup, which finds nothing.
  for (const char *path : {"/getAuth", "/getauth/x", "/GetAuth/x"}) {
    auto r = HttpGet(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->statusLine, "HTTP/1.1 404 File not found") << path;
    EXPECT_EQ(r->body, "") << path;
  }
}

std::string Crc(const std::string &name) {
  auto r = HttpGet("/getcrc32/" + name);
  EXPECT_TRUE(r) << name;
  if (!r) return "";
  EXPECT_EQ(r->statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(r->header("Content-Type"), "application/json; charset=UTF-8");
  EXPECT_EQ(r->header("Cache-Control"), "no-cache");
  return r->body;
}

const char *const kNone = "{\"crc32\":\"none\",\"size\":0}";

TEST(Crc32Route, ChecksumAndSize) {
  const TestEnv &env = Env();
  WriteFile(env.dataFolder() + "empty.veskara", "");
  WriteFile(env.dataFolder() + "abc.veskara", "abc");
  WriteFile(env.dataFolder() + "z347", "z347");  // CRC 007c92d5
  std::string big(100000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  WriteFile(env.dataFolder() + "big.veskara", big);  // several 8192-byte pieces
  WriteFile(env.workDir() + "/work.veskara", "123456789");
  WriteFile(env.workDir() + "/both.veskara", "work copy");
  WriteFile(env.dataFolder() + "both.veskara", "abc");
  WriteFile(env.dataFolder() + "with space", "abc");
  struct {
    const char *name, *body;
  } cases[] = {
      {"empty.veskara", "{\"crc32\":\"00000000\",\"size\":0}"},
      {"abc.veskara", "{\"crc32\":\"352441c2\",\"size\":3}"},
      {"z347", "{\"crc32\":\"007c92d5\",\"size\":4}"},
      {"big.veskara", "{\"crc32\":\"b353b8fa\",\"size\":100000}"},
      {"work.veskara", "{\"crc32\":\"cbf43926\",\"size\":9}"},  // only in the working directory
      {"both.veskara", "{\"crc32\":\"352441c2\",\"size\":3}"},  // the data folder comes first
      {"with%20space", "{\"crc32\":\"352441c2\",\"size\":3}"},
      {"missing.veskara", kNone},
  };
  for (const auto &c : cases) EXPECT_EQ(Crc(c.name), c.body) << c.name;
}

TEST(Crc32Route, RefusedNamesAndFilesThatAreNotRegular) {
  const TestEnv &env = Env();
  WriteFile(env.root() + "/outside", "abc");
  WriteFile(env.dataFolder() + "sub/inner.veskara", "abc");
  ASSERT_EQ(mkfifo((env.dataFolder() + "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((env.dataFolder() + "folder").c_str(), 0700), 0);
  std::string absolute = env.root() + "/outside";
  for (std::string name : {std::string(""), std::string("."), std::string(".."), std::string("veskara.trip"),
                           std::string("../outside"), std::string("..%2Foutside"), absolute,
                           std::string("..\\outside"), std::string("sub/inner.veskara"), std::string("fifo"),
                           std::string("folder")}) {
    EXPECT_EQ(Crc(name), kNone) << name;
  }
}

}  // namespace
