// The real program under an X server of the test's own: the start page, the close paths,
// the link, full-screen, key and context-menu policies, seen from the page and from X;
// its numbers under the desktop's locale, its descriptors, its end when the window or the
// display goes from outside.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <utility>

#include "tests/support/e2e_support.h"
#include "tests/support/packages.h"
#include "tests/support/serial_ports.h"
#include "tests/support/testing.h"

// Last: Xlib's macros (None, Status, True...) stay out of the headers above.
#include <X11/Xlib.h>
#include <X11/Xatom.h>

using namespace e2e;
using testing_support::HttpGet;
using testing_support::HttpPost;
using testing_support::ListenLoopback;
using testing_support::MakePackage;
using testing_support::ReadFile;
using testing_support::SocatPair;
using testing_support::TestEnv;
using testing_support::WriteFile;
using testing_support::WriteSerialPortList;

namespace {

// What another X client does to the program's window.
void OnTheDisplay(const std::function<void(Display *)> &action) {
  Display *d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  action(d);
  XSync(d, False);
  XCloseDisplay(d);
}

// Asks the window manager to maximise the window, as its title bar button does.
void Maximise(const std::string &id) {
  OnTheDisplay([&](Display *d) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = std::stoul(id);
    e.xclient.message_type = XInternAtom(d, "_NET_WM_STATE", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 1;  // add
    e.xclient.data.l[1] = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False));
    e.xclient.data.l[2] = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_VERT", False));
    e.xclient.data.l[3] = 1;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  });
}

// An NMEA sentence with its checksum and line end.
std::string Sentence(const std::string &body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// The descriptors of a process: number -> link target ("socket:[123]", a path...).
std::map<int, std::string> Descriptors(pid_t pid) {
  std::map<int, std::string> out;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code lec;
    const std::string target = fs::read_symlink(e.path(), lec).string();
    if (!lec) out[std::stoi(e.path().filename())] = target;
  }
  return out;
}

// The flags field of /proc/<pid>/fdinfo/<fd> (octal), or -1.
long DescriptorFlags(pid_t pid, int fd) {
  const std::string info = ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
  const size_t p = info.find("flags:");
  return p == std::string::npos ? -1 : std::strtol(info.c_str() + p + 6, nullptr, 8);
}

// The text of the X primary selection (what the user last selected), or "".
std::string PrimarySelection() {
  std::string text;
  OnTheDisplay([&](Display *d) {
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom target = XInternAtom(d, "UTF8_STRING", False), into = XInternAtom(d, "MAROLIN_TEST", False);
    XConvertSelection(d, XA_PRIMARY, target, into, w, CurrentTime);
    XFlush(d);
    WaitUntil([&] {
      XEvent e;
      if (!XCheckTypedWindowEvent(d, w, SelectionNotify, &e)) return false;
      Atom type;
      int format;
      unsigned long n = 0, after = 0;
      unsigned char *data = nullptr;
      if (e.xselection.property != None &&
          XGetWindowProperty(d, w, into, 0, 1 << 16, True, AnyPropertyType, &type, &format, &n, &after, &data) ==
              Success &&
          data)
        text.assign(reinterpret_cast<char *>(data), n);
      if (data) XFree(data);
      return true;
    }, kLong);
    XDestroyWindow(d, w);
  });
  return text;
}

// Another program's listener on the server's address: every connection it gets is counted
// and closed unanswered.
class AddressHolder {
 public:
  AddressHolder() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Earlier tests' connections may leave the port in TIME_WAIT; a listener takes it still.
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9999);
    inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd_, 16) != 0 || pipe2(stop_, O_CLOEXEC))
      return;
    ok_ = true;
    thread_ = std::thread([this] {
      for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || p[1].revents) return;
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          ++connections_;
          close(c);
        }
      }
    });
  }
  ~AddressHolder() { release(); }
  bool ok() const { return ok_; }
  int connections() const { return connections_; }
  void release() {
    if (thread_.joinable()) {
      if (write(stop_[1], "x", 1) < 0) {
      }
      thread_.join();
    }
    for (int *fd : {&fd_, &stop_[0], &stop_[1]})
      if (*fd >= 0) close(std::exchange(*fd, -1));
  }

 private:
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  bool ok_ = false;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

