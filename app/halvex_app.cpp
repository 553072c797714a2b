// The application object and the start-up order of a normal run.
#include "app/halvex_app.h"

#include <glib-unix.h>
#include <glib.h>
#include <sys/stat.h>

#include <csignal>

#include "app/celvora_module.h"
#include "app/halvex_dlg.h"
#include "app/policy.h"
#include "app/usage.h"
#include "common/config.h"
#include "common/failure_report.h"
#include "common/host_config.h"
#include "nav/nav.h"
#include "server/databases.h"

CHalvexApp theApp;

namespace {

gboolean OnCloseSignal(gpointer) {
  CHalvexDlg::RequestClose();
  return G_SOURCE_CONTINUE;
}

// Without the chart application the window stays white; the user is told where it was
// looked for.
void ReportMissingChartApplication() {
  if (HostConfig.AppDb.get()) return;
  const std::string page = std::string(HostConfig.WebRoot) + "veskara.html";
  struct stat st;
  if (HostConfig.WebRoot[0] && stat(page.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return;
  ReportLine("no chart application: no usable A000001.veskara in " + std::string(HostConfig.PackageFolder) +
             " or the working directory, and no " + page);
}

}  // namespace

int CHalvexApp::WinMain(int argc, char **argv) {
  if (InitInstance(argc, argv)) Run();
  return ExitInstance();
}

bool CHalvexApp::InitInstance(int argc, char **argv) {
  const CommandLineInfo cmd = ParseCommandLine(argc, argv);
  for (const std::string &s : cmd.unknownSwitches) ReportLine("ignored unknown switch " + s);
  // Answered at once: no window, no service, exit status 0.
  if (cmd.showHelp || cmd.showVersion) {
    if (cmd.showHelp)
      PrintUsage(stdout);
    else
      PrintVersion(stdout);
    return false;
  }
  if (theModule.RegisterClassObjects() < 0) return false;

  // A server start: no window, no service, only the loop.
  if (cmd.runEmbedded || cmd.runAutomated) return true;

  // Registration results are not reported; the process ends either way.
  if (cmd.command == ShellCommand::Unregister) {
    CCelvoraModule::UpdateRegistryAppId(false);
    theModule.UnregisterServer();
    return false;
  }
  if (cmd.command == ShellCommand::Register) {
    CCelvoraModule::UpdateRegistryAppId(true);
    theModule.RegisterServer();
    return false;
  }

  // The desktop ends a session with SIGTERM, a closed terminal sends SIGHUP; each takes
  // the window's close path. Taken from here on, so one that comes during start-up closes
  // the window once it runs.
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) g_unix_signal_add(sig, OnCloseSignal, nullptr);

  // Each step absorbs or reports its own failure; start-up goes on regardless.
  InitConfig();
  OpenDatabases();
  ReportMissingChartApplication();
  LocationThreadStart();
  {
    CHalvexDlg dlg;
    // A window that cannot be created ends the run as a close would, but not as success.
    if (dlg.DoModal() < 0) exitCode_ = 1;
    CloseDatabases();
  }
  return false;
}

int CHalvexApp::Run() {
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  return 0;
}

int CHalvexApp::ExitInstance() {
  theModule.RevokeClassObjects();
  return exitCode_;
}
