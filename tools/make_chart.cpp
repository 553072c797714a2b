// Builds chart packages: tiles from a folder of z/y/x.png files, place names from a CSV
// file and map texts from a folder, into one SQLite file; or renders a small demo chart
// with water at every position of the given NMEA/AIS logs.
//
//   make_chart build PACKAGE --tiles DIR [--gaz FILE.csv] [--texts DIR]
//   make_chart demo PACKAGE [--tiles-out DIR] [--max-zoom N] [--list FILE] [--water LOG]...
//
// Texts: DIR/<language>/<key> becomes the row (key, file content, type by extension,
// language); a language folder named "all" holds rows for every language ("**").
// Gazetteer CSV: a header line naming the columns n, c, r and either x, y (world units)
// or lon, lat (degrees); fields may be quoted with double quotes.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
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
#include <thread>
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
// It lies where the recorded logs that the demo plays were taken, and the positions of
// those logs (own ship and AIS targets) are carved out as water, so that every ship sails
// on water whatever the noise puts there, with the coasts of the field around it.
const double kLonMin = 4.9, kLonMax = 6.1, kLatMin = 52.5, kLatMax = 53.2;
// Water reaches this far (metres) around every recorded position, a little less where the
// coast's noise bites in.
const double kCarveRadius = 2000;
const double kEarthRadius = 6371000.0;

struct LonLat {
  double lon, lat;
};

// Positions of a log: RMC, GGA and GLL fixes, and AIS position reports (types 1-3, 4 and
// 18 in one sentence) at their recorded spots.
std::vector<LonLat> LogPositions(const fs::path &log) {
  std::vector<LonLat> out;
  std::istringstream in(ReadAll(log));
  std::string line;
  auto coord = [](const std::string &f, const std::string &hemi, int degChars) -> double {
    if (f.size() < static_cast<size_t>(degChars) + 2) return NAN;
    double v = std::atof(f.substr(0, degChars).c_str()) + std::atof(f.c_str() + degChars) / 60.0;
    return hemi == "S" || hemi == "W" ? -v : v;
  };
  auto add = [&out](double lon, double lat) {
    if (std::isfinite(lon) && std::isfinite(lat) && std::fabs(lat) < 85 && std::fabs(lon) <= 180)
      out.push_back({lon, lat});
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string body = line.substr(0, line.find('*'));
    std::vector<std::string> f = CsvFields(body);
    if (f[0].size() != 6) continue;
    std::string id = f[0].substr(3);
    if (id == "RMC" && f.size() > 6 && f[2] == "A") {
      add(coord(f[5], f[6], 3), coord(f[3], f[4], 2));
    } else if (id == "GGA" && f.size() > 6 && !f[6].empty() && f[6] != "0") {
      add(coord(f[4], f[5], 3), coord(f[2], f[3], 2));
    } else if (id == "GLL" && f.size() > 6 && f[6] == "A") {
      add(coord(f[3], f[4], 3), coord(f[1], f[2], 2));
    } else if ((id == "VDM" || id == "VDO") && f[0][0] == '!' && f.size() > 5 && f[1] == "1") {
      const std::string &payload = f[5];
      auto bits = [&payload](size_t from, int count) {
        int64_t v = 0;
        for (size_t b = from; b < from + static_cast<size_t>(count); ++b) {
          size_t ch = b / 6;
          if (ch >= payload.size()) return int64_t{-1} << 40;
          int six = payload[ch] - 48;
          if (six > 40) six -= 8;
          v = v << 1 | ((six >> (5 - b % 6)) & 1);
        }
        if (v >> (count - 1) & 1) v -= int64_t{1} << count;  // signed
        return v;
      };
      int type = static_cast<int>(bits(0, 6) & 63);
      size_t at = type >= 1 && type <= 3 ? 61 : type == 4 ? 79 : type == 18 ? 57 : 0;
      if (at) add(static_cast<double>(bits(at, 28)) / 600000.0, static_cast<double>(bits(at + 28, 27)) / 600000.0);
    }
  }
  return out;
}

double Metres(const LonLat &a, double lon, double lat) {
  const double r = kPi / 180;
  double dx = (lon - a.lon) * r * std::cos(lat * r), dy = (lat - a.lat) * r;
  return std::sqrt(dx * dx + dy * dy) * kEarthRadius;
}

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