std::string gLogDir;
XSession *gX = nullptr;

// Processes whose parent is pid.
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> out;
  for (const auto &e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = ReadFile(e.path().string() + "/stat");
    size_t p = stat.rfind(')');
    if (p == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + p + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
      out.push_back(std::stoi(name));
  }
  return out;
}

bool Alive(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t p = stat.rfind(')');
  return p != std::string::npos && stat[p + 2] != 'Z';
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/marolin-e2e-XXXXXX";
    gLogDir = mkdtemp(tmpl);
    gX = new XSession(gLogDir);
  }
  static void TearDownTestSuite() {
    delete gX;
    gX = nullptr;
    std::error_code ec;
    if (!std::getenv("MAROLIN_KEEP_TEST_DIRS")) fs::remove_all(gLogDir, ec);
  }

  void SetUp() override {
    ASSERT_TRUE(gX && gX->ok()) << "no X server";
    opened_ = InstallOpener(env_.root());
  }

  // The web-application package in the data folder: the demo page, or a page of the
  // test's own, with report.js pointing the page's reports at the test.
  void InstallPage(const std::string &html = "") {
    demoPage_ = html.empty();
    const std::string folder = env_.root() + "/page";
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (html.empty())
      fs::copy(std::string(MAROLIN_SOURCE_DIR) + "/tools/demo/app", folder, fs::copy_options::recursive);
    else
      WriteFile(folder + "/veskara.html", html);
    WriteFile(folder + "/report.js", reporter_.script());
    const std::string package = env_.dataFolder() + "A000001.veskara";
    fs::create_directories(env_.dataFolder());
    fs::remove(package);
    ASSERT_EQ(MakePackage(package, {"app", folder}), 0);
  }

  // Starts the program and waits for the page's load report and the window, and for the
  // demo page on screen, which input needs.
  void Start(const std::vector<std::string> &args = {}) {
    std::vector<std::string> argv{ProgramPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    app_ = std::make_unique<Process>(argv, env_.root() + "/marolin.log");
    auto load = reporter_.waitFor("load", &seen_);
    ASSERT_TRUE(load) << ReadFile(env_.root() + "/marolin.log");
    load_ = load->body;
    win_ = FindWindow();
    ASSERT_FALSE(win_.empty());
    if (demoPage_) {
      ASSERT_TRUE(DemoPageShown(env_.root(), win_));
    }
  }

  Point At(const std::string &id) { return JsonPoint(load_, id); }

  // Keys pressed in the page since *from on elements whose tag passes, sorted: each
  // report comes on a connection of its own, so they arrive in any order.
  std::vector<std::string> KeysSince(size_t from, const std::function<bool(const std::string &)> &tag) {
    std::vector<std::string> keys;
    auto all = reporter_.all();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].kind == "keydown" && tag(JsonText(all[i].body, "tag"))) keys.push_back(JsonText(all[i].body, "key"));
    std::sort(keys.begin(), keys.end());
    return keys;
  }
  // Waits until the keys since *from on elements of that tag are those (sorted).
  ::testing::AssertionResult KeysCame(size_t from, const std::string &tag, const std::vector<std::string> &want) {
    auto on = [&](const std::string &t) { return t == tag; };
    if (WaitUntil([&] { return KeysSince(from, on) == want; }, kLong)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ::testing::PrintToString(KeysSince(from, on));
  }

  // Clicks an element and waits until the page reports its focus.
  void FocusElement(const std::string &id, const std::string &tag) {
    ClickAt(win_, At(id));
    ASSERT_TRUE(reporter_.waitFor("focusin", &seen_, [&](const Report &r) { return JsonText(r.body, "tag") == tag; }));
  }

  // Types a marker key into the place input and waits for it; everything typed before
  // has been through the key hook by then.
  void SyncWithMarker(const std::string &marker) {
    FocusElement("place", "INPUT");
    Xdo("type " + marker);
    ASSERT_TRUE(reporter_.waitFor("keydown", &seen_, [&](const Report &r) { return JsonText(r.body, "key") == marker; }));
  }

  void ExpectCleanExit() {
    auto status = app_->wait();
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }

  TestEnv env_;
  Reporter reporter_;
  std::string opened_;
  std::unique_ptr<Process> app_;
  std::string win_;
  std::string load_;
  size_t seen_ = 0;
  bool demoPage_ = false;
};

