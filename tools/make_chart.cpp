// Builds chart packages: tiles from a folder of z/y/x.png files, place names from a CSV
// file and map texts from a folder, into one SQLite file; or renders a small demo chart.
//
//   make_chart build PACKAGE --tiles DIR [--gaz FILE.csv] [--texts DIR]
//   make_chart demo PACKAGE [--tiles-out DIR] [--max-zoom N] [--list FILE]
//
// Texts: DIR/<language>/<key> becomes the row (key, file content, type by extension,
// language); a language folder named "all" holds rows for every language ("**").
// Gazetteer CSV: a header line naming the columns n, c, r and either x, y (world units)
// or lon, lat (degrees); fields may be quoted with double quotes.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/tile_key.h"
#include "tools/png_write.h"

namespace fs = std::filesystem;

namespace {

const double kPi = 3.14159265358979323846;
// World coordinates of the page: a square of this side, origin at the north-west corner.
const double kWorldSide = 40030178.618589394;

const char *const kSchema =
    "CREATE TABLE tiles (zyx INTEGER PRIMARY KEY, png BLOB);"
    "CREATE TABLE gaz (c TEXT, n TEXT, x INTEGER, y INTEGER, r INTEGER);"
    "CREATE INDEX i_gaz_xy ON gaz(x,y);"
    "CREATE TABLE kvt (k TEXT,v TEXT,t INTEGER, l TEXT);"
    "CREATE INDEX i_kv_lk ON kvt(l,k);";

[[noreturn]] void Fail(const std::string &msg) {
  std::fprintf(stderr, "make_chart: %s\n", msg.c_str());
  std::exit(1);
}

std::string ReadAll(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) Fail("cannot read " + p.string());
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class Package {
 public:
  explicit Package(const std::string &path) {
    fs::remove(path);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      Fail("cannot create " + path);
    exec(kSchema);
    exec("BEGIN");
  }
  ~Package() { sqlite3_close(db_); }
  Package(const Package &) = delete;
  Package &operator=(const Package &) = delete;

  void exec(const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) Fail(err ? err : sql);
  }
  void commit() { exec("COMMIT"); }

  void tile(int z, int y, int x, const std::string &png) {
    sqlite3_stmt *st = prepare("INSERT OR REPLACE INTO tiles VALUES (?,?)");
    sqlite3_bind_int64(st, 1, TileKey(z, y, x));
    sqlite3_bind_blob(st, 2, png.data(), static_cast<int>(png.size()), SQLITE_TRANSIENT);
    run(st);
  }
  void place(const std::string &n, const std::string &c, long long x, long long y, int r) {
    sqlite3_stmt *st = prepare("INSERT INTO gaz VALUES (?,?,?,?,?)");
    sqlite3_bind_text(st, 1, c.data(), static_cast<int>(c.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, n.data(), static_cast<int>(n.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 3, x);
    sqlite3_bind_int64(st, 4, y);
    sqlite3_bind_int(st, 5, r);
    run(st);
  }
  void text(const std::string &k, const std::string &v, int t, const std::string &l) {
    sqlite3_stmt *st = prepare("INSERT INTO kvt VALUES (?,?,?,?)");
    sqlite3_bind_text(st, 1, k.data(), static_cast<int>(k.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 3, t);
    sqlite3_bind_text(st, 4, l.data(), static_cast<int>(l.size()), SQLITE_TRANSIENT);
    run(st);
  }

 private:
  sqlite3_stmt *prepare(const char *sql) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(db_));
    return st;
  }
  void run(sqlite3_stmt *st) {
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) Fail(sqlite3_errmsg(db_));
  }
  sqlite3 *db_ = nullptr;
};

bool ParseInt(const std::string &s, long long &v) {
  if (s.empty()) return false;
  char *end = nullptr;
  errno = 0;
  v = std::strtoll(s.c_str(), &end, 10);
  return *end == 0 && errno != ERANGE;
}

bool ParseDouble(const std::string &s, double &v) {
  if (s.empty()) return false;
  char *end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return *end == 0 && std::isfinite(v);
}

// --- tiles from a folder -----------------------------------------------------------

