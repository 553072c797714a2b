// nmea_replay: a small NMEA-over-TCP source for the demo. Serves a recorded log on a
// loopback port at the log's own pace (the times of its RMC and GGA sentences), forward to
// its end and then back along the same track, for as long as a client stays connected, so
// the ship sails on without jumping. SPEEDUP divides every pause (for tests).
//   nmea_replay FILE PORT [SPEEDUP]
//   nmea_replay FILE --schedule COUNT [SPEEDUP]   prints the first COUNT sentences as
//                                                 "MILLISECONDS SENTENCE" instead of serving
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/loopback_source.h"

namespace {

// The sentences of one moment of the log, and that moment in seconds of the day.
struct Epoch {
  double time = 0;
  std::vector<std::string> lines;
};

std::vector<std::string> Fields(const std::string &line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',' || c == '*') out.emplace_back();
    else out.back() += c;
  }
  return out;
}

// hhmmss[.ss] as seconds of the day, or -1.
double TimeOfDay(const std::string &f) {
  if (f.size() < 6) return -1;
  for (int i = 0; i < 6; ++i)
    if (f[i] < '0' || f[i] > '9') return -1;
  double frac = f.size() > 6 ? std::atof(f.c_str() + 6) : 0.0;
  return ((f[0] - '0') * 10 + (f[1] - '0')) * 3600.0 + ((f[2] - '0') * 10 + (f[3] - '0')) * 60.0 +
         (f[4] - '0') * 10 + (f[5] - '0') + frac;
}

bool IsFix(const std::string &line, const char *id) { return line.size() > 6 && line.compare(3, 3, id) == 0; }

// A new epoch begins with every RMC or GGA sentence whose time differs from the current
// one; times run on across midnight.
std::vector<Epoch> ReadEpochs(const char *path) {
  std::vector<Epoch> epochs(1);
  std::ifstream in(path);
  std::string line;
  bool timed = false;
  double last = 0, dayOffset = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (IsFix(line, "RMC") || IsFix(line, "GGA")) {
      std::vector<std::string> f = Fields(line);
      double t = f.size() > 1 ? TimeOfDay(f[1]) : -1;
      if (t >= 0) {
        t += dayOffset;
        if (timed && t < last - 43200) t += 86400, dayOffset += 86400;
        if (!timed) {
          epochs.back().time = t;
        } else if (t != last) {
          epochs.emplace_back();
          epochs.back().time = t;
        }
        timed = true;
        last = t;
      }
    }
    epochs.back().lines.push_back(line + "\r\n");
  }
  if (epochs.back().lines.empty()) epochs.clear();
  return epochs;
}

std::string WithChecksum(std::string body) {
  unsigned char x = 0;
  for (size_t i = 1; i < body.size(); ++i) x ^= static_cast<unsigned char>(body[i]);
  char sum[8];
  std::snprintf(sum, sizeof sum, "*%02X\r\n", x);
  return body + sum;
}

// On the way back the ship sails the other way: RMC's course over ground turns round.
std::string Reversed(const std::string &line) {
  if (!IsFix(line, "RMC")) return line;
  size_t star = line.find('*');
  if (star == std::string::npos) return line;
  std::string body = line.substr(0, star);
  std::vector<std::string> f = Fields(body);
  if (f.size() < 9 || f[8].empty()) return line;
  char course[16];
  std::snprintf(course, sizeof course, "%.1f", std::fmod(std::atof(f[8].c_str()) + 180.0, 360.0));
  f[8] = course;
  std::string out = f[0];
  for (size_t i = 1; i < f.size(); ++i) out += "," + f[i];
  return WithChecksum(out);
}

// The endless voyage: epochs 0, 1, ..., n-1, n-2, ..., 0, 1, ...; calls send(ms, line)
// with each sentence's time since the start until it returns false.
template <typename Send>
void Voyage(const std::vector<Epoch> &epochs, double speedup, Send send) {
  const long n = static_cast<long>(epochs.size());
  double elapsed = 0;
  long i = 0, step = n > 1 ? 1 : 0;
  for (;;) {
    bool back = step < 0;
    double ms = elapsed * 1000.0 / speedup;
    for (const std::string &l : epochs[static_cast<size_t>(i)].lines)
      if (!send(ms, back ? Reversed(l) : l)) return;
    if (step == 0) {
      elapsed += 1;
      continue;
    }
    if (i + step < 0 || i + step >= n) step = -step;
    long next = i + step;
    elapsed += std::fabs(epochs[static_cast<size_t>(next)].time - epochs[static_cast<size_t>(i)].time);
    i = next;
  }
}

void Serve(int sock, const std::vector<Epoch> &epochs, double speedup) {
  auto start = std::chrono::steady_clock::now();
  Voyage(epochs, speedup, [&](double ms, const std::string &l) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(ms * 1000)));
    return send(sock, l.data(), l.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(l.size());
  });
}

int Usage() {
  std::fputs("usage: nmea_replay FILE PORT [SPEEDUP]\n       nmea_replay FILE --schedule COUNT [SPEEDUP]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || argc > 5) return Usage();
  bool schedule = std::strcmp(argv[2], "--schedule") == 0;
  if (schedule ? argc < 4 : argc > 4) return Usage();
  int speedAt = schedule ? 4 : 3;
  double speedup = argc > speedAt ? std::atof(argv[speedAt]) : 1.0;
  if (!(speedup > 0) || !std::isfinite(speedup)) return Usage();
  std::vector<Epoch> epochs = ReadEpochs(argv[1]);
  if (epochs.empty()) {
    std::fprintf(stderr, "nmea_replay: no sentences in %s\n", argv[1]);
    return 1;
  }
  if (schedule) {
    long count = std::atol(argv[3]);
    Voyage(epochs, speedup, [&](double ms, const std::string &l) {
      if (count-- <= 0) return false;
      std::printf("%.0f %s", ms, l.c_str());
      return true;
    });
    return 0;
  }
  return ServeLoopback(std::atoi(argv[2]), "nmea_replay", [&epochs, speedup](int s) { Serve(s, epochs, speedup); });
}