// Height above the sea: positive on land, negative at depth. Near the given positions the
// ground falls below the sea: deep at the positions, shallow towards the carved coast.
double Height(double lon, double lat, const std::vector<LonLat> &near) {
  double u = (lon - kLonMin) * 12, v = (lat - kLatMin) * 20;
  double n = Noise(u, v) * 0.55 + Noise(u * 2.1, v * 2.1) * 0.3 + Noise(u * 4.3, v * 4.3) * 0.15;
  double h = n - 0.62;
  if (near.empty()) return h;
  double d = 1e18;
  for (const LonLat &p : near) d = std::min(d, Metres(p, lon, lat));
  double carved = -0.14 + 0.16 * d / kCarveRadius + 0.05 * (Noise(u * 9.7, v * 9.7) - 0.5);
  return std::min(h, carved);
}

enum Colour : uint8_t { kDeep, kMid, kShallow, kShore, kLand, kLandHigh, kGrid, kOutside, kGridWater };
const std::vector<png_write::Rgb> kPalette = {
    {151, 196, 232}, {176, 212, 240}, {201, 228, 248}, {86, 96, 110},  {240, 226, 186},
    {226, 208, 160}, {120, 140, 170}, {224, 232, 238}, {128, 176, 222},
};

// h is the height at (lon, lat); shore is set for land next to water.
uint8_t ColourAt(double lon, double lat, double degPerPixel, double h, bool shore) {
  if (lon < kLonMin || lon > kLonMax || lat < kLatMin || lat > kLatMax) return kOutside;
  // Graticule every 10 minutes of arc, a darker blue on water.
  double gl = std::fmod(lon * 6, 1.0), gt = std::fmod(lat * 6, 1.0);
  double w = degPerPixel * 6 * 0.75;
  if (gl < w || gt < w) return h > 0.0 ? kGrid : kGridWater;
  if (shore) return kShore;
  if (h > 0.12) return kLandHigh;
  if (h > 0.0) return kLand;
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

std::string RenderTile(int z, int y, int x, const std::vector<LonLat> &water) {
  const int kSize = 256, kStep = 2;  // the field is sampled every second pixel
  std::vector<uint8_t> px(kSize * kSize);
  double lon0 = TileLon(x, z), lon1 = TileLon(x + 1, z);
  double lat0 = TileLat(y, z), lat1 = TileLat(y + 1, z);
  double degPerPixel = (lon1 - lon0) / kSize;
  // Only positions that can carve into this tile count.
  double margin = 2 * kCarveRadius / kEarthRadius * 180 / kPi;
  std::vector<LonLat> near;
  for (const LonLat &p : water)
    if (p.lat < lat0 + margin && p.lat > lat1 - margin && p.lon > lon0 - 2 * margin && p.lon < lon1 + 2 * margin)
      near.push_back(p);
  // Heights at the samples, with a ring of samples around the tile, so that the shore (a
  // land sample beside a water one) is one sample wide at every zoom level and runs on
  // across tile edges.
  const int n = kSize / kStep, side = n + 2;
  auto sampleLon = [&](int i) { return lon0 + degPerPixel * kStep * (i + 0.5); };
  auto sampleLat = [&](int j) { return lat0 + (lat1 - lat0) * kStep * (j + 0.5) / kSize; };
  std::vector<double> h(static_cast<size_t>(side * side));
  for (int j = -1; j <= n; ++j)
    for (int i = -1; i <= n; ++i)
      h[static_cast<size_t>((j + 1) * side + i + 1)] = Height(sampleLon(i), sampleLat(j), near);
  auto at = [&](int i, int j) { return h[static_cast<size_t>((j + 1) * side + i + 1)]; };
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      double hi = at(i, j);
      bool shore = hi > 0 && (at(i - 1, j) <= 0 || at(i + 1, j) <= 0 || at(i, j - 1) <= 0 || at(i, j + 1) <= 0);
      uint8_t c = ColourAt(sampleLon(i), sampleLat(j), degPerPixel * kStep, hi, shore);
      for (int dy = 0; dy < kStep; ++dy)
        for (int dx = 0; dx < kStep; ++dx) px[static_cast<size_t>((j * kStep + dy) * kSize + i * kStep + dx)] = c;
    }
  }
  return png_write::EncodePalette(kSize, kSize, px, kPalette);
}

