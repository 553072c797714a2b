// The chart package builder: tiles, places and texts land where the server reads them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "common/crc32.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

int RunTool(const std::string &args) {
  std::string cmd = std::string(MAROLIN_BINARY_DIR) + "/tools/make_chart " + args + " >/dev/null 2>&1";
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

uint32_t Be32(const std::string &s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}

TEST(MakeChart, BuildsFromFolderCsvAndTexts) {
  TestEnv env;
  std::string src = env.root() + "/src/";
  WriteFile(src + "tiles/3/5/7.png", "tile 3/5/7");
  WriteFile(src + "tiles/0/0/0.png", "tile 0");
  WriteFile(src + "tiles/12/1048575/1048575.png", "last");
  WriteFile(src + "tiles/readme.txt", "not a tile");
  WriteFile(src + "gaz.csv",
            "n,c,x,y,r\n"
            "Plain,town,100,200,3\n"
            "\"Quoted, with \"\"quotes\"\"\",,-5,7,0\r\n");
  WriteFile(src + "gazll.csv", "lat,lon,n,r\n0,0,Origin,1\n");
  WriteFile(src + "texts/de/Legend.json", "[1,2]");
  WriteFile(src + "texts/all/sub/Info.txt", "for all");
  std::string pkg = env.root() + "/out.veskara";

  ASSERT_EQ(RunTool(pkg + " build --tiles " + src + "tiles"), 2);  // arguments out of order
  ASSERT_EQ(RunTool("build " + pkg + " --tiles " + src + "tiles --gaz " + src + "gaz.csv --texts " + src + "texts"), 0);
  EXPECT_EQ(SqlRows(pkg, "SELECT zyx, png FROM tiles ORDER BY zyx"),
            (std::vector<std::string>{"0|tile 0", "3298540126215|tile 3/5/7", "14293651161087|last"}));
  EXPECT_EQ(SqlRows(pkg, "SELECT n, c, x, y, r FROM gaz ORDER BY r DESC"),
            (std::vector<std::string>{"Plain|town|100|200|3", "Quoted, with \"quotes\"||-5|7|0"}));
  EXPECT_EQ(SqlRows(pkg, "SELECT k, v, t, l FROM kvt ORDER BY l"),
            (std::vector<std::string>{"sub/info.txt|for all|4|**", "legend.json|[1,2]|5|de"}));

  // Degrees become world coordinates: the origin is the middle of the square.
  ASSERT_EQ(RunTool("build " + pkg + " --tiles " + src + "tiles --gaz " + src + "gazll.csv"), 0);
  EXPECT_EQ(SqlRows(pkg, "SELECT n, x, y, r FROM gaz"), std::vector<std::string>{"Origin|20015089|20015089|1"});

  // Places the server would read at another spot, or that have no spot, stop the build.
  for (const char *csv : {"n,x,y,r\nFar,2147483648,0,1\n", "n,x,y,r\nFar,0,-2147483649,1\n",
                          "n,x,y,r\nHuge,99999999999999999999,0,1\n", "n,lat,lon,r\nPole,90,0,1\n",
                          "n,lat,lon,r\nText,north,0,1\n"}) {
    WriteFile(src + "bad.csv", csv);
    EXPECT_EQ(RunTool("build " + pkg + " --tiles " + src + "tiles --gaz " + src + "bad.csv"), 1) << csv;
  }
  WriteFile(src + "edge.csv", "n,x,y,r\nEdge,2147483647,-2147483648,1\n");
  ASSERT_EQ(RunTool("build " + pkg + " --tiles " + src + "tiles --gaz " + src + "edge.csv"), 0);
  EXPECT_EQ(SqlRows(pkg, "SELECT n, x, y FROM gaz"), std::vector<std::string>{"Edge|2147483647|-2147483648"});

  // Files that are not z/y/x.png tiles stop the build.
  WriteFile(src + "tiles/3/x/7.png", "bad");
  EXPECT_EQ(RunTool("build " + pkg + " --tiles " + src + "tiles"), 1);
}

TEST(MakeChart, DemoTilesAreWellFormedPngs) {
  TestEnv env;
  std::string pkg = env.root() + "/demo.veskara";
  ASSERT_EQ(RunTool("demo " + pkg + " --max-zoom 9 --tiles-out " + env.root() + "/t"), 0);
  auto rows = SqlRows(pkg, "SELECT zyx >> 40, (zyx >> 20) & 1048575, zyx & 1048575, png FROM tiles");
  ASSERT_GT(rows.size(), 2u);
  for (const std::string &row : rows) {
    size_t a = row.find('|'), b = row.find('|', a + 1), c = row.find('|', b + 1);
    std::string file = env.root() + "/t/" + row.substr(0, a) + "/" + row.substr(a + 1, b - a - 1) + "/" +
                       row.substr(b + 1, c - b - 1) + ".png";
    std::string png = row.substr(c + 1);
    EXPECT_EQ(ReadFile(file), png) << file;  // the folder holds the same tiles
    ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // Every chunk's CRC holds, and the image is 256 x 256.
    size_t at = 8;
    std::string types;
    while (at + 12 <= png.size()) {
      uint32_t len = Be32(png, at);
      ASSERT_LE(at + 12 + len, png.size());
      uint32_t crc = ~Crc32Update(0xFFFFFFFFu, png.data() + at + 4, len + 4);
      EXPECT_EQ(crc, Be32(png, at + 8 + len)) << file << " " << png.substr(at + 4, 4);
      types += png.substr(at + 4, 4) + " ";
      at += 12 + len;
    }
    EXPECT_EQ(at, png.size());
    EXPECT_EQ(types, "IHDR PLTE IDAT IEND ");
    EXPECT_EQ(Be32(png, 16), 256u);
    EXPECT_EQ(Be32(png, 20), 256u);
  }
  EXPECT_EQ(SqlRows(pkg, "SELECT count(*) FROM gaz WHERE x > 0 AND y > 0"), std::vector<std::string>{"8"});
  EXPECT_EQ(SqlRows(pkg, "SELECT v FROM kvt WHERE k='name' AND l='en'"),
            std::vector<std::string>{"\"Demo chart: Veskara Sound\""});
}

}  // namespace