TEST_F(WindowTest, StartPageShowsAndTheWindowManagersCloseRunsThePageCloseFirst) {
  InstallPage();
  Start();
  EXPECT_NE(WindowProperty(win_, "_NET_WM_NAME").find("\"Marolin\""), std::string::npos);
  EXPECT_NE(WindowProperty(win_, "_NET_WM_ICON").find("_NET_WM_ICON(CARDINAL) ="), std::string::npos);
  EXPECT_NE(WindowProperty(win_, "WM_CLASS").find("\"marolin\""), std::string::npos);  // as the desktop file says

  // The page is on screen (Start waited for its tool bar's colour).
  if (const char *keep = std::getenv("MAROLIN_E2E_SHOT"))
    fs::copy_file(env_.root() + "/shot.png", keep, fs::copy_options::overwrite_existing);

  // Alt+F4 makes openbox send WM_DELETE_WINDOW. The page's close runs while everything
  // is still up, and the program waits for it.
  reporter_.holdClose();
  Xdo("windowactivate --sync " + win_ + " key alt+F4");
  auto close = reporter_.waitFor("close", &seen_);
  ASSERT_TRUE(close);
  EXPECT_TRUE(app_->running());
  EXPECT_FALSE(FindWindow().empty());
  auto version = HttpGet("/hostversion/");
  ASSERT_TRUE(version);
  EXPECT_NE(version->body.find("hostversion"), std::string::npos);
  reporter_.release();
  ExpectCleanExit();
}

// One full window test, started as a shell of the user starts it (no XDG folders, no
// session bus), leaves the user's home as it found it.
TEST(WindowSuite, LeavesTheHomeAsItFoundIt) {
  TestEnv env;
  const std::string home = env.root() + "/user", log = env.root() + "/suite.log";
  fs::create_directories(home);
  std::vector<std::string> argv{"env"};
  for (const char *name : {"DISPLAY", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "GSETTINGS_BACKEND"})
    argv.insert(argv.end(), {"-u", name});
  argv.insert(argv.end(), {"HOME=" + home, fs::read_symlink("/proc/self/exe").string(),
                           "--gtest_filter=WindowTest.StartPageShowsAndTheWindowManagersCloseRunsThePageCloseFirst"});
  Process suite(argv, log);
  auto status = suite.wait(4 * kLong);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << ReadFile(log);
  std::vector<std::string> written;
  for (const auto &e : fs::recursive_directory_iterator(home)) written.push_back(e.path().string());
  EXPECT_EQ(written, std::vector<std::string>{});
}

TEST_F(WindowTest, TerminationSignalsTakeTheSameClosePath) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    // A file name and the print switch do not change the normal run.
    InstallPage();
    Start({"/p", "chart.txt"});
    app_->signal(sig);
    EXPECT_TRUE(reporter_.waitFor("close", &seen_));
    ExpectCleanExit();
  }
}

TEST_F(WindowTest, PagesThatCannotCloseStillLetTheWindowGo) {
  const struct {
    const char *name;
    const char *script;
  } pages[] = {
      {"no cpApp", ""},
      {"close throws", "window.cpApp = { close: function () { throw new Error('no'); } };"},
      {"close never returns", "window.cpApp = { close: function () { for (;;) {} } };"},
  };
  for (const auto &page : pages) {
    SCOPED_TRACE(page.name);
    InstallPage(std::string("<html><head><script src=\"report.js\"></script><script>") + page.script +
                "</script></head><body onload=\"var x = new XMLHttpRequest(); x.open('POST', DemoReport + "
                "'load'); x.send('{}');\">test page</body></html>");
    Start();
    const std::vector<pid_t> helpers = ChildrenOf(app_->pid());
    EXPECT_FALSE(helpers.empty());
    app_->signal(SIGTERM);
    ExpectCleanExit();
    // No web process is left behind busy with the page.
    for (pid_t p : helpers) EXPECT_TRUE(WaitUntil([&] { return !Alive(p); }, kLong)) << "helper " << p << " still runs";
  }
}

