// marolin: the desktop host of the chart page.
#include <unistd.h>

#include <cstdio>

#include "app/halvex_app.h"

int main(int argc, char **argv) {
  const int code = theApp.WinMain(argc, argv);
  // Service threads are never stopped: end at once, before process-wide objects are
  // torn down under them.
  std::fflush(nullptr);
  _exit(code);
}
