// scripts/run as a user starts it from a terminal: Ctrl+C there reaches the script's whole
// process group, and the program still closes as its window's close does, page first;
// what the demo writes stays in its folder.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/e2e_support.h"
#include "tests/support/testing.h"

using namespace e2e;
using testing_support::ReadFile;
using testing_support::TestEnv;

namespace {

// Waits for the virtual display of a script started without one and makes it the test's.
bool UseTheScriptsDisplay(const std::string &demo) {
  std::string display;
  if (!WaitUntil([&] {
        display = ReadFile(demo + "/display");
        return display.find('\n') != std::string::npos;
      }, 5 * kLong))
    return false;
  return setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1) == 0;
}

TEST(RunScript, CtrlCInItsTerminalClosesTheProgramAfterThePagesClose) {
  TestEnv env;
  XSession x(env.root());
  ASSERT_TRUE(x.ok());
  const std::string demo = env.root() + "/demo";
  setenv("MAROLIN_DEMO_DIR", demo.c_str(), 1);
  // A session of its own, as a terminal gives its foreground job a group of its own.
  const std::string log = env.root() + "/run.log";
  Process run({"setsid", std::string(MAROLIN_SOURCE_DIR) + "/scripts/run"}, log);
  const std::string win = FindWindow();
  ASSERT_FALSE(win.empty()) << ReadFile(log);
  // The demo page is on screen, so its close script is there.
  ASSERT_TRUE(DemoPageShown(env.root(), win));

  ASSERT_EQ(kill(-run.pid(), SIGINT), 0);
  auto status = run.wait();
  ASSERT_TRUE(status) << ReadFile(log);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << ReadFile(log);
  // What the page's close script stores: the view it shows.
  const std::string view = DbValue(demo + "/data/Marolin/veskara.trip", "SELECT v FROM kvt WHERE k='demo.view'");
  EXPECT_NE(view.find("\"z\""), std::string::npos) << view;
}

// Started from a bare terminal, with another X server already up: nothing of the demo
// lands in the user's home, caches included, and the virtual display says nothing.
TEST(RunScript, KeepsEverythingInTheDemoFolderAndItsDisplayQuiet) {
  TestEnv env;
  XSession other(env.root(), false);
  ASSERT_TRUE(other.ok());
  const std::string home = std::getenv("HOME"), demo = env.root() + "/demo";
  setenv("MAROLIN_DEMO_DIR", demo.c_str(), 1);
  for (const char *name : {"DISPLAY", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "GSETTINGS_BACKEND"})
    unsetenv(name);
  const std::string log = env.root() + "/run.log";
  Process run({"setsid", std::string(MAROLIN_SOURCE_DIR) + "/scripts/run"}, log);

  // The page on the script's own display.
  ASSERT_TRUE(UseTheScriptsDisplay(demo)) << ReadFile(log);
  const std::string win = FindWindow();
  ASSERT_FALSE(win.empty()) << ReadFile(log);
  ASSERT_TRUE(DemoPageShown(env.root(), win));
  ASSERT_EQ(kill(-run.pid(), SIGINT), 0);
  ASSERT_TRUE(run.wait()) << ReadFile(log);

  std::vector<std::string> written;
  for (const auto &e : fs::recursive_directory_iterator(home)) written.push_back(e.path().string());
  EXPECT_EQ(written, std::vector<std::string>{});
  const std::string out = ReadFile(log);
  EXPECT_EQ(out.find("_XSERVTrans"), std::string::npos) << out;
  EXPECT_EQ(out.find("server already running"), std::string::npos) << out;
}

// Another X client that comes and goes before the window (a screenshot tool, say) leaves
// the script's virtual display up for it. Meanwhile another program's write on the trip
// database keeps the program's start-up, and with it the window, waiting.
TEST(RunScript, AClientBeforeTheWindowLeavesTheDisplayUp) {
  TestEnv env;
  const std::string demo = env.root() + "/demo", log = env.root() + "/run.log";
  setenv("MAROLIN_DEMO_DIR", demo.c_str(), 1);
  unsetenv("DISPLAY");
  fs::create_directories(demo + "/data/Marolin");
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open((demo + "/data/Marolin/veskara.trip").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE other (x); BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  Process run({"setsid", std::string(MAROLIN_SOURCE_DIR) + "/scripts/run"}, log);
  ASSERT_TRUE(UseTheScriptsDisplay(demo)) << ReadFile(log);
  EXPECT_NE(Capture("xdpyinfo 2>&1").find("name of display"), std::string::npos);
  sqlite3_close(other);  // its transaction ends unfinished
  ASSERT_FALSE(FindWindow().empty()) << ReadFile(log);
  ASSERT_EQ(kill(-run.pid(), SIGINT), 0);
  ASSERT_TRUE(run.wait()) << ReadFile(log);
}

}  // namespace
