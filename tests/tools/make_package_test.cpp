// The package builder, run as a program: what rows a folder becomes, and how it refuses.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "common/db.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

namespace {

using testing_support::MakePackage;
using testing_support::WriteFile;

struct Row {
  std::string v, type;
  int t;
};

// key + "|" + l -> row
std::map<std::string, Row> Rows(const std::string &package) {
  std::map<std::string, Row> out;
  sqlite3 *db = nullptr;
  sqlite3_open_v2(package.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  {
    Stmt s(db, "SELECT k,l,v,typeof(v),t FROM kvt");
    while (sqlite3_step(s) == SQLITE_ROW) {
      auto text = [&](int i) {
        const void *p = sqlite3_column_blob(s, i);
        return std::string(static_cast<const char *>(p ? p : ""), static_cast<size_t>(sqlite3_column_bytes(s, i)));
      };
      out[text(0) + "|" + text(1)] = {text(2), text(3), sqlite3_column_int(s, 4)};
    }
  }
  sqlite3_close(db);
  return out;
}

class MakePackageTool : public ::testing::Test {
 protected:
  std::string In(const std::string &name) { return env.root() + "/in/" + name; }
  testing_support::TestEnv env;
  std::string pkg = env.root() + "/out.veskara";
};

TEST_F(MakePackageTool, FolderBecomesAppRows) {
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  WriteFile(In("veskara.html"), "<!DOCTYPE html>\r\n<html><body>page</body></html>\n");
  WriteFile(In("Main.JS"), "var a = 1;\n");
  WriteFile(In("css/Style.css"), "body{}");
  WriteFile(In("img/Logo.png"), png);
  WriteFile(In("data.json"), "[1]");
  WriteFile(In("readme.txt"), "r");
  WriteFile(In("old.htm"), "<p>no doctype</p>");
  WriteFile(In("photo.jpeg"), "j");
  WriteFile(In("anim.gif"), "g");
  WriteFile(In("pic.bmp"), "b");
  WriteFile(In("blob.bin"), std::string("a\0b", 3));
  ASSERT_EQ(MakePackage(pkg, {"app", env.root() + "/in", "--lang", "en", "--skin", "Navy Blue"}), 0);

  const std::map<std::string, std::tuple<std::string, std::string, int>> want = {
      {"/app/veskara.html|en", {"<html><body>page</body></html>\n", "text", 100}},
      {"/app/main.js|en", {"var a = 1;\n", "text", 3}},
      {"/app/css/style.css|en", {"body{}", "text", 2}},
      {"/app/img/logo.png|Navy Blue", {png, "blob", 6}},
      {"/app/data.json|en", {"[1]", "text", 5}},
      {"/app/readme.txt|en", {"r", "text", 4}},
      {"/app/old.htm|en", {"<p>no doctype</p>", "text", 100}},
      {"/app/photo.jpeg|en", {"j", "blob", 7}},
      {"/app/anim.gif|en", {"g", "blob", 8}},
      {"/app/pic.bmp|en", {"b", "blob", 10}},
      {"/app/blob.bin|en", {std::string("a\0b", 3), "blob", 0}},
  };
  std::map<std::string, Row> got = Rows(pkg);
  ASSERT_EQ(got.size(), want.size());
  for (const auto &[key, w] : want) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(got.count(key));
    EXPECT_EQ(got[key].v, std::get<0>(w));
    EXPECT_EQ(got[key].type, std::get<1>(w));
    EXPECT_EQ(got[key].t, std::get<2>(w));
  }
}

TEST_F(MakePackageTool, RunsAddAndReplaceRows) {
  WriteFile(In("a.js"), "1");
  ASSERT_EQ(MakePackage(pkg, {"app", env.root() + "/in"}), 0);
  ASSERT_EQ(MakePackage(pkg, {"app", env.root() + "/in", "--lang", "de"}), 0);
  WriteFile(In("a.js"), "2");
  ASSERT_EQ(MakePackage(pkg, {"app", env.root() + "/in"}), 0);
  ASSERT_EQ(MakePackage(pkg, {"row", "k", "5", "de", "--text", "[3,4]"}), 0);
  ASSERT_EQ(MakePackage(pkg, {"row", "z", "5", "**", "--null"}), 0);
  WriteFile(In("f.png"), "PNG");
  ASSERT_EQ(MakePackage(pkg, {"row", "/app/f.png", "6", "**", "--file", In("f.png")}), 0);

  std::map<std::string, Row> got = Rows(pkg);
  EXPECT_EQ(got.size(), 5u);
  EXPECT_EQ(got["/app/a.js|**"].v, "2");
  EXPECT_EQ(got["/app/a.js|de"].v, "1");
  EXPECT_EQ(got["k|de"].v, "[3,4]");
  EXPECT_EQ(got["k|de"].t, 5);
  EXPECT_EQ(got["z|**"].type, "null");
  EXPECT_EQ(got["/app/f.png|**"].type, "blob");
}

TEST_F(MakePackageTool, Refusals) {
  WriteFile(In("a.js"), "1");
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{}, 2},
      {{"nothing"}, 2},
      {{"app"}, 2},
      {{"app", "/no/such/folder"}, 1},
      {{"app", "IN", "--lang"}, 2},
      {{"row", "k", "x", "**", "--text", "v"}, 2},
      {{"row", "k", "1", "**", "--int", "12"}, 2},
      {{"row", "k", "1", "**", "--file", "/no/such/file"}, 1},
      {{"row", "k", "1", "**"}, 2},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string &a : args)
      if (a == "IN") a = env.root() + "/in";
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(MakePackage(pkg, args), c.status);
  }
  EXPECT_TRUE(Rows(pkg).empty());
  WriteFile(env.root() + "/file", "x");
  EXPECT_EQ(MakePackage(env.root() + "/file/folder/out.veskara", {"row", "k", "1", "**", "--null"}), 1);
}

TEST_F(MakePackageTool, MakesTheMissingFoldersOfItsPath) {
  const std::string deep = env.root() + "/home/.local/share/Marolin/A000001.veskara";
  ASSERT_EQ(MakePackage(deep, {"row", "k", "1", "**", "--null"}), 0);
  EXPECT_EQ(Rows(deep).size(), 1u);
}

}  // namespace

namespace {

// The demo data folder gets the web-application package built from the demo page, and a
// second run replaces it whole.
TEST(MakeDemo, PutsTheAppPackageIntoTheDataFolder) {
  testing_support::TestEnv env;
  const std::string data = env.root() + "/demo/Marolin";
  const std::string tool = MAROLIN_BINARY_DIR "/tools/make_demo";
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(testing_support::RunProgram(tool, {data, MAROLIN_SOURCE_DIR "/tools/demo"}), 0);
    std::map<std::string, Row> got = Rows(data + "/A000001.veskara");
    ASSERT_TRUE(got.count("/app/veskara.html|**"));
    EXPECT_EQ(got["/app/veskara.html|**"].t, 100);
    EXPECT_EQ(got["/app/veskara.html|**"].v.rfind("<!", 0), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(data + "/A000001.veskara.new"));
  EXPECT_EQ(testing_support::RunProgram(tool, {data}), 2);
}

}  // namespace
