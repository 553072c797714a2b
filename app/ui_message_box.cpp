// The message box bridge: a caller on any thread queues its box on the UI thread's main
// context and sleeps on its own condition variable; the dialog's response wakes it.
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
  bool open = true;                     // false once the window has gone
  std::list<std::shared_ptr<Box>> boxes;  // queued or shown
  GtkWindow *parent = nullptr;          // UI thread only
  GMainContext *context = nullptr;
  GThread *uiThread = nullptr;
};

namespace {

using StatePtr = std::shared_ptr<UiMessageBox::State>;

GtkMessageType MessageTypeFor(unsigned type) {
  switch (type & 0xF0) {
    case 0x10: return GTK_MESSAGE_ERROR;
    case 0x20: return GTK_MESSAGE_QUESTION;
    case 0x40: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_WARNING;
  }
}

void Finish(const StatePtr &state, const std::shared_ptr<Box> &box) {
  std::lock_guard<std::mutex> lk(state->lock);
  box->done = true;
  state->boxes.remove(box);
  state->changed.notify_all();
}

struct ShowRequest {
  StatePtr state;
  std::shared_ptr<Box> box;
};

void OnResponse(GtkDialog *dialog, gint, gpointer data) {
  auto *req = static_cast<ShowRequest *>(data);
  req->box->dialog = nullptr;
  Finish(req->state, req->box);
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void FreeRequest(gpointer data, GClosure *) { std::unique_ptr<ShowRequest> owned(static_cast<ShowRequest *>(data)); }

// Shows the box without a nested loop, so the window and its close keep working.
void ShowDialog(const StatePtr &state, const std::shared_ptr<Box> &box) {
  GtkWidget *dialog = gtk_message_dialog_new(state->parent, GTK_DIALOG_DESTROY_WITH_PARENT, MessageTypeFor(box->type),
                                             GTK_BUTTONS_OK, "%s", box->text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), box->caption.c_str());
  box->dialog = dialog;
  auto req = std::make_unique<ShowRequest>(ShowRequest{state, box});
  g_signal_connect_data(dialog, "response", G_CALLBACK(OnResponse), req.release(), FreeRequest, GConnectFlags(0));
  gtk_widget_show(dialog);
}

gboolean ShowQueued(gpointer data) {
  auto *req = static_cast<ShowRequest *>(data);
  bool open;
  {
    std::lock_guard<std::mutex> lk(req->state->lock);
    open = req->state->open && !req->box->done;
  }
  if (open) ShowDialog(req->state, req->box);
  return G_SOURCE_REMOVE;
}

void FreeQueued(gpointer data) { std::unique_ptr<ShowRequest> owned(static_cast<ShowRequest *>(data)); }

int ShowAndWait(const StatePtr &state, const char *text, const char *caption, unsigned type) {
  auto box = std::make_shared<Box>();
  box->text = text ? text : "";
  box->caption = caption ? caption : "";
  box->type = type;
  {
    std::unique_lock<std::mutex> lk(state->lock);
    if (!state->open) {
      // The window has gone: the line the program writes without one.
      std::fprintf(stderr, "%s: %s\n", box->caption.c_str(), box->text.c_str());
      return IDOK;
    }
    state->boxes.push_back(box);
  }
  if (g_thread_self() == state->uiThread) {
    // On the UI thread itself the box is modal here.
    ShowDialog(state, box);
    gtk_dialog_run(GTK_DIALOG(box->dialog));
  } else {
    g_main_context_invoke_full(state->context, G_PRIORITY_DEFAULT, ShowQueued,
                               std::make_unique<ShowRequest>(ShowRequest{state, box}).release(), FreeQueued);
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
  StatePtr state = state_;
  PlatformSetMessageBoxHandler(
      [state](const char *text, const char *caption, unsigned type) { return ShowAndWait(state, text, caption, type); });
}

UiMessageBox::~UiMessageBox() {
  PlatformSetMessageBoxHandler({});
  std::list<std::shared_ptr<Box>> left;
  {
    std::lock_guard<std::mutex> lk(state_->lock);
    state_->open = false;
    left.swap(state_->boxes);
    for (auto &box : left) box->done = true;
    state_->changed.notify_all();
  }
  for (auto &box : left) {
    if (box->dialog) gtk_widget_destroy(box->dialog);
    box->dialog = nullptr;
  }
}