struct DemoPlace {
  const char *name, *kind;
  double lon, lat;
  int r;
};
// Around the two recorded voyages: the yacht's bight in the west, the harbour in the east.
const DemoPlace kDemoPlaces[] = {
    {"Veskara Sound", "sea", 5.50, 52.80, 40},     {"Halvex Bight", "bay", 5.312, 52.853, 20},
    {"Celvora Deep", "sea", 5.85, 53.05, 30},      {"North Light", "light", 5.40, 53.10, 10},
    {"Brevant Shoal", "shoal", 5.58, 52.87, 5},    {"Marolin Harbour", "harbour", 5.708, 52.836, 15},
    {"Tide Rock", "rock", 5.66, 52.83, 0},         {"Gull Point", "point", 5.36, 52.835, 0},
};

int Demo(const std::string &out, const std::string &tilesOut, int maxZoom, const std::string &listFile,
         const std::vector<std::string> &logs) {
  // Recorded positions closer than this to one kept already add nothing to the water.
  const double kSpacing = 40;
  std::vector<LonLat> water;
  for (const std::string &log : logs)
    for (const LonLat &p : LogPositions(log))
      if (std::none_of(water.begin(), water.end(), [&](const LonLat &q) { return Metres(q, p.lon, p.lat) < kSpacing; }))
        water.push_back(p);
  struct Key {
    int z, y, x;
  };
  std::vector<Key> keys;
  for (int z = 8; z <= maxZoom; ++z)
    for (int y = LatTile(kLatMax, z); y <= LatTile(kLatMin, z); ++y)
      for (int x = LonTile(kLonMin, z); x <= LonTile(kLonMax, z); ++x) keys.push_back({z, y, x});
  // The deep zoom levels are thousands of tiles: drawn on a few threads.
  std::vector<std::string> pngs(keys.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  for (unsigned t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < keys.size();) pngs[i] = RenderTile(keys[i].z, keys[i].y, keys[i].x, water);
    });
  for (std::thread &w : workers) w.join();

  Package pkg(out);
  std::ofstream list;
  if (!listFile.empty()) list.open(listFile);
  for (size_t i = 0; i < keys.size(); ++i) {
    const Key &k = keys[i];
    pkg.tile(k.z, k.y, k.x, pngs[i]);
    if (!tilesOut.empty()) {
      fs::path p = fs::path(tilesOut) / std::to_string(k.z) / std::to_string(k.y) / (std::to_string(k.x) + ".png");
      fs::create_directories(p.parent_path());
      std::ofstream(p, std::ios::binary) << pngs[i];
    }
    if (list.is_open()) list << k.z << '/' << k.y << '/' << k.x << '\n';
  }
  int count = static_cast<int>(keys.size());
  for (const DemoPlace &p : kDemoPlaces) pkg.place(p.name, p.kind, WorldX(p.lon), WorldY(p.lat), p.r);
  char bounds[160];
  std::snprintf(bounds, sizeof bounds, "{\"lon0\":%.2f,\"lat0\":%.2f,\"lon1\":%.2f,\"lat1\":%.2f,\"zmin\":8,\"zmax\":%d}",
                kLonMin, kLatMin, kLonMax, kLatMax, maxZoom);
  pkg.text("bounds", bounds, 5, "**");
  // One name for every language: the demo page speaks English only.
  pkg.text("name", "\"Demo chart: Veskara Sound\"", 5, "**");
  pkg.commit();
  std::printf("%s: %d tiles, %zu places, %zu water points\n", out.c_str(), count, std::size(kDemoPlaces), water.size());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make_chart build PACKAGE --tiles DIR [--gaz FILE.csv] [--texts DIR]\n"
               "       make_chart demo PACKAGE [--tiles-out DIR] [--max-zoom N] [--list FILE] [--water LOG]...\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  std::string mode = argv[1], out = argv[2];
  std::map<std::string, std::string> opt;
  std::vector<std::string> logs;  // --water may be given more than once
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--water") == 0) logs.push_back(argv[i + 1]);
    else opt[argv[i]] = argv[i + 1];
  }
  if ((argc - 3) % 2) return Usage();
  if (mode == "demo") {
    int maxZoom = opt.count("--max-zoom") ? std::atoi(opt["--max-zoom"].c_str()) : 14;
    if (maxZoom < 8 || maxZoom > 18) return Usage();
    return Demo(out, opt["--tiles-out"], maxZoom, opt["--list"], logs);
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