int AddTileFolder(Package &pkg, const fs::path &dir) {
  int count = 0;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file() || e.path().extension() != ".png") continue;
    fs::path rel = fs::relative(e.path(), dir);
    std::vector<std::string> parts;
    for (const auto &p : rel) parts.push_back(p.string());
    long long z, y, x;
    if (parts.size() != 3 || !ParseInt(parts[0], z) || !ParseInt(parts[1], y) ||
        !ParseInt(e.path().stem().string(), x) || z < 0 || z > 30 || y < 0 || y >= (1 << 20) || x < 0 ||
        x >= (1 << 20))
      Fail("not a z/y/x.png tile: " + rel.string());
    pkg.tile(static_cast<int>(z), static_cast<int>(y), static_cast<int>(x), ReadAll(e.path()));
    ++count;
  }
  return count;
}

// --- gazetteer from CSV ------------------------------------------------------------

std::vector<std::string> CsvFields(const std::string &line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') out.back() += '"', ++i;
      else if (c == '"') quoted = false;
      else out.back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      out.emplace_back();
    } else if (c != '\r') {
      out.back() += c;
    }
  }
  return out;
}

long long WorldX(double lon) { return std::llround((lon + 180.0) / 360.0 * kWorldSide); }
long long WorldY(double lat) {
  double s = std::sin(lat * kPi / 180.0);
  return std::llround((0.5 - std::log((1 + s) / (1 - s)) / (4 * kPi)) * kWorldSide);
}

int AddGazetteer(Package &pkg, const fs::path &csv) {
  std::istringstream in(ReadAll(csv));
  std::string line;
  if (!std::getline(in, line)) Fail("empty gazetteer file");
  std::map<std::string, size_t> col;
  auto head = CsvFields(line);
  for (size_t i = 0; i < head.size(); ++i) col[head[i]] = i;
  bool world = col.count("x") && col.count("y");
  if (!col.count("n") || !col.count("r") || (!world && !(col.count("lon") && col.count("lat"))))
    Fail("gazetteer header needs n, r and x,y or lon,lat");
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line == "\r") continue;
    auto f = CsvFields(line);
    f.resize(head.size());
    std::string c = col.count("c") ? f[col["c"]] : "";
    long long x, y, r;
    if (world) {
      if (!ParseInt(f[col["x"]], x) || !ParseInt(f[col["y"]], y)) Fail("bad x/y: " + line);
    } else {
      double lon, lat;
      // The poles lie at infinity on the page's square.
      if (!ParseDouble(f[col["lon"]], lon) || !ParseDouble(f[col["lat"]], lat) || !(std::fabs(lat) < 90))
        Fail("bad lon/lat: " + line);
      x = WorldX(lon);
      y = WorldY(lat);
    }
    // The server reads x and y as signed 32-bit numbers.
    if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) Fail("x/y beyond 32 bits: " + line);
    if (!ParseInt(f[col["r"]], r) || r < 0 || r > 255) Fail("bad class: " + line);
    pkg.place(f[col["n"]], c, x, y, static_cast<int>(r));
    ++count;
  }
  return count;
}

// --- map texts from a folder -------------------------------------------------------

int TypeOf(const std::string &ext) {
  static const std::map<std::string, int> kTypes = {{".html", 1}, {".css", 2}, {".js", 3}, {".txt", 4},
                                                    {".json", 5}, {".png", 6}, {".jpg", 7}, {".gif", 8}};
  auto it = kTypes.find(ext);
  return it == kTypes.end() ? 0 : it->second;
}

int AddTexts(Package &pkg, const fs::path &dir) {
  int count = 0;
  for (const auto &langDir : fs::directory_iterator(dir)) {
    if (!langDir.is_directory()) continue;
    std::string lang = langDir.path().filename().string();
    if (lang == "all") lang = "**";
    for (const auto &e : fs::recursive_directory_iterator(langDir.path())) {
      if (!e.is_regular_file()) continue;
      // Keys are looked up lower-cased.
      std::string key = fs::relative(e.path(), langDir.path()).generic_string();
      std::transform(key.begin(), key.end(), key.begin(), [](unsigned char ch) { return std::tolower(ch); });
      pkg.text(key, ReadAll(e.path()), TypeOf(e.path().extension().string()), lang);
      ++count;
    }
  }
  return count;
}

