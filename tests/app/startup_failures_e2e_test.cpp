// Start-up failures the program goes on after are told, one line each on standard error:
// a data folder that cannot be made or written, a trip database that cannot be opened, is
// no database or can only be read, a missing chart application, and a settings folder
// that cannot be written when the page stores a setting.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "tests/support/e2e_support.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

using namespace e2e;
using testing_support::HttpConn;
using testing_support::MakePackage;
using testing_support::ReadFile;
using testing_support::TestEnv;
using testing_support::WriteFile;

namespace {

class StartupFailures : public ::testing::Test {
 protected:
  // Runs the program to its end without a display: the services start, the window cannot
  // be made. Its standard error.
  std::string RunWithoutDisplay(const std::vector<std::string> &prefix = {}) {
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    std::vector<std::string> argv = prefix;
    argv.push_back(ProgramPath());
    const std::string err = env_.root() + "/err.txt";
    fs::remove(err);
    Process p(argv, env_.root() + "/out.txt", err);
    auto status = p.wait();
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    EXPECT_TRUE(status && WIFEXITED(*status)) << "the program did not end";
    return ReadFile(err);
  }

  TestEnv env_;
};

TEST_F(StartupFailures, ADataFolderThatCannotBeMadeOrWrittenIsToldAndStartUpGoesOn) {
  const std::string folder = env_.dataFolder(), trip = folder + "veskara.trip";
  const struct {
    const char *name;
    std::function<void()> setUp;
    std::vector<std::string> prefix;  // how the program is started
    std::vector<std::string> lines;
  } cases[] = {
      // A file where the folder must be stops root as well.
      {"a file in its place", [&] { WriteFile(env_.root() + "/data/Marolin", "x"); }, {},
       {"Marolin: cannot create the data folder " + folder + ": Not a directory\n",
        "Marolin: cannot open the trip database " + trip + ": Not a directory\n"}},
      // A folder of another user, for a program that runs as nobody.
      {"a folder it may not write",
       [&] {
         fs::remove(env_.root() + "/data/Marolin");
         fs::create_directories(folder);
         fs::permissions(env_.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec);
         for (const char *own : {"/work", "/runtime", "/cache"})
           EXPECT_EQ(chown((env_.root() + own).c_str(), 65534, 65534), 0);
       },
       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
       {"Marolin: cannot write in the data folder " + folder + ": Permission denied\n",
        "Marolin: cannot open the trip database " + trip + ": Permission denied\n"}},
      // Its own folder (the case above made the rest reachable), with a trip database of
      // another user that SQLite opens read-only.
      {"a trip database it may only read",
       [&] {
         EXPECT_EQ(chown(folder.c_str(), 65534, 65534), 0);
         WriteFile(trip, "");
       },
       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
       {"Marolin: cannot write the trip database " + trip + ": Permission denied\n"}},
      {"a trip database that is no SQLite file",
       [&] {
         fs::remove_all(folder);
         WriteFile(trip, "text\n");
       },
       {},
       {"Marolin: cannot open the trip database " + trip + ": file is not a database\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.prefix.empty() && geteuid() != 0) {
      std::printf("skipped (%s): switching to another uid needs root\n", c.name);
      continue;
    }
    c.setUp();
    const std::string err = RunWithoutDisplay(c.prefix);
    for (const auto &line : c.lines) EXPECT_NE(err.find(line), std::string::npos) << line << "in\n" << err;
    // Start-up went on as far as the window.
    EXPECT_NE(err.find("cannot open the display"), std::string::npos) << err;
  }
}

TEST_F(StartupFailures, WithoutAChartApplicationBothPlacesLookedAtAreTold) {
  const std::string folder = env_.dataFolder();
  const std::string line = "Marolin: no chart application: no usable A000001.veskara in " + folder +
                           " or the working directory, and no " + folder + "veskara.html\n";
  const struct {
    const char *name;
    std::function<void()> setUp;
    bool told;
  } cases[] = {
      {"neither", [] {}, true},
      {"the page in the data folder", [&] { WriteFile(folder + "veskara.html", "<html></html>"); }, false},
      {"the package",
       [&] {
         fs::remove(folder + "veskara.html");
         ASSERT_EQ(MakePackage(folder + "A000001.veskara", {"row", "/app/veskara.html", "100", "**", "--null"}), 0);
       },
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    c.setUp();
    const std::string err = RunWithoutDisplay();
    EXPECT_EQ(err.find(line) != std::string::npos, c.told) << err;
  }
}

TEST_F(StartupFailures, ASettingThatCannotBeStoredIsToldWithItsFolderAndReason) {
  XSession x(env_.root());
  ASSERT_TRUE(x.ok());
  const std::string config = std::getenv("XDG_CONFIG_HOME");
  WriteFile(config + "/Marolin", "x");
  const std::string err = env_.root() + "/err.txt";
  Process app({ProgramPath()}, env_.root() + "/out.txt", err);
  // The window is up (the server may be earlier), and the page changes its language; the
  // warning box then holds this request.
  ASSERT_FALSE(FindWindow().empty()) << ReadFile(err);
  ASSERT_TRUE(WaitUntil([] { return testing_support::HttpGet("/hostversion/").has_value(); }, kLong)) << ReadFile(err);
  HttpConn page;
  ASSERT_TRUE(page.sendRaw("GET /getSetState/alang=de HTTP/1.1\r\n\r\n"));
  const std::string line =
      "Marolin: cannot store the setting alang in " + config + "/Marolin/registry: Not a directory\n";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(err).find(line) != std::string::npos; }, kLong)) << ReadFile(err);
  app.signal(SIGTERM);
  auto status = app.wait();
  ASSERT_TRUE(status) << "the program did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

}  // namespace
