// CHalvexApp: the application object. From the command line it registers or unregisters
// the program, waits idle as a server, or runs normally: configuration, databases and the
// local server, the Location API source, the main window, then the shutdown.
#pragma once

class CHalvexApp {
 public:
  // The whole life of the process as the framework runs it: InitInstance, the idle loop
  // when it asks for one, ExitInstance. Returns the exit code.
  int WinMain(int argc, char **argv);

  // True only for an embedding or automation start, which keeps an idle loop.
  bool InitInstance(int argc, char **argv);
  // The idle loop of a server start; it does not end by itself.
  int Run();
  // The exit code.
  int ExitInstance();

 private:
  int exitCode_ = 0;
};

extern CHalvexApp theApp;