TEST_F(WindowTest, ANavigationThatShowsNothingLeavesThePageItsClose) {
  // The page leaves for an address that answers with nothing to show; the page stays, and
  // closing still runs its close script.
  InstallPage(
      "<html><head><script src=\"report.js\"></script><script>"
      "window.cpApp = { close: function () { var x = new XMLHttpRequest(); x.open('POST', DemoReport + 'close', "
      "false); x.send('{}'); } };</script></head><body onload=\"var x = new XMLHttpRequest(); x.open('POST', "
      "DemoReport + 'load', false); x.send('{}'); location.href = DemoReport + 'away.html';\">page</body></html>");
  Start();
  ASSERT_TRUE(reporter_.waitFor("GET away.html", &seen_));
  app_->signal(SIGTERM);
  EXPECT_TRUE(reporter_.waitFor("close", &seen_));
  ExpectCleanExit();
}

TEST_F(WindowTest, ExternalLinksOpenInTheDesktopHandlerAndTheWindowKeepsItsPage) {
  InstallPage();
  Start();
  ClickAt(win_, At("reference"));
  const std::string link = "https://gpsd.gitlab.io/gpsd/AIVDM.html#_types_1_2_and_3_position_report_class_a";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(opened_) == link + "\n"; }, kLong)) << ReadFile(opened_);
  // Still the same page: its reports carry the id of the first load, and it did not load again.
  SyncWithMarker("k");
  auto all = reporter_.all();
  EXPECT_EQ(JsonText(all.back().body, "id"), JsonText(load_, "id"));
  for (const auto &r : all) EXPECT_TRUE(r.kind != "load" || r.body == load_);
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, FramesFollowTheSameLinkPolicy) {
  InstallPage(
      "<html><head><script src=\"report.js\"></script></head><body onload=\"var x = new XMLHttpRequest(); "
      "x.open('POST', DemoReport + 'load'); x.send('{}');\">"
      "<iframe src=\"https://example.org/chart.pdf\"></iframe>"
      "<iframe src=\"mailto:skipper@example.org\"></iframe>"
      "<iframe src=\"x-marolin-nothing:here\"></iframe>"
      "<iframe src=\"/app/report.js\"></iframe></body></html>");
  Start();
  EXPECT_TRUE(WaitUntil([&] {
    return ReadFile(opened_) == "https://example.org/chart.pdf\nmailto:skipper@example.org\n" ||
           ReadFile(opened_) == "mailto:skipper@example.org\nhttps://example.org/chart.pdf\n";
  }, kLong)) << ReadFile(opened_);
  // An address the desktop has no handler for is told, with the desktop's reason.
  const std::string log = env_.root() + "/marolin.log";
  const std::string told = "Marolin: cannot open x-marolin-nothing:here: ";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find(told) != std::string::npos; }, kLong)) << ReadFile(log);
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, ScriptDialogsNeverShow) {
  // A dialog on screen would hold the page's script until answered, and the load report
  // would not come.
  InstallPage(
      "<html><head><script src=\"report.js\"></script></head><body onload=\"alert('a'); "
      "var answer = confirm('b') + ',' + prompt('c', 'd'); var x = new XMLHttpRequest(); "
      "x.open('POST', DemoReport + 'load'); x.send(JSON.stringify({ answer: answer }));\">dialogs</body></html>");
  Start();
  EXPECT_EQ(JsonText(load_, "answer"), "false,null");
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, FullscreenFragmentSwitchesTheWindowAndBack) {
  InstallPage();
  Start();
  const Geometry windowed = WindowGeometry(win_);
  const Geometry screen{0, 0, 1280, 800};
  auto isFull = [&] {
    return WindowProperty(win_, "_NET_WM_STATE").find("_NET_WM_STATE_MAXIMIZED_HORZ") != std::string::npos &&
           WindowProperty(win_, "_NET_FRAME_EXTENTS").find("= 0, 0, 0, 0") != std::string::npos &&
           WindowGeometry(win_) == screen;
  };
  auto isWindowed = [&](const Geometry &g) {
    return WindowProperty(win_, "_NET_WM_STATE").find("MAXIMIZED") == std::string::npos &&
           WindowProperty(win_, "_NET_FRAME_EXTENTS").find("= 0, 0, 0, 0") == std::string::npos &&
           WindowGeometry(win_).width == g.width && WindowGeometry(win_).height == g.height;
  };

  ClickAt(win_, At("fullOn"));
  EXPECT_TRUE(WaitUntil(isFull, kLong)) << WindowProperty(win_, "_NET_WM_STATE");
  ClickAt(win_, At("fullOff"));
  EXPECT_TRUE(WaitUntil([&] { return isWindowed(windowed) && WindowGeometry(win_) == windowed; }, kLong));

  // Switching to full screen while already there saves the full-screen rectangle, so
  // the way back keeps that size, now with a caption.
  ClickAt(win_, At("fullOn"));
  ASSERT_TRUE(WaitUntil(isFull, kLong));
  ClickAt(win_, At("fullOn"));
  ClickAt(win_, At("fullOff"));
  EXPECT_TRUE(WaitUntil([&] { return isWindowed(screen); }, kLong))
      << WindowProperty(win_, "_NET_WM_STATE") << WindowProperty(win_, "_NET_FRAME_EXTENTS") << WindowGeometry(win_).x
      << "," << WindowGeometry(win_).y << " " << WindowGeometry(win_).width << "x" << WindowGeometry(win_).height;
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, KeysReachThePageAccordingToTheFocusedElement) {
  InstallPage();
  Start();

  // An input: every key but Enter, so the form is not sent.
  FocusElement("place", "INPUT");
  size_t from = seen_;
  Xdo("type ab");
  Xdo("key Return");
  Xdo("type c");
  ASSERT_TRUE(reporter_.waitFor("keydown", &seen_, [](const Report &r) { return JsonText(r.body, "key") == "c"; }));
  EXPECT_TRUE(KeysCame(from, "INPUT", {"a", "b", "c"}));
  EXPECT_FALSE(reporter_.waitFor("submit", nullptr, nullptr, 0));

  // A textarea: every key, Enter included.
  FocusElement("notes", "TEXTAREA");
  from = seen_;
  Xdo("type x");
  Xdo("key Return");
  Xdo("type y");
  auto y = reporter_.waitFor("keydown", &seen_, [](const Report &r) { return JsonText(r.body, "key") == "y"; });
  ASSERT_TRUE(y);
  EXPECT_TRUE(KeysCame(from, "TEXTAREA", {"Enter", "x", "y"}));
  EXPECT_EQ(JsonText(y->body, "value"), "x\n");

  // Nothing input-like focused: no key reaches the page, not even the browser's reload.
  ClickAt(win_, At("map"));
  ASSERT_TRUE(reporter_.waitFor("focusout", &seen_));
  from = seen_;
  Xdo("type q");
  Xdo("key F5 Return ctrl+r");
  SyncWithMarker("z");
  EXPECT_EQ(KeysSince(from, [](const std::string &t) { return t != "INPUT" && t != "TEXTAREA"; }),
            std::vector<std::string>{});
  for (const auto &r : reporter_.all()) EXPECT_TRUE(r.kind != "load" || r.body == load_) << "the page loaded again";

  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, NoContextMenuAndNoSelectionOrDraggingOnBlocks) {
  InstallPage();
  Start();
  auto next = [&](const char *kind) {
    auto r = reporter_.waitFor(kind, &seen_);
    return r ? JsonText(r->body, "tag") + (JsonLiteral(r->body, "prevented") == "true" ? " cancelled" : " open")
             : std::string("none");
  };

  // The page's own event is cancelled on a div, not on a span inside it; the browser
  // shows its menu on neither. A menu would take the next click, and the marker key
  // would then not reach the input.
  ClickAt(win_, At("legendStart"), 3);
  EXPECT_EQ(next("contextmenu"), "DIV cancelled");
  ClickAt(win_, At("legendOwn"), 3);
  EXPECT_EQ(next("contextmenu"), "SPAN open");
  SyncWithMarker("m");

  // Selecting text that starts in the div's own text is cancelled; in the span it is not.
  const Point div = At("legendStart"), span = At("legendOwn");
  DragFromTo(win_, div, {div.x + 60, div.y});
  EXPECT_EQ(next("selectstart"), "DIV cancelled");
  auto sel = reporter_.waitFor("selection", &seen_);
  ASSERT_TRUE(sel);
  EXPECT_EQ(JsonText(sel->body, "text"), "");
  DragFromTo(win_, {span.x - 20, span.y}, {span.x + 20, span.y});
  EXPECT_EQ(next("selectstart"), "SPAN open");
  sel = reporter_.waitFor("selection", &seen_);
  ASSERT_TRUE(sel);
  EXPECT_NE(JsonText(sel->body, "text"), "");

  // Dragging a tile image is cancelled.
  ASSERT_TRUE(reporter_.waitFor("chart", nullptr));
  const Point map = At("map");
  DragFromTo(win_, map, {map.x + 40, map.y + 40});
  EXPECT_EQ(next("dragstart"), "IMG cancelled");

  app_->signal(SIGTERM);
  ExpectCleanExit();
}

