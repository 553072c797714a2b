// The demo page in the real window: its NMEA-over-TCP switch, used as a user does, connects
// the program to the demo's source, and the first start leaves serial input (and with it
// the playback file) alone. The page shows a fix whose source has gone quiet as lost, and
// its map zooms with the mouse wheel.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sstream>

#include "tests/support/e2e_support.h"
#include "tests/support/packages.h"
#include "tests/support/testing.h"

using namespace e2e;
using testing_support::HttpGet;
using testing_support::HttpPost;
using testing_support::MakePackage;
using testing_support::ReadFile;
using testing_support::TestEnv;
using testing_support::WriteFile;

namespace {

struct Fix {
  double lat = 0, lon = 0;
  bool ok = false;
};

// The own ship as the host reports it; the page's own thresholds and serial switch (off).
Fix HostFix() {
  Fix f;
  auto r = HttpPost("/getSetHostStat/60/50/0/0", "{}");
  std::smatch m;
  if (!r || !std::regex_search(r->body, m, std::regex("\"fix\":(-?[0-9]+),\"latY\":(-?[0-9.]+),\"lonX\":(-?[0-9.]+)")))
    return f;
  f.ok = std::stoi(m[1]) != 0 && std::stoi(m[1]) != 998;
  f.lat = std::stod(m[2]);
  f.lon = std::stod(m[3]);
  return f;
}

// What the process holds open, as the targets of its descriptors.
std::vector<std::string> OpenFiles(pid_t pid) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::string target = fs::read_symlink(e.path(), ec).string();
    if (!ec) out.push_back(target);
  }
  return out;
}

// A select's drop-down is on screen: a window of the program's other than its main one.
bool DropDownShown(const std::string &win) {
  return WaitUntil([&] {
    std::istringstream ids(Capture("xdotool search --onlyvisible --classname marolin 2>/dev/null"));
    for (std::string id; std::getline(ids, id);)
      if (id != win) return true;
    return false;
  }, kLong);
}

TEST(DemoPage, TcpSwitchConnectsToTheDemoSourceAndTheShipMoves) {
  TestEnv env;
  XSession x(env.root());
  ASSERT_TRUE(x.ok()) << "no X server";
  Reporter reporter;

  // The demo page as make_demo ships it, its reports sent to the test.
  const std::string page = env.root() + "/page";
  fs::copy(std::string(MAROLIN_SOURCE_DIR) + "/tools/demo/app", page, fs::copy_options::recursive);
  WriteFile(page + "/report.js", reporter.script());
  fs::create_directories(env.dataFolder());
  ASSERT_EQ(MakePackage(env.dataFolder() + "A000001.veskara", {"app", page}), 0);
  // A playback file where the demo puts one: only serial input switched on would read it.
  const std::string playback = env.workDir() + "/Marolin/nmea.log";
  WriteFile(playback, ReadFile(std::string(MAROLIN_TESTDATA_DIR) + "/nmea/ais-nmea.log"));

  // The demo's own source on the address the page names, ten times the recorded pace.
  Process source({std::string(MAROLIN_BINARY_DIR) + "/tools/nmea_replay",
                  std::string(MAROLIN_TESTDATA_DIR) + "/nmea/bundg_zeus_9.log", "10110", "10"},
                 env.root() + "/replay.log");
  Process app({ProgramPath()}, env.root() + "/marolin.log");
  size_t seen = 0;
  auto load = reporter.waitFor("load", &seen);
  ASSERT_TRUE(load) << ReadFile(env.root() + "/marolin.log");
  ASSERT_TRUE(source.running()) << ReadFile(env.root() + "/replay.log");
  const std::string win = FindWindow();
  ASSERT_FALSE(win.empty());
  ASSERT_TRUE(DemoPageShown(env.root(), win));
  EXPECT_FALSE(HostFix().ok);

  // The switch's drop-down: a click opens it, the keyboard picks "on" once it is on screen
  // (keys that come before it are lost to the page, and the drop-down stays open on "off").
  ClickAt(win, JsonPoint(load->body, "tcp"));
  ASSERT_TRUE(DropDownShown(win));
  Xdo("key Down Return");

  Fix first;
  ASSERT_TRUE(WaitUntil([&] { return (first = HostFix()).ok; }, kLong))
      << "no fix from the demo source\n" << ReadFile(env.root() + "/marolin.log");
  EXPECT_NEAR(first.lat, 52.85, 0.01);
  EXPECT_NEAR(first.lon, 5.31, 0.01);
  Fix later;
  EXPECT_TRUE(WaitUntil([&] {
    later = HostFix();
    return later.ok && (later.lat != first.lat || later.lon != first.lon);
  }, kLong)) << "the ship does not move";

  // Serial input stayed off all along: no port and no playback file open.
  for (const std::string &f : OpenFiles(app.pid())) {
    EXPECT_EQ(f.find("nmea.log"), std::string::npos) << f;
    EXPECT_NE(f.rfind("/dev/tty", 0), 0u) << f;
  }
}

