// The chart package builder: tiles, places and texts land where the server reads them,
// and the demo chart has water wherever the demo's recordings sail.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "nav/ais/ais_codec.h"
#include "tests/support/sqlfile.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

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
  // One English name whatever the page's language.
  EXPECT_EQ(SqlRows(pkg, "SELECT v, l FROM kvt WHERE k='name'"),
            std::vector<std::string>{"\"Demo chart: Veskara Sound\"|**"});
}

// --- the demo chart's water, read from its tiles -------------------------------------

// Inflates the zlib stream of the builder's tiles: stored and fixed-Huffman blocks.
class Inflater {
 public:
  explicit Inflater(const std::string &in) : in_(in), at_(2) {}
  bool run(std::string &out) {
    for (bool last = false; !last;) {
      last = bit();
      int type = bits(2);
      if (type == 0) {
        at_ = (at_ * 8 + bit_ + 7) / 8, bit_ = 0;
        if (at_ + 4 > in_.size()) return false;
        size_t len = uint8_t(in_[at_]) | uint8_t(in_[at_ + 1]) << 8;
        at_ += 4;
        out += in_.substr(at_, len);
        at_ += len;
      } else if (type == 1) {
        for (;;) {
          int sym = fixedSymbol();
          if (sym < 0) return false;
          if (sym < 256) out += char(sym);
          if (sym == 256) break;
          if (sym < 257) continue;
          static const int kLenBase[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
          static const int kDistBase[] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                          33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                          1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
          int l = sym - 257;
          if (l > 28) return false;
          int len = kLenBase[l] + bits(l < 8 || l == 28 ? 0 : (l - 4) / 4);
          int d = 0;
          for (int i = 0; i < 5; ++i) d = d << 1 | bit();
          if (d > 29) return false;
          size_t dist = static_cast<size_t>(kDistBase[d] + bits(d < 4 ? 0 : (d - 2) / 2));
          if (dist > out.size()) return false;
          for (int i = 0; i < len; ++i) out += out[out.size() - dist];
        }
      } else {
        return false;  // dynamic codes: not what the builder writes
      }
      if (at_ > in_.size()) return false;
    }
    return true;
  }

 private:
  int bit() {
    if (at_ >= in_.size()) return at_ = in_.size() + 1, 0;
    int b = uint8_t(in_[at_]) >> bit_ & 1;
    if (++bit_ == 8) bit_ = 0, ++at_;
    return b;
  }
  int bits(int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) v |= bit() << i;
    return v;
  }
  int fixedSymbol() {
    int v = 0;
    for (int i = 0; i < 7; ++i) v = v << 1 | bit();
    if (v <= 23) return 256 + v;
    v = v << 1 | bit();
    if (v >= 0x30 && v <= 0xBF) return v - 0x30;
    if (v >= 0xC0 && v <= 0xC7) return 280 + v - 0xC0;
    v = v << 1 | bit();
    return v >= 0x190 && v <= 0x1FF ? 144 + v - 0x190 : -1;
  }
  const std::string &in_;
  size_t at_;
  int bit_ = 0;
};

struct Rgb {
  int r, g, b;
};

// The colour of pixel (px, py) of a 256 x 256 palette tile as the builder writes it.
Rgb TilePixel(const std::string &png, int px, int py) {
  std::string palette, data;
  for (size_t at = 8; at + 12 <= png.size();) {
    uint32_t len = Be32(png, at);
    std::string type = png.substr(at + 4, 4);
    if (type == "PLTE") palette = png.substr(at + 8, len);
    if (type == "IDAT") data += png.substr(at + 8, len);
    at += 12 + len;
  }
  std::string raw;
  EXPECT_TRUE(Inflater(data).run(raw));
  size_t row = static_cast<size_t>(py) * 257;
  if (raw.size() != 257u * 256u || raw[row] != 0) {
    ADD_FAILURE() << "tile is not 256 rows of unfiltered bytes";
    return {0, 0, 0};
  }
  size_t i = uint8_t(raw[row + 1 + static_cast<size_t>(px)]) * 3u;
  if (i + 3 > palette.size()) return {0, 0, 0};
  return {uint8_t(palette[i]), uint8_t(palette[i + 1]), uint8_t(palette[i + 2])};
}

// Water is drawn in light blues; land, shore, the graticule on land and the area outside
// the chart are not.
bool IsWater(const Rgb &c) { return c.b >= 200 && c.b > c.r + 30 && c.b > c.g; }

const double kWorld = 40030178.618589394;  // the page's world square

struct WorldPos {
  double x, y;
  std::string what;
};

WorldPos FromDegrees(double lat, double lon, const std::string &what) {
  double phi = lat * M_PI / 180;
  return {(lon + 180) / 360 * kWorld, (1 - std::log(std::tan(phi) + 1 / std::cos(phi)) / M_PI) / 2 * kWorld, what};
}

