// scripts/run as a user starts it from a terminal: Ctrl+C there reaches the script's whole
// process group, and the program still closes as its window's close does, page first.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/e2e_support.h"
#include "tests/support/testing.h"

using namespace e2e;
using testing_support::ReadFile;
using testing_support::TestEnv;

namespace {

TEST(RunScript, CtrlCInItsTerminalClosesTheProgramAfterThePagesClose) {
  TestEnv env;
  XSession x(env.root());
  ASSERT_TRUE(x.ok());
  IsolateDesktop(env.root());
  const std::string demo = env.root() + "/demo";
  setenv("MAROLIN_DEMO_DIR", demo.c_str(), 1);
  // A session of its own, as a terminal gives its foreground job a group of its own.
  const std::string log = env.root() + "/run.log";
  Process run({"setsid", std::string(MAROLIN_SOURCE_DIR) + "/scripts/run"}, log);
  const std::string win = FindWindow();
  ASSERT_FALSE(win.empty()) << ReadFile(log);
  // The demo page is on screen (its tool bar's colour), so its close script is there.
  const Geometry g = WindowGeometry(win);
  std::string pixel;
  ASSERT_TRUE(WaitUntil([&] {
    pixel = ScreenPixel(env.root() + "/shot.png", g.x + 4, g.y + 4);
    return pixel == "srgb(16,40,74)";
  }, kLong)) << pixel;

  ASSERT_EQ(kill(-run.pid(), SIGINT), 0);
  auto status = run.wait();
  ASSERT_TRUE(status) << ReadFile(log);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << ReadFile(log);
  // What the page's close script stores: the view it shows.
  const std::string view = DbValue(demo + "/data/Marolin/veskara.trip", "SELECT v FROM kvt WHERE k='demo.view'");
  EXPECT_NE(view.find("\"z\""), std::string::npos) << view;
}

}  // namespace
