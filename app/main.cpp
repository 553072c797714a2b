// marolin: the desktop host of the chart page.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app/halvex_app.h"
#include "platform/locale.h"

int main(int argc, char **argv) {
  // Before any thread of ours: setlocale is not safe against threads that format numbers.
  TakeUserLocale();
  // Diagnostics go to standard output; a reader of it that has gone away must not end
  // the program (sockets already send with MSG_NOSIGNAL).
  std::signal(SIGPIPE, SIG_IGN);
  const int code = theApp.WinMain(argc, argv);
  // Service threads are never stopped: end at once, before process-wide objects are
  // torn down under them. Only the program's own output is flushed: fflush(nullptr) would
  // wait for the lock of a playback file whose reader is blocked (a pipe, a stalled device).
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