// --- demo chart --------------------------------------------------------------------

// A fictional sea area with islands, drawn from a smooth noise field in degrees, so that
// every zoom level shows the same coastline.
// It lies where the recorded logs that the demo plays were taken, so the own ship and
// the AIS targets sail across it.
const double kLonMin = 4.9, kLonMax = 6.1, kLatMin = 52.5, kLatMax = 53.2;

double Hash(int x, int y) {
  uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return ((h ^ (h >> 16)) & 0xFFFFFF) / double(0xFFFFFF);
}

double Noise(double x, double y) {
  int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
  double fx = x - ix, fy = y - iy;
  fx = fx * fx * (3 - 2 * fx);
  fy = fy * fy * (3 - 2 * fy);
  double a = Hash(ix, iy), b = Hash(ix + 1, iy), c = Hash(ix, iy + 1), d = Hash(ix + 1, iy + 1);
  return a + (b - a) * fx + (c - a) * fy + (a - b - c + d) * fx * fy;
}

// Height above the sea: positive on land, negative at depth.
double Height(double lon, double lat) {
  double u = (lon - kLonMin) * 12, v = (lat - kLatMin) * 20;
  double n = Noise(u, v) * 0.55 + Noise(u * 2.1, v * 2.1) * 0.3 + Noise(u * 4.3, v * 4.3) * 0.15;
  return n - 0.62;
}

enum Colour : uint8_t { kDeep, kMid, kShallow, kShore, kLand, kLandHigh, kGrid, kOutside };
const std::vector<png_write::Rgb> kPalette = {
    {151, 196, 232}, {176, 212, 240}, {201, 228, 248}, {86, 96, 110},
    {240, 226, 186}, {226, 208, 160}, {120, 140, 170}, {224, 232, 238},
};

uint8_t ColourAt(double lon, double lat, double degPerPixel) {
  if (lon < kLonMin || lon > kLonMax || lat < kLatMin || lat > kLatMax) return kOutside;
  // Graticule every 10 minutes of arc.
  double gl = std::fmod(lon * 6, 1.0), gt = std::fmod(lat * 6, 1.0);
  double w = degPerPixel * 6 * 0.75;
  if (gl < w || gt < w) return kGrid;
  double h = Height(lon, lat);
  if (h > 0.12) return kLandHigh;
  if (h > 0.0) return h < 0.01 ? kShore : kLand;
  if (h > -0.05) return kShallow;
  return h > -0.12 ? kMid : kDeep;
}

double TileLon(int x, int z) { return x / std::ldexp(1.0, z) * 360.0 - 180.0; }
double TileLat(int y, int z) { return std::atan(std::sinh(kPi * (1 - 2 * y / std::ldexp(1.0, z)))) * 180.0 / kPi; }
int LonTile(double lon, int z) { return static_cast<int>(std::floor((lon + 180.0) / 360.0 * std::ldexp(1.0, z))); }
int LatTile(double lat, int z) {
  double r = lat * kPi / 180.0;
  return static_cast<int>(std::floor((1 - std::asinh(std::tan(r)) / kPi) / 2 * std::ldexp(1.0, z)));
}

std::string RenderTile(int z, int y, int x) {
  const int kSize = 256, kStep = 2;  // the field is sampled every second pixel
  std::vector<uint8_t> px(kSize * kSize);
  double lon0 = TileLon(x, z), lon1 = TileLon(x + 1, z);
  double degPerPixel = (lon1 - lon0) / kSize;
  for (int py = 0; py < kSize; py += kStep) {
    double lat = TileLat(y, z) + (TileLat(y + 1, z) - TileLat(y, z)) * (py + 0.5 * kStep) / kSize;
    for (int pxl = 0; pxl < kSize; pxl += kStep) {
      double lon = lon0 + degPerPixel * (pxl + 0.5 * kStep);
      uint8_t c = ColourAt(lon, lat, degPerPixel * kStep);
      for (int dy = 0; dy < kStep; ++dy)
        for (int dx = 0; dx < kStep; ++dx) px[(py + dy) * kSize + pxl + dx] = c;
    }
  }
  return png_write::EncodePalette(kSize, kSize, px, kPalette);
}

