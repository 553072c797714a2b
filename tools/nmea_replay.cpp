// nmea_replay: a small NMEA-over-TCP source for the demo. Serves a recorded log on a
// loopback port, one fix a pause apart (the pause follows every RMC sentence), from the
// start again at its end, to every client that connects.
//   nmea_replay FILE PORT [PAUSE_MS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> ReadSentences(const char *path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    lines.push_back(line + "\r\n");
  }
  return lines;
}

void Serve(int sock, const std::vector<std::string> &lines, int pauseMs) {
  for (;;) {
    for (const std::string &l : lines) {
      if (send(sock, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) {
        close(sock);
        return;
      }
      if (l.find("RMC,") != std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fputs("usage: nmea_replay FILE PORT [PAUSE_MS]\n", stderr);
    return 2;
  }
  std::vector<std::string> lines = ReadSentences(argv[1]);
  if (lines.empty()) {
    std::fprintf(stderr, "nmea_replay: no sentences in %s\n", argv[1]);
    return 1;
  }
  int pauseMs = argc > 3 ? std::atoi(argv[3]) : 1000;
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(ls, 4) != 0) {
    std::perror("nmea_replay");
    return 1;
  }
  for (;;) {
    int s = accept(ls, nullptr, nullptr);
    if (s >= 0) std::thread(Serve, s, std::cref(lines), pauseMs).detach();
  }
}
