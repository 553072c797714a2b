// CHalvexDlg: the main window, one web view over the whole client area showing the chart
// page, with the link, full-screen, key, context-menu and close policies around it.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>

class UiMessageBox;

// What kind of element of the page has the focus: 0 none that is input-like, 1 input,
// select or button (or another tracked element that is not a textarea), 2 a textarea.
// Written by the focus handlers and read by the key hook, both on the UI thread.
extern int FocusKind;

class CHalvexDlg {
 public:
  CHalvexDlg();
  ~CHalvexDlg();
  CHalvexDlg(const CHalvexDlg &) = delete;
  CHalvexDlg &operator=(const CHalvexDlg &) = delete;

  // Creates the window and runs it on the calling (UI) thread until it closes. Returns 1
  // after a close, -1 when the window could not be created.
  int DoModal();

  // A close request from outside the window (SIGTERM, SIGINT): the same path as the
  // window manager's close. Before the window runs, the request waits for it.
  static void RequestClose();

 private:
  struct Rect {
    int left, top, right, bottom;
  };

  bool Create();
  bool OnInitDialog();
  void OnBeforeNavigate2(const char *url, bool *cancel);
  void OnNavigateComplete2(const char *url);
  void OnElementFocusIn(const char *tagName);
  void OnElementFocusOut(const char *tagName);
  bool ShowContextMenu();
  bool TranslateAccelerator(const GdkEventKey *event);
  void OnClose();
  void EndDialog(int result);

  void Navigate(const char *url);
  void ShowNormal();
  void EnterFullScreen();
  void LeaveFullScreen();
  void MoveToSaved();
  void DestroyWindow();
  // Shows what the listener has reached: the start page once it listens, the failure
  // page while its bind fails.
  void FollowListener();

  // GTK and WebKit signal entries.
  static gboolean OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer self);
  static gboolean OnWindowState(GtkWidget *, GdkEventWindowState *, gpointer self);
  static void OnDestroy(GtkWidget *, gpointer self);
  static GdkFilterReturn OnXEvent(GdkXEvent *, GdkEvent *, gpointer self);
  static gboolean OnConfigure(GtkWidget *, GdkEventConfigure *, gpointer self);
  static gboolean OnDecidePolicy(WebKitWebView *, WebKitPolicyDecision *, WebKitPolicyDecisionType, gpointer self);
  static void OnLoadChanged(WebKitWebView *, WebKitLoadEvent, gpointer self);
  static gboolean OnContextMenu(WebKitWebView *, WebKitContextMenu *, GdkEvent *, WebKitHitTestResult *, gpointer self);
  static gboolean OnKey(GtkWidget *, GdkEventKey *, gpointer self);
  static gboolean OnScriptDialog(WebKitWebView *, WebKitScriptDialog *, gpointer);
  static gboolean OnAuthenticate(WebKitWebView *, WebKitAuthenticationRequest *, gpointer);
  static void OnFocusMessage(WebKitUserContentManager *, WebKitJavascriptResult *, gpointer self);
  static void OnRealize(GtkWidget *, gpointer);
  static void OnListenerChange();  // any thread
  static gboolean OnListenerChangeIdle(gpointer);
  static void OnCloseScriptDone(GObject *, GAsyncResult *, gpointer self);
  static gboolean OnCloseScriptTimeout(gpointer self);

  GtkWidget *window_ = nullptr;
  WebKitWebView *view_ = nullptr;
  GMainLoop *loop_ = nullptr;
  GCancellable *closeScript_ = nullptr;
  guint closeTimer_ = 0;
  std::unique_ptr<UiMessageBox> messageBox_;

  Rect saved_{0, 0, 0, 0};
  bool haveSaved_ = false;
  bool maximized_ = false;        // as the window manager last reported
  bool restorePending_ = false;   // the saved rectangle waits for the end of maximised
  bool fullScreen_ = false;       // switched to full screen and not back
  Rect normal_{0, 0, 0, 0};       // the last rectangle neither maximised nor full screen
  // A document has been committed. It stays the page, with its close, until another one
  // commits: a load that shows nothing (a failure, a download) leaves it in place.
  bool haveDocument_ = false;
  bool loadingPageShown_ = false;
  enum class Shown { Loading, StartPage, Failure };
  Shown shown_ = Shown::Loading;  // what the window last asked for
  bool closing_ = false;
  bool xWindowGone_ = false;  // destroyed on the X server by another client
  bool ended_ = false;
  int result_ = 0;
};
