// Message boxes of other threads while the window runs: a GTK dialog on the UI thread,
// the caller held until it is answered, and released when the window goes first.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <thread>

#include "app/ui_message_box.h"
#include "platform/system.h"
#include "tests/support/e2e_support.h"

using namespace e2e;

namespace {

// A caller on a thread of its own, as a connection thread writing a setting.
struct Caller {
  std::atomic<bool> done{false};
  std::atomic<int> result{0};
  std::thread thread;
  explicit Caller(const char *text) {
    thread = std::thread([this, text] {
      result = MessageBoxA(nullptr, text, "Marolindll", MB_OK | MB_ICONWARNING);
      done = true;
    });
  }
  ~Caller() { thread.join(); }
};

// Runs the UI thread's loop until cond holds.
bool Pump(const std::function<bool()> &cond) {
  return WaitUntil([&] {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return cond();
  }, kLong);
}

// The message dialog showing text, or null.
GtkMessageDialog *DialogWith(const char *text) {
  GtkMessageDialog *found = nullptr;
  GList *all = gtk_window_list_toplevels();
  for (GList *l = all; l; l = l->next) {
    if (!GTK_IS_MESSAGE_DIALOG(l->data) || !gtk_widget_get_visible(GTK_WIDGET(l->data))) continue;
    gchar *shown = nullptr;
    g_object_get(l->data, "text", &shown, nullptr);
    if (shown && std::strcmp(shown, text) == 0) found = GTK_MESSAGE_DIALOG(l->data);
    g_free(shown);
  }
  g_list_free(all);
  return found;
}

class MessageBoxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/marolin-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    x_ = new XSession(dir_, false);
    ASSERT_TRUE(x_->ok());
    gtk_disable_setlocale();  // as the program: numbers stay in the C convention
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  }
  static void TearDownTestSuite() {
    delete x_;
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window_);
  }
  void TearDown() override { gtk_widget_destroy(window_); }

  static std::string dir_;
  static XSession *x_;
  GtkWidget *window_ = nullptr;
};
std::string MessageBoxTest::dir_;
XSession *MessageBoxTest::x_ = nullptr;

TEST_F(MessageBoxTest, EachCallerWaitsForItsOwnDialog) {
  auto box = std::make_unique<UiMessageBox>(GTK_WINDOW(window_));
  Caller first("Registry error"), second("Another error");
  GtkMessageDialog *a = nullptr, *b = nullptr;
  ASSERT_TRUE(Pump([&] { return (a = DialogWith("Registry error")) && (b = DialogWith("Another error")); }));
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(a)), "Marolindll");
  GtkMessageType type;
  g_object_get(a, "message-type", &type, nullptr);
  EXPECT_EQ(type, GTK_MESSAGE_WARNING);
  EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(a)), GTK_WINDOW(window_));
  EXPECT_FALSE(first.done);

  // The user presses OK on the second box: only its caller goes on.
  gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(b), GTK_RESPONSE_OK)));
  ASSERT_TRUE(Pump([&] { return second.done.load(); }));
  EXPECT_EQ(second.result, IDOK);
  EXPECT_FALSE(first.done);
  EXPECT_FALSE(DialogWith("Another error"));

  gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(a), GTK_RESPONSE_OK)));
  ASSERT_TRUE(Pump([&] { return first.done.load(); }));
  EXPECT_EQ(first.result, IDOK);
}

TEST_F(MessageBoxTest, TheWindowGoingReleasesWaitingCallersAndLaterOnesDoNotWait) {
  auto box = std::make_unique<UiMessageBox>(GTK_WINDOW(window_));
  {
    Caller waiting("Registry error");
    ASSERT_TRUE(Pump([] { return DialogWith("Registry error") != nullptr; }));
    box.reset();
    ASSERT_TRUE(Pump([&] { return waiting.done.load(); }));
    EXPECT_EQ(waiting.result, IDOK);
    EXPECT_FALSE(DialogWith("Registry error"));
  }
  // Without the window the box is a line on standard error and returns at once.
  Caller later("After the window");
  EXPECT_TRUE(WaitUntil([&] { return later.done.load(); }, kLong));
  EXPECT_FALSE(DialogWith("After the window"));
}

}  // namespace
