// AIS decoding speed: the recorded AIS logs, repeated to at least 100000 sentences, through
// AisHandleSentence (with a poll every 1000 sentences, as a page would) and through gpsd's
// gpsdecode on the same corpus. Prints sentences per second for both and their ratio.
//   bench_ais_decode [test data folder]   (default: tests/data of the source tree)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/sockbuf.h"
#include "nav/ais/ais.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string DataDir(int argc, char **argv) {
  if (argc > 1) return argv[1];
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" / "data").string();
}

std::vector<std::string> Corpus(const std::string &dir, size_t atLeast) {
  std::vector<std::string> once;
  for (const char *name : {"ais-nmea.log", "ais-18-27.log"}) {
    std::ifstream f(dir + "/nmea/" + name);
    std::string l;
    while (std::getline(f, l)) {
      while (!l.empty() && (l.back() == '\r' || l.back() == '\n')) l.pop_back();
      if (l.rfind("!AI", 0) == 0) once.push_back(l);
    }
  }
  std::vector<std::string> all;
  if (once.empty()) return all;
  while (all.size() < atLeast) all.insert(all.end(), once.begin(), once.end());  // whole passes
  return all;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char **argv) {
  const std::string dir = DataDir(argc, argv);
  const std::vector<std::string> corpus = Corpus(dir, 100000);
  if (corpus.empty()) {
    std::fprintf(stderr, "no AIS lines under %s/nmea\n", dir.c_str());
    return 1;
  }

  SockBuf w;
  SockBufInit(w);
  double ours = 1e30;
  size_t bytes = 0;
  for (int run = 0; run < 5; ++run) {
    bytes = 0;
    auto t0 = Clock::now();
    for (size_t i = 0; i < corpus.size(); ++i) {
      AisHandleSentence(corpus[i].c_str());
      if (i % 1000 == 999) {
        SockBufReset(w);
        AisWriteJson(w);
        bytes += static_cast<size_t>(w.outLen);
      }
    }
    SockBufReset(w);
    AisWriteJson(w);
    bytes += static_cast<size_t>(w.outLen);
    ours = std::min(ours, Seconds(t0, Clock::now()));
  }

  char path[] = "/tmp/marolin-ais-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  {
    std::ofstream f(path);
    for (const std::string &l : corpus) f << l << "\r\n";
  }
  close(fd);
  const std::string cmd = std::string("gpsdecode -u < ") + path + " > /dev/null";
  double peer = 1e30;
  bool peerOk = true;
  for (int run = 0; run < 3 && peerOk; ++run) {
    auto t0 = Clock::now();
    peerOk = std::system(cmd.c_str()) == 0;
    peer = std::min(peer, Seconds(t0, Clock::now()));
  }
  std::remove(path);

  const double n = static_cast<double>(corpus.size());
  std::printf("corpus: %zu sentences (%s/nmea AIS lines, repeated)\n", corpus.size(), dir.c_str());
  std::printf("AisHandleSentence: %.0f sentences/s (%.1f ms, %zu bytes polled)\n", n / ours, ours * 1e3, bytes);
  if (!peerOk) {
    std::printf("gpsdecode: not available\n");
    return 0;
  }
  std::printf("gpsdecode -u:      %.0f sentences/s (%.1f ms)\n", n / peer, peer * 1e3);
  std::printf("ratio: %.1f\n", peer / ours);
  return 0;
}