double NmeaDegrees(const std::string &f, const std::string &hemi) {
  size_t dot = f.find('.');
  if (dot == std::string::npos || dot < 3) return NAN;
  double v = std::stod(f.substr(0, dot - 2)) + std::stod(f.substr(dot - 2)) / 60.0;
  return hemi == "S" || hemi == "W" ? -v : v;
}

// Every fix of a log (RMC, GGA, GLL) and every AIS position, the latter through the
// program's own decoder, as the page would place them.
std::vector<WorldPos> RecordedPositions(const std::string &log) {
  std::vector<WorldPos> out;
  std::istringstream in(ReadFile(log));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> f(1);
    for (char c : line.substr(0, line.find('*'))) {
      if (c == ',') f.emplace_back();
      else f.back() += c;
    }
    if (f[0].size() != 6) continue;
    std::string id = f[0].substr(3);
    int at = id == "RMC" && f.size() > 6 && f[2] == "A" ? 3 : id == "GGA" && f.size() > 6 && f[6] != "0" ? 2
           : id == "GLL" && f.size() > 6 && f[6] == "A"  ? 1 : 0;
    if (at) {
      out.push_back(FromDegrees(NmeaDegrees(f[at], f[at + 1]), NmeaDegrees(f[at + 2], f[at + 3]), line));
    } else if (f[0][0] == '!') {
      char row[kAisRowSize];
      size_t n = AisDecodeRow(line.c_str(), row);
      long long mmsi, type, time, x, y;
      if (n && std::sscanf(row, "[%lld,%lld,%lld,%lld,%lld", &mmsi, &type, &time, &x, &y) == 5 &&
          (type <= 4 || type == 18) && x > 0 && x < kWorld && y > 0 && y < kWorld)  // not "not available"
        out.push_back({double(x), double(y), line});
    }
  }
  return out;
}

std::string TileAt(const std::string &dir, int z, const WorldPos &p, int &px, int &py) {
  double scale = 256 * std::ldexp(1.0, z) / kWorld;
  long long X = static_cast<long long>(std::floor(p.x * scale)), Y = static_cast<long long>(std::floor(p.y * scale));
  px = static_cast<int>(X % 256), py = static_cast<int>(Y % 256);
  std::string file =
      dir + "/" + std::to_string(z) + "/" + std::to_string(Y / 256) + "/" + std::to_string(X / 256) + ".png";
  return fs::exists(file) ? ReadFile(file) : std::string();
}

TEST(MakeChart, DemoChartHasWaterAtEveryRecordedPosition) {
  TestEnv env;
  const std::string logs[] = {std::string(MAROLIN_TESTDATA_DIR) + "/nmea/bundg_zeus_9.log",
                              std::string(MAROLIN_TESTDATA_DIR) + "/nmea/ais-nmea.log"};
  std::string tiles = env.root() + "/t";
  ASSERT_EQ(RunTool("demo " + env.root() + "/demo.veskara --max-zoom 13 --tiles-out " + tiles + " --water " +
                    logs[0] + " --water " + logs[1]),
            0);
  size_t checked = 0, ais = 0;
  for (const std::string &log : logs) {
    for (const WorldPos &p : RecordedPositions(log)) {
      ais += p.what[0] == '!';
      for (int z : {10, 13}) {
        int px, py;
        std::string png = TileAt(tiles, z, p, px, py);
        ASSERT_FALSE(png.empty()) << "no tile at zoom " << z << " for " << p.what;
        Rgb c = TilePixel(png, px, py);
        ASSERT_TRUE(IsWater(c)) << "zoom " << z << " pixel " << px << "," << py << " is " << c.r << "," << c.g << ","
                                << c.b << " at " << p.what;
        ++checked;
      }
    }
  }
  EXPECT_GT(ais, 100u);
  EXPECT_GT(checked, 1000u);

  // Any recording given gets its water: a fix in the middle of an island.
  WriteFile(env.root() + "/inland.log", "$GPRMC,120000,A,5250.7149,N,00522.5762,E,4.0,90.0,010120,,,A*00\n");
  WorldPos inland = FromDegrees(52.845249, 5.376270, "inland");
  for (bool given : {false, true}) {
    std::string dir = env.root() + (given ? "/with" : "/without");
    ASSERT_EQ(RunTool("demo " + env.root() + "/d2.veskara --max-zoom 11 --tiles-out " + dir +
                      (given ? " --water " + env.root() + "/inland.log" : std::string())),
              0);
    int px, py;
    std::string png = TileAt(dir, 11, inland, px, py);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(IsWater(TilePixel(png, px, py)), given);
  }
}

}  // namespace