// The demo page in the real window on a data folder of its own, its reports sent to the test.
class DemoPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x_.ok()) << "no X server";
    const std::string page = env_.root() + "/page";
    fs::copy(std::string(MAROLIN_SOURCE_DIR) + "/tools/demo/app", page, fs::copy_options::recursive);
    WriteFile(page + "/report.js", reporter_.script());
    fs::create_directories(env_.dataFolder());
    ASSERT_EQ(MakePackage(env_.dataFolder() + "A000001.veskara", {"app", page}), 0);
    app_ = std::make_unique<Process>(std::vector<std::string>{ProgramPath()}, env_.root() + "/marolin.log");
    auto load = reporter_.waitFor("load", &seen_);
    ASSERT_TRUE(load) << ReadFile(env_.root() + "/marolin.log");
    load_ = load->body;
    win_ = FindWindow();
    ASSERT_FALSE(win_.empty());
    ASSERT_TRUE(DemoPageShown(env_.root(), win_));
  }
  // The page's next report of its fix status that begins with the text.
  bool StatusShows(const std::string &text) {
    return reporter_.waitFor("status", &seen_, [&](const Report &r) {
      return JsonText(r.body, "fix").rfind(text, 0) == 0;
    }).has_value();
  }

  TestEnv env_;
  XSession x_{env_.root()};
  Reporter reporter_;
  std::unique_ptr<Process> app_;
  std::string load_, win_;
  size_t seen_ = 0;
};

TEST_F(DemoPageTest, AFixWhoseSourceHasGoneQuietShowsAsLost) {
  Process source({std::string(MAROLIN_BINARY_DIR) + "/tools/nmea_replay",
                  std::string(MAROLIN_TESTDATA_DIR) + "/nmea/bundg_zeus_9.log", "10110", "10"},
                 env_.root() + "/replay.log");
  ASSERT_TRUE(HttpGet("/nemasock/127.0.0.1/10110/1"));
  ASSERT_TRUE(StatusShows("GPS fix"));
  // The host keeps its last position and fix; only its sentence time stands still.
  source.signal(SIGKILL);
  ASSERT_TRUE(source.wait());
  EXPECT_TRUE(StatusShows("fix lost"));
}

TEST_F(DemoPageTest, TheMouseWheelZoomsTheMap) {
  auto chart = reporter_.waitFor("chart", &seen_);
  ASSERT_TRUE(chart);
  const int z = std::stoi(JsonLiteral(chart->body, "z"));
  auto zoomedTo = [&](int button) {
    ClickAt(win_, JsonPoint(load_, "map"), button);
    auto r = reporter_.waitFor("zoom", &seen_);
    return r ? std::stoi(JsonLiteral(r->body, "z")) : -1;
  };
  EXPECT_EQ(zoomedTo(4), z + 1);  // wheel up: in
  EXPECT_EQ(zoomedTo(5), z);      // wheel down: out
}

}  // namespace
