// The feed of a boat on passage, for the soak runs (bench/passage_soak.sh):
//   bench_passage_feed trip FOLDER   makes FOLDER/veskara.trip with 1,000,000 track points
//                                    and 100,000 key/value rows
//   bench_passage_feed serve PORT    serves NMEA over TCP on 127.0.0.1:PORT to each client
//                                    until it goes: RMC+GGA at 10 Hz of a ship at 8 kn, and
//                                    200 AIS targets, each with a position report every
//                                    second and its name and destination every minute
//                                    (about 207 AIS sentences a second)
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "bench/trip_bench.h"
#include "server/databases.h"
#include "tests/nav/ais_test_util.h"
#include "tools/loopback_source.h"

namespace {

constexpr int kTargets = 200;
constexpr int kTicksPerSecond = 10;
constexpr double kKnots = 8.0;

// ddmm.mmmm (or dddmm.mmmm) of a coordinate's absolute value.
std::string Degrees(double v, int degreeDigits) {
  v = std::fabs(v);
  int d = static_cast<int>(v);
  char out[24];
  std::snprintf(out, sizeof out, "%0*d%07.4f", degreeDigits, d, (v - d) * 60.0);
  return out;
}

std::string Fix(double lat, double lon, double secondOfDay, const std::tm &day) {
  char time[16], date[8];
  std::snprintf(time, sizeof time, "%02d%02d%05.2f", static_cast<int>(secondOfDay / 3600),
                static_cast<int>(std::fmod(secondOfDay, 3600) / 60), std::fmod(secondOfDay, 60));
  std::strftime(date, sizeof date, "%d%m%y", &day);
  std::string la = Degrees(lat, 2) + (lat < 0 ? ",S" : ",N"), lo = Degrees(lon, 3) + (lon < 0 ? ",W" : ",E");
  char knots[16];
  std::snprintf(knots, sizeof knots, "%.1f", kKnots);
  return ais_test::WithChecksum("$GPRMC," + std::string(time) + ",A," + la + "," + lo + "," + knots + ",45.0," + date +
                                ",,,A") +
         "\r\n" + ais_test::WithChecksum("$GPGGA," + std::string(time) + "," + la + "," + lo + ",1,08,0.9,5.0,M,40.0,M,,") +
         "\r\n";
}

std::string Vdm(int count, int number, const std::string &seq, const std::string &payload,
                int fill) {
  return ais_test::WithChecksum("!AIVDM," + std::to_string(count) + "," + std::to_string(number) + "," + seq + ",A," +
                                payload + "," + std::to_string(fill)) +
         "\r\n";
}

// Target i sails a circle of its own about the start; its position report at second s.
std::string Position(int i, long s) {
  double a = (i * 37 + s * (1 + i % 5) * 0.002), r = 0.02 + 0.001 * i;
  double lat = 54.5 + r * std::sin(a), lon = 10.4 + 1.6 * r * std::cos(a);
  ais_test::BitWriter b;
  b.put(1, 6).put(0, 2).put(211000000 + i, 30).put(0, 4).putSigned(0, 8).put(40 + i % 100, 10).put(1, 1);
  b.putSigned(std::lround(lon * 600000), 28).putSigned(std::lround(lat * 600000), 27);
  b.put(static_cast<uint64_t>(std::fmod(a * 57.29578 + 90, 360) * 10), 12).put(511, 9).put(s % 60, 6);
  b.put(0, 2).put(0, 3).put(0, 1).put(0, 19);
  return Vdm(1, 1, "", b.armour(), 0);
}

// Its name and destination: type 5 in two fragments.
std::string Static(int i, int seq) {
  char name[24], call[8];
  std::snprintf(name, sizeof name, "PASSAGE %03d", i);
  std::snprintf(call, sizeof call, "DP%04d", i);
  ais_test::BitWriter b;
  b.put(5, 6).put(0, 2).put(211000000 + i, 30).put(0, 2).put(9000000 + i, 30).text(call, 7).text(name, 20);
  b.put(70, 8).put(50, 9).put(10, 9).put(5, 6).put(5, 6).put(1, 4).put(6, 4).put(15, 5).put(12, 5).put(0, 6);
  b.put(60, 8).text("KIEL", 20).put(0, 1).put(0, 1);
  std::string p = b.armour(), tag = std::to_string(seq % 10);
  return Vdm(2, 1, tag, p.substr(0, 60), 0) + Vdm(2, 2, tag, p.substr(60), static_cast<int>(p.size() * 6 - b.size()));
}

void Serve(int sock) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  double lat = 54.40, lon = 10.20;
  const double step = kKnots * 1852.0 / 3600 / kTicksPerSecond / 111120.0;  // degrees of latitude per tick
  int seq = 0;
  for (long tick = 0;; ++tick) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(tick * 1000 / kTicksPerSecond));
    std::time_t now = std::time(nullptr);
    std::tm day{};
    gmtime_r(&now, &day);
    double sod = day.tm_hour * 3600 + day.tm_min * 60 + day.tm_sec + (tick % kTicksPerSecond) / 10.0;
    lat += step * std::sqrt(0.5);
    lon += step * std::sqrt(0.5) / std::cos(lat * M_PI / 180);
    std::string out = Fix(lat, lon, sod, day);
    long s = tick / kTicksPerSecond;
    int slot = static_cast<int>(tick % kTicksPerSecond);
    for (int i = slot; i < kTargets; i += kTicksPerSecond) {
      out += Position(i, s);
      if (s % 60 == i % 60) out += Static(i, seq++);
    }
    if (send(sock, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return;
  }
}

int Usage() {
  std::fputs("usage: bench_passage_feed trip FOLDER | serve PORT\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return Usage();
  if (std::strcmp(argv[1], "trip") == 0) {
    std::filesystem::create_directories(argv[2]);
    std::string path = std::string(argv[2]) + "/" + TripFileName;
    if (!bench::BuildTrip(path, 1000000, 100000, nullptr)) {
      std::fprintf(stderr, "cannot build %s\n", path.c_str());
      return 1;
    }
    return 0;
  }
  if (std::strcmp(argv[1], "serve") != 0) return Usage();
  return ServeLoopback(std::atoi(argv[2]), "bench_passage_feed", Serve);
}
