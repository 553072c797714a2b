// Message boxes of other threads (the registry write warning) as GTK dialogs on the UI
// thread while the main window runs. The calling thread waits until the box is closed.
#pragma once

#include <gtk/gtk.h>

#include <memory>

class UiMessageBox {
 public:
  // Routes MessageBoxA to dialogs over parent. Construct and destroy on the UI thread.
  explicit UiMessageBox(GtkWindow *parent);
  // Closes boxes still open, releases their callers and restores the standard error line.
  ~UiMessageBox();
  UiMessageBox(const UiMessageBox &) = delete;
  UiMessageBox &operator=(const UiMessageBox &) = delete;

  struct State;

 private:
  std::shared_ptr<State> state_;
};