struct DemoPlace {
  const char *name, *kind;
  double lon, lat;
  int r;
};
const DemoPlace kDemoPlaces[] = {
    {"Veskara Sound", "sea", 5.50, 52.85, 40}, {"Halvex Bight", "bay", 5.15, 52.65, 20},
    {"Celvora Deep", "sea", 5.85, 53.05, 30},  {"North Light", "light", 5.40, 53.10, 10},
    {"Brevant Shoal", "shoal", 5.70, 52.60, 5}, {"Marolin Harbour", "harbour", 5.30, 52.90, 15},
    {"Tide Rock", "rock", 6.00, 52.75, 0},      {"Gull Point", "point", 5.60, 53.00, 0},
};

int Demo(const std::string &out, const std::string &tilesOut, int maxZoom, const std::string &listFile) {
  Package pkg(out);
  int count = 0;
  std::ofstream list;
  if (!listFile.empty()) list.open(listFile);
  for (int z = 8; z <= maxZoom; ++z) {
    for (int y = LatTile(kLatMax, z); y <= LatTile(kLatMin, z); ++y) {
      for (int x = LonTile(kLonMin, z); x <= LonTile(kLonMax, z); ++x) {
        std::string png = RenderTile(z, y, x);
        pkg.tile(z, y, x, png);
        if (!tilesOut.empty()) {
          fs::path p = fs::path(tilesOut) / std::to_string(z) / std::to_string(y) / (std::to_string(x) + ".png");
          fs::create_directories(p.parent_path());
          std::ofstream(p, std::ios::binary) << png;
        }
        if (list.is_open()) list << z << '/' << y << '/' << x << '\n';
        ++count;
      }
    }
  }
  for (const DemoPlace &p : kDemoPlaces) pkg.place(p.name, p.kind, WorldX(p.lon), WorldY(p.lat), p.r);
  char bounds[160];
  std::snprintf(bounds, sizeof bounds, "{\"lon0\":%.2f,\"lat0\":%.2f,\"lon1\":%.2f,\"lat1\":%.2f,\"zmin\":8,\"zmax\":%d}",
                kLonMin, kLatMin, kLonMax, kLatMax, maxZoom);
  pkg.text("bounds", bounds, 5, "**");
  pkg.text("name", "\"Demo chart: Veskara Sound\"", 5, "en");
  pkg.text("name", "\"Demokarte: Veskara-Sund\"", 5, "de");
  pkg.commit();
  std::printf("%s: %d tiles, %zu places\n", out.c_str(), count, std::size(kDemoPlaces));
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make_chart build PACKAGE --tiles DIR [--gaz FILE.csv] [--texts DIR]\n"
               "       make_chart demo PACKAGE [--tiles-out DIR] [--max-zoom N] [--list FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  std::string mode = argv[1], out = argv[2];
  std::map<std::string, std::string> opt;
  for (int i = 3; i + 1 < argc; i += 2) opt[argv[i]] = argv[i + 1];
  if ((argc - 3) % 2) return Usage();
  if (mode == "demo") {
    int maxZoom = opt.count("--max-zoom") ? std::atoi(opt["--max-zoom"].c_str()) : 12;
    if (maxZoom < 8 || maxZoom > 18) return Usage();
    return Demo(out, opt["--tiles-out"], maxZoom, opt["--list"]);
  }
  if (mode != "build" || !opt.count("--tiles")) return Usage();
  Package pkg(out);
  int tiles = AddTileFolder(pkg, opt["--tiles"]);
  int places = opt.count("--gaz") ? AddGazetteer(pkg, opt["--gaz"]) : 0;
  int texts = opt.count("--texts") ? AddTexts(pkg, opt["--texts"]) : 0;
  pkg.commit();
  std::printf("%s: %d tiles, %d places, %d texts\n", out.c_str(), tiles, places, texts);
  return 0;
}
