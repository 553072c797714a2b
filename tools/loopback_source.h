// A stand-in NMEA-over-TCP source: listens on 127.0.0.1:port and gives each client a
// thread of its own that runs serve(socket) and closes it. Returns 1 when it cannot listen.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

template <typename Serve>
int ServeLoopback(int port, const char *name, Serve serve) {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(ls, 4) != 0) {
    std::perror(name);
    return 1;
  }
  for (;;) {
    int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0)
      std::thread([serve, s] {
        serve(s);
        close(s);
      }).detach();
  }
}
