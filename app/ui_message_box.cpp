// The message box bridge: a caller on any thread queues its box under the bridge's lock,
// wakes the UI thread's main context and sleeps on the bridge's condition variable; the
// dialog's response wakes it. Nothing but a wake-up passes through GLib, so every hand-over
// of data goes through the one lock.
#include "app/ui_message_box.h"

#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>

#include "platform/system.h"

namespace {

struct Box {
  std::string text;
  std::string caption;
  unsigned type = 0;
  GtkWidget *dialog = nullptr;  // UI thread only
  bool done = false;
  int result = IDOK;
};

}  // namespace

struct UiMessageBox::State {
  std::mutex lock;
  std::condition_variable changed;
  bool open = true;                         // false once the window has gone
  std::list<std::shared_ptr<Box>> queued;   // waiting for the UI thread
  std::list<std::shared_ptr<Box>> shown;    // on screen
  GtkWindow *parent = nullptr;              // UI thread only
  GMainContext *context = nullptr;
  GThread *uiThread = nullptr;
};

namespace {

using StatePtr = std::shared_ptr<UiMessageBox::State>;

// The bridge of the running window, for the UI thread's wake-ups.
std::mutex gCurrentLock;
std::weak_ptr<UiMessageBox::State> gCurrent;

GtkMessageType MessageTypeFor(unsigned type) {
  switch (type & 0xF0) {
    case 0x10: return GTK_MESSAGE_ERROR;
    case 0x20: return GTK_MESSAGE_QUESTION;
    case 0x40: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_WARNING;
  }
}

struct Shown {
  StatePtr state;
  std::shared_ptr<Box> box;
};

void OnResponse(GtkDialog *dialog, gint, gpointer data) {
  auto *s = static_cast<Shown *>(data);
  s->box->dialog = nullptr;
  {
    std::lock_guard<std::mutex> lk(s->state->lock);
    s->box->done = true;
    s->state->shown.remove(s->box);
    s->state->changed.notify_all();
  }
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void FreeShown(gpointer data, GClosure *) { std::unique_ptr<Shown> owned(static_cast<Shown *>(data)); }

// Shows the box without a nested loop, so the window and its close keep working.
GtkWidget *ShowDialog(const StatePtr &state, const std::shared_ptr<Box> &box) {
  GtkWidget *dialog = gtk_message_dialog_new(state->parent, GTK_DIALOG_DESTROY_WITH_PARENT, MessageTypeFor(box->type),
                                             GTK_BUTTONS_OK, "%s", box->text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), box->caption.c_str());
  box->dialog = dialog;
  g_signal_connect_data(dialog, "response", G_CALLBACK(OnResponse), std::make_unique<Shown>(Shown{state, box}).release(),
                        FreeShown, GConnectFlags(0));
  gtk_widget_show(dialog);
  return dialog;
}

// On the UI thread: shows every queued box.
gboolean ShowQueued(gpointer) {
  StatePtr state;
  {
    std::lock_guard<std::mutex> lk(gCurrentLock);
    state = gCurrent.lock();
  }
  if (!state) return G_SOURCE_REMOVE;
  std::list<std::shared_ptr<Box>> boxes;
  {
    std::lock_guard<std::mutex> lk(state->lock);
    if (!state->open) return G_SOURCE_REMOVE;
    boxes.swap(state->queued);
    state->shown.insert(state->shown.end(), boxes.begin(), boxes.end());
  }
  for (const auto &box : boxes) ShowDialog(state, box);
  return G_SOURCE_REMOVE;
}

int ShowAndWait(const StatePtr &state, const char *text, const char *caption, unsigned type) {
  auto box = std::make_shared<Box>();
  box->text = text ? text : "";
  box->caption = caption ? caption : "";
  box->type = type;
  const bool onUiThread = g_thread_self() == state->uiThread;
  {
    std::lock_guard<std::mutex> lk(state->lock);
    if (!state->open) {
      // The window has gone: the line the program writes without one.
      std::fprintf(stderr, "%s: %s\n", box->caption.c_str(), box->text.c_str());
      return IDOK;
    }
    (onUiThread ? state->shown : state->queued).push_back(box);
  }
  if (onUiThread) {
    // On the UI thread itself the box is modal here.
    gtk_dialog_run(GTK_DIALOG(ShowDialog(state, box)));
  } else {
    // Always queued: g_main_context_invoke would run the dialog right here, on this
    // thread, whenever the UI thread is not inside its loop at this moment.
    GSource *source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, ShowQueued, nullptr, nullptr);
    g_source_attach(source, state->context);
    g_source_unref(source);
  }
  std::unique_lock<std::mutex> lk(state->lock);
  state->changed.wait(lk, [&] { return box->done; });
  return box->result;
}

}  // namespace

UiMessageBox::UiMessageBox(GtkWindow *parent) : state_(std::make_shared<State>()) {
  state_->parent = parent;
  state_->context = g_main_context_default();
  state_->uiThread = g_thread_self();
  {
    std::lock_guard<std::mutex> lk(gCurrentLock);
    gCurrent = state_;
  }
  StatePtr state = state_;
  PlatformSetMessageBoxHandler(
      [state](const char *text, const char *caption, unsigned type) { return ShowAndWait(state, text, caption, type); });
}

UiMessageBox::~UiMessageBox() {
  PlatformSetMessageBoxHandler({});
  {
    std::lock_guard<std::mutex> lk(gCurrentLock);
    gCurrent.reset();
  }
  std::list<std::shared_ptr<Box>> left;
  {
    std::lock_guard<std::mutex> lk(state_->lock);
    state_->open = false;
    left.swap(state_->shown);
    left.splice(left.end(), state_->queued);
    for (auto &box : left) box->done = true;
    state_->changed.notify_all();
  }
  for (auto &box : left) {
    if (box->dialog) gtk_widget_destroy(box->dialog);
    box->dialog = nullptr;
  }
}