// A page that only reports its load.
const char kPlainPage[] =
    "<html><head><script src=\"report.js\"></script></head><body onload=\"var x = new XMLHttpRequest(); "
    "x.open('POST', DemoReport + 'load'); x.send('{}');\">plain</body></html>";

TEST_F(WindowTest, MaximisedThenFullScreenThenWindowedReturnsToTheWindowedRectangle) {
  InstallPage();
  Start();
  const Geometry windowed = WindowGeometry(win_);
  Maximise(win_);
  ASSERT_TRUE(WaitUntil(
      [&] { return WindowProperty(win_, "_NET_WM_STATE").find("MAXIMIZED_HORZ") != std::string::npos; }, kLong));
  ClickAt(win_, At("fullOn"));
  EXPECT_TRUE(WaitUntil([&] {
    return WindowProperty(win_, "_NET_FRAME_EXTENTS").find("= 0, 0, 0, 0") != std::string::npos &&
           WindowGeometry(win_) == Geometry{0, 0, 1280, 800};
  }, kLong));
  ClickAt(win_, At("fullOff"));
  EXPECT_TRUE(WaitUntil([&] {
    return WindowProperty(win_, "_NET_WM_STATE").find("MAXIMIZED") == std::string::npos &&
           WindowGeometry(win_) == windowed;
  }, kLong)) << WindowGeometry(win_).x << "," << WindowGeometry(win_).y << " " << WindowGeometry(win_).width << "x"
      << WindowGeometry(win_).height << " for " << windowed.width << "x" << windowed.height;
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, AnAddressHeldByAnotherProgramIsToldAndTheStartPageWaitsForOurOwnListener) {
  AddressHolder holder;
  ASSERT_TRUE(holder.ok());
  InstallPage(kPlainPage);
  const std::string out = env_.root() + "/marolin.out", err = env_.root() + "/marolin.err";
  app_ = std::make_unique<Process>(std::vector<std::string>{ProgramPath()}, out, err);
  const std::string line =
      "Marolin: cannot listen on 127.0.0.2:9999: Address already in use (another program holds it)";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(err).find(line + "\n") != std::string::npos; }, kLong)) << ReadFile(err);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(out).find("ERROR on binding") != std::string::npos; }, kLong));
  // The window shows the same line on a page of its own: the user selects its paragraph.
  win_ = FindWindow();
  ASSERT_FALSE(win_.empty());
  std::string shown;
  EXPECT_TRUE(WaitUntil([&] {
    const Geometry g = WindowGeometry(win_);
    Xdo("mousemove --sync " + std::to_string(g.x + 40) + " " + std::to_string(g.y + 36) + " click --repeat 3 1");
    shown = PrimarySelection();
    return shown.rfind(line, 0) == 0;
  }, kLong)) << shown;
  EXPECT_EQ(holder.connections(), 0);

  // The address comes free: the start page, from this process's own listener.
  holder.release();
  ASSERT_TRUE(reporter_.waitFor("load", &seen_)) << ReadFile(err);
  EXPECT_EQ(holder.connections(), 0);
  // One line for the failure and one for its end, however often the bind was tried.
  const std::string told = ReadFile(err);
  EXPECT_EQ(told, line + "\nMarolin: listening on 127.0.0.2:9999 now\n");
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, NumbersKeepTheirPointWhateverTheDesktopLocale) {
  // Run under a decimal-comma locale (the suite sets one); the server, the logger and the
  // database passthrough still write C numbers. The playback file gives a depth, then a
  // position at 5 knots.
  WriteSerialPortList({});
  fs::create_directories(env_.workDir() + "/Marolin");
  WriteFile(env_.workDir() + "/Marolin/nmea.log",
            Sentence("SDDBK,7.5,f,2.3,M,1.2,F") +
                Sentence("GPRMC,123519,A,5250.5377,N,00542.3500,E,5.0,084.4,010624,003.1,W,A"));
  InstallPage(kPlainPage);
  Start();

  // The desktop's locale is still the one the page is told about.
  if (const char *lc = std::getenv("LC_ALL"); lc && std::strlen(lc) >= 5) {
    std::string name(lc, 5);
    name[2] = '-';
    auto version = HttpGet("/hostversion/");
    ASSERT_TRUE(version);
    EXPECT_NE(version->body.find("\"locale\":\"" + name + "\""), std::string::npos) << version->body;
  }

  std::string body;
  ASSERT_TRUE(WaitUntil([&] {
    auto r = HttpPost("/getSetHostStat/1/0/1/0", "{}");
    body = r ? r->body : "";
    return body.find("\"track\":[[") != std::string::npos;
  }, kLong)) << body;
  // The answer that first shows the track may have read the position before the playback
  // stored it (the first post starts the playback); the track row is logged after the
  // sentence's values, so the next answer has them all.
  auto settled = HttpPost("/getSetHostStat/1/0/1/0", "{}");
  ASSERT_TRUE(settled);
  body = settled->body;
  const std::string json = env_.root() + "/hoststat.json";
  WriteFile(json, body);
  EXPECT_EQ(Capture("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                    "print(d[\"latY\"], d[\"lonX\"], d[\"speed\"], d[\"dbk\"], d[\"heading\"], "
                    "[t[:2] for t in d[\"track\"]])' " +
                    Quote(json) + " 2>&1"),
            "52.842295 5.705833 2.6 2.3 84 [[5.705833, 52.842295]]\n")
      << body;

  for (bool post : {false, true}) {
    auto r = post ? HttpPost("/UexecSql", "SELECT 1.5") : HttpGet("/UexecSql/SELECT%201.5");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "[\n[1.500000]\n]");
  }
  auto tags = HttpGet("/UexecSql/SELECT%20v%20FROM%20log%20WHERE%20t=1");
  ASSERT_TRUE(tags);
  EXPECT_TRUE(std::regex_match(tags->body, std::regex("\\[\n\\[\"gt=[0-9a-f]+ dk=2\\.3\"\\]\n\\]"))) << tags->body;
  app_->signal(SIGTERM);
  ExpectCleanExit();
}

TEST_F(WindowTest, EveryDescriptorIsCloseOnExecAndTheWebProcessesHoldNoneOfOurs) {
  // Every source at once: a serial port (a pseudo-terminal), the playback file (a fifo the
  // test keeps open, so it stays open), NMEA over TCP, and a download the stand-in chart
  // server leaves half done.
  SocatPair port(env_.root() + "/pty");
  ASSERT_TRUE(port.ok());
  WriteSerialPortList({{"\\Device\\Serial0", port.portName()}});
  const std::string fifo = env_.workDir() + "/Marolin/nmea.log";
  fs::create_directories(env_.workDir() + "/Marolin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int playback = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(playback, 0);
  int nmeaPort = 0, chartPort = 0;
  const int nmea = ListenLoopback(4, &nmeaPort);
  const int chart = ListenLoopback(4, &chartPort);
  ASSERT_GE(nmea, 0);
  ASSERT_GE(chart, 0);
  std::thread chartServer([&] {
    const int c = accept4(chart, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    char buf[4096];
    if (recv(c, buf, sizeof buf, 0) <= 0) return (void)close(c);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x');
    send(c, head.data(), head.size(), MSG_NOSIGNAL);
    pollfd p{c, POLLIN, 0};
    ::poll(&p, 1, kLong * 4);  // until the program lets go
    close(c);
  });
  setenv("MAROLIN_CHART_SERVER", ("127.0.0.1:" + std::to_string(chartPort)).c_str(), 1);
  InstallPage(kPlainPage);
  Start();
  unsetenv("MAROLIN_CHART_SERVER");
  const pid_t pid = app_->pid();

  ASSERT_TRUE(HttpPost("/getSetHostStat/10/0/1/0", "{}"));
  ASSERT_TRUE(HttpGet("/nemasock/127.0.0.1/" + std::to_string(nmeaPort) + "/1"));
  ASSERT_TRUE(HttpGet("/download/5%201%20100000%200"));
  auto holds = [&](const std::string &target) {
    for (const auto &[fd, t] : Descriptors(pid))
      if (t == target) return true;
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] { return holds(port.nearPath()) && holds(fifo); }, kLong));
  EXPECT_TRUE(WaitUntil([&] {
    pollfd p{nmea, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;  // the program's connection waits to be accepted
  }, kLong));
  std::string progress;
  EXPECT_TRUE(WaitUntil([&] {
    auto r = HttpGet("/download/*");
    progress = r ? r->body : "";
    return progress.find("\"s\":2,") != std::string::npos && holds(env_.dataFolder() + "N000005.temp");
  }, kLong)) << progress;

  // Left aside: what the program inherited from this test (its own descriptors without
  // close-on-exec), and what WebKit's memory monitor and the random source of the
  // libraries keep open in the process.
  std::map<int, std::string> inherited;
  for (const auto &[fd, target] : Descriptors(getpid()))
    if (!(DescriptorFlags(getpid(), fd) & 02000000)) inherited[fd] = target;
  auto library = [](const std::string &t) {
    return t == "/dev/urandom" || t.rfind("/proc/", 0) == 0 || t.rfind("/sys/fs/cgroup/", 0) == 0;
  };
  std::set<std::string> ours;
  for (const auto &[fd, target] : Descriptors(pid)) {
    if (target.rfind("socket:", 0) == 0) ours.insert(target);
    if (fd <= 2 || (inherited.count(fd) && inherited[fd] == target) || library(target)) continue;
    EXPECT_EQ(DescriptorFlags(pid, fd) & 02000000, 02000000) << "fd " << fd << " -> " << target;
  }
  EXPECT_GE(ours.size(), 4u);  // listener, TCP source, download, the page's connections
  const std::vector<pid_t> helpers = ChildrenOf(pid);
  EXPECT_FALSE(helpers.empty());
  for (pid_t child : helpers)
    for (const auto &[fd, target] : Descriptors(child))
      EXPECT_EQ(ours.count(target), 0u) << "web process " << child << " holds " << target << " as fd " << fd;

  app_->signal(SIGTERM);
  ExpectCleanExit();
  chartServer.join();
  close(nmea);
  close(chart);
  close(playback);
}

TEST_F(WindowTest, WindowOrDisplayGoneFromOutsideEndsTheProgramWithItsDatabasesClosed) {
  const struct {
    const char *name;
    std::function<void(const std::string &)> act;
    int exitCode;
  } cases[] = {
      {"window destroyed",
       [](const std::string &id) { OnTheDisplay([&](Display *d) { XDestroyWindow(d, std::stoul(id)); }); }, 0},
      {"display connection killed",
       [](const std::string &id) { OnTheDisplay([&](Display *d) { XKillClient(d, std::stoul(id)); }); }, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // The page stores a value before it reports its load.
    InstallPage(std::string("<html><head><script src=\"report.js\"></script></head><body onload=\"var v = new "
                            "XMLHttpRequest(); v.open('POST', '/setValue/outside', false); v.send('") +
                c.name +
                "'); var x = new XMLHttpRequest(); x.open('POST', DemoReport + 'load'); x.send('{}');\">page</body></html>");
    const std::string log = env_.root() + "/marolin.log";
    fs::remove(log);
    Start();
    c.act(win_);
    auto status = app_->wait();
    ASSERT_TRUE(status) << "the program stayed";
    ASSERT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), c.exitCode);
    const std::string trip = env_.dataFolder() + "veskara.trip";
    EXPECT_FALSE(fs::exists(trip + "-journal"));
    EXPECT_EQ(DbValue(trip, "SELECT v FROM kvt WHERE k='outside'"), c.name);
    // GTK and WebKit had nothing to complain about.
    const std::string out = ReadFile(log);
    for (const char *word : {"Gtk-", "GLib-", "GLib-GObject-", "WebKit", "CRITICAL", "WARNING"})
      EXPECT_EQ(out.find(word), std::string::npos) << out;
    EXPECT_FALSE(testing_support::HttpConn().ok());  // the port is free
  }
}

}  // namespace
