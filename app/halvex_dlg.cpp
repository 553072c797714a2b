// CHalvexDlg on GTK 3 and WebKitGTK: navigation policy on decide-policy, the document on
// load-changed, element focus from a user script, the key hook on the view's key events.
#include "app/halvex_dlg.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "app/app_icon.h"
#include "app/app_texts.h"
#include "app/policy.h"
#include "app/ui_message_box.h"
#include "app/x_window_gone.h"
#include "common/host_config.h"
#include "platform/shell_execute.h"
#include "server/databases.h"
#include "server/listener.h"

int FocusKind = 0;

namespace {

CHalvexDlg *gRunning = nullptr;  // the window inside DoModal (UI thread only)
bool gCloseRequested = false;    // a close request that came before the window ran

// The failure shown on the resource page kFailurePageId (UI thread only).
std::string gFailureText;

// "res://<program file>/<id>": one of the program's own resource pages.
std::string ResourcePageUrl(int id) {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n < 0) n = 0;
  exe[n] = '\0';
  char url[PATH_MAX + 32];
  std::snprintf(url, sizeof url, "%s://%s/%d", kResScheme, exe, id);
  return url;
}

std::string HtmlEscaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void ServeResource(WebKitURISchemeRequest *request, gpointer) {
  const char *path = webkit_uri_scheme_request_get_path(request);
  const char *slash = path ? std::strrchr(path, '/') : nullptr;
  const std::string id = slash ? slash + 1 : "";
  GBytes *page = nullptr;
  if (id == std::to_string(kLoadingPageId)) {
    page = g_bytes_new_static(kLoadingPage, sizeof kLoadingPage - 1);
  } else if (id == std::to_string(kFailurePageId)) {
    const std::string html = kFailurePageHead + HtmlEscaped(gFailureText) + kFailurePageTail;
    page = g_bytes_new(html.data(), html.size());
  } else {
    GError *error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such resource");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GInputStream *stream = g_memory_input_stream_new_from_bytes(page);
  webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(g_bytes_get_size(page)), "text/html");
  g_object_unref(stream);
  g_bytes_unref(page);
}

// The scheme belongs to the web context, which lives as long as the process.
void RegisterResScheme(WebKitWebContext *context) {
  static bool registered = false;
  if (registered) return;
  registered = true;
  webkit_web_context_register_uri_scheme(context, kResScheme, ServeResource, nullptr, nullptr);
}

// GTK connects to the session bus while the web view is built (WebKit again for its first
// page), and finding the bus can mean running dbus-launch and waiting for it. Looked up on
// a thread of its own, that wait runs alongside GTK's and WebKit's start-up; GTK then gets
// the same shared connection, which it keeps for the life of the process anyway.
std::atomic<GDBusConnection *> gSessionBus{nullptr};  // held for the process, as GTK's is

void LookUpSessionBus() {
  try {
    std::thread([] { gSessionBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr); }).detach();
  } catch (const std::system_error &) {
    // No thread: GTK finds the bus itself.
  }
}

// The smallest rectangle around every monitor.
GdkRectangle VirtualScreen(GtkWidget *window) {
  GdkDisplay *display = gtk_widget_get_display(window);
  GdkRectangle all = {0, 0, 0, 0};
  const int n = gdk_display_get_n_monitors(display);
  for (int i = 0; i < n; ++i) {
    GdkRectangle r;
    gdk_monitor_get_geometry(gdk_display_get_monitor(display, i), &r);
    if (i == 0)
      all = r;
    else
      gdk_rectangle_union(&all, &r, &all);
  }
  return all;
}

// The X connection is gone: nothing of GTK can run any more, and Xlib ends the process
// when this returns. The databases are closed first, as after a close.
int OnDisplayLost(Display *) {
  std::fprintf(stderr, "%s: lost the connection to the display\n", kProductName);
  CloseDatabases();
  // Only the program's own output: fflush(nullptr) would wait for the lock of a playback
  // file whose reader is blocked (a pipe or a stalled device).
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(1);
}

}  // namespace

CHalvexDlg::CHalvexDlg() = default;

CHalvexDlg::~CHalvexDlg() {
  if (gRunning == this) gRunning = nullptr;
  if (closeTimer_) g_source_remove(closeTimer_);
  if (closeScript_) {
    g_cancellable_cancel(closeScript_);
    g_object_unref(closeScript_);
  }
  messageBox_.reset();
  DestroyWindow();
  if (loop_) g_main_loop_unref(loop_);
}

void CHalvexDlg::RequestClose() {
  if (gRunning)
    gRunning->OnClose();
  else
    gCloseRequested = true;
}

int CHalvexDlg::DoModal() {
  // The window class the desktop file names; the command line is the program's own.
  g_set_prgname("marolin");
  g_set_application_name(kProductName);
  // The locale was taken at start, with numbers in the C convention; GTK would set all
  // of it again while the server's threads run.
  gtk_disable_setlocale();
  LookUpSessionBus();
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "%s: cannot open the display\n", kProductName);
    return -1;
  }
  if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) XSetIOErrorHandler(OnDisplayLost);
  if (!Create()) return -1;
  loop_ = g_main_loop_new(nullptr, FALSE);
  gRunning = this;
  OnInitDialog();
  if (gCloseRequested) {
    gCloseRequested = false;
    OnClose();
  }
  if (!ended_) g_main_loop_run(loop_);
  gRunning = nullptr;

  // The window goes as the modal loop ends, before the services are shut down.
  messageBox_.reset();
  DestroyWindow();
  return result_;
}

void CHalvexDlg::DestroyWindow() {
  if (!window_) return;
  g_signal_handlers_disconnect_by_data(window_, this);
  if (GdkWindow *gdk = gtk_widget_get_window(window_)) gdk_window_remove_filter(gdk, OnXEvent, this);
  // A window destroyed on the X server stays as it is: every request on it would be an X
  // error, which ends the process.
  if (!xWindowGone_) {
    WatchForOutsideDestroy(nullptr, 0);  // GTK's own destroy comes from inside
    gtk_widget_destroy(window_);
  }
  window_ = nullptr;
  view_ = nullptr;
}

bool CHalvexDlg::Create() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!window_) return false;
  GtkWindow *w = GTK_WINDOW(window_);
  gtk_window_set_title(w, kProductName);
  GList *icons = AppIconList();
  gtk_window_set_icon_list(w, icons);
  g_list_free_full(icons, g_object_unref);
  gtk_window_set_default_size(w, kWindowWidth, kWindowHeight);
  gtk_window_move(w, 0, 0);
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDeleteEvent), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(OnWindowState), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
  g_signal_connect(window_, "configure-event", G_CALLBACK(OnConfigure), this);

  WebKitWebContext *context = webkit_web_context_get_default();
  RegisterResScheme(context);

  WebKitUserContentManager *content = webkit_user_content_manager_new();
  WebKitUserScript *script = webkit_user_script_new(kPageEventScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, script);
  webkit_user_script_unref(script);
  WebKitUserStyleSheet *style = webkit_user_style_sheet_new(kNoScrollbarsStyle, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                            WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
  webkit_user_content_manager_add_style_sheet(content, style);
  webkit_user_style_sheet_unref(style);
  std::string detail = std::string("script-message-received::") + kFocusMessageName;
  g_signal_connect(content, detail.c_str(), G_CALLBACK(OnFocusMessage), this);
  webkit_user_content_manager_register_script_message_handler(content, kFocusMessageName);

  GtkWidget *view = webkit_web_view_new_with_user_content_manager(content);
  g_object_unref(content);  // the view holds it
  if (!view) return false;
  view_ = WEBKIT_WEB_VIEW(view);
  g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
  g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), this);
  g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), this);
  g_signal_connect(view, "key-press-event", G_CALLBACK(OnKey), this);
  g_signal_connect(view, "key-release-event", G_CALLBACK(OnKey), this);
  g_signal_connect(view, "script-dialog", G_CALLBACK(OnScriptDialog), nullptr);
  g_signal_connect(view, "authenticate", G_CALLBACK(OnAuthenticate), nullptr);
  g_signal_connect_after(view, "realize", G_CALLBACK(OnRealize), nullptr);
  gtk_container_add(GTK_CONTAINER(window_), view);

  messageBox_ = std::make_unique<UiMessageBox>(w);
  return true;
}

bool CHalvexDlg::OnInitDialog() {
  gtk_widget_show_all(window_);
  if (GdkWindow *gdk = gtk_widget_get_window(window_)) {
    gdk_window_add_filter(gdk, OnXEvent, this);
    if (GDK_IS_X11_WINDOW(gdk)) WatchForOutsideDestroy(GDK_WINDOW_XDISPLAY(gdk), GDK_WINDOW_XID(gdk));
  }
  gtk_widget_grab_focus(GTK_WIDGET(view_));
  // "Loading...." first; the start page once this process's own listener listens, and
  // never before: another program on the address would get the page's origin.
  Navigate(ResourcePageUrl(kLoadingPageId).c_str());
  SetListenerObserver(OnListenerChange);
  FollowListener();
  return true;
}

void CHalvexDlg::Navigate(const char *url) { webkit_web_view_load_uri(view_, url); }

void CHalvexDlg::FollowListener() {
  const ListenerStatus status = GetListenerStatus();
  if (status.state == ListenState::Listening) {
    if (shown_ == Shown::StartPage) return;
    shown_ = Shown::StartPage;
    Navigate(kStartUrl);
  } else if (status.state == ListenState::Failed) {
    // The failure on a page of its own, until the listener gets its address.
    if (shown_ == Shown::Failure && gFailureText == status.failure) return;
    shown_ = Shown::Failure;
    gFailureText = status.failure;
    Navigate(ResourcePageUrl(kFailurePageId).c_str());
  }
}

void CHalvexDlg::OnListenerChange() { g_idle_add(OnListenerChangeIdle, nullptr); }

gboolean CHalvexDlg::OnListenerChangeIdle(gpointer) {
  if (gRunning) gRunning->FollowListener();
  return G_SOURCE_REMOVE;
}

void CHalvexDlg::OnBeforeNavigate2(const char *url, bool *cancel) {
  if (!UrlStaysInBrowser(url)) {
    ShellExecuteA(window_, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
    *cancel = true;
    return;
  }
  int fullScreen = 0;
  if (ParseFullscreenFragment(url, &fullScreen)) {
    if (fullScreen)
      EnterFullScreen();
    else
      LeaveFullScreen();
  }
}

void CHalvexDlg::OnNavigateComplete2(const char *url) {
  haveDocument_ = true;
  if (!loadingPageShown_ && url && std::strncmp(url, "res:", 4) == 0) loadingPageShown_ = true;
}

void CHalvexDlg::OnElementFocusIn(const char *tagName) { FocusKind = FocusKindAfter(FocusKind, FocusEvent::In, tagName); }

void CHalvexDlg::OnElementFocusOut(const char *tagName) {
  FocusKind = FocusKindAfter(FocusKind, FocusEvent::Out, tagName);
}

bool CHalvexDlg::ShowContextMenu() { return true; }

bool CHalvexDlg::TranslateAccelerator(const GdkEventKey *event) {
  const KeyMessage msg = KeyMessageFor(event->type == GDK_KEY_PRESS, event->keyval, event->state);
  return KeyIsSwallowed(FocusKind, msg, IsReturnKey(event->keyval));
}

void CHalvexDlg::ShowNormal() {
  GtkWindow *w = GTK_WINDOW(window_);
  gtk_window_deiconify(w);
  gtk_window_unmaximize(w);
  gtk_widget_show(window_);
}

void CHalvexDlg::EnterFullScreen() {
  GtkWindow *w = GTK_WINDOW(window_);
  restorePending_ = false;
  // Showing a window normally gives back its normal rectangle at once; GTK's unmaximise
  // only asks the window manager, so a window the user maximised saves the rectangle it
  // last had before that. In full screen already, the full-screen one is saved.
  const bool userMaximised = maximized_ && !fullScreen_;
  ShowNormal();
  if (userMaximised) {
    saved_ = normal_;
  } else {
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(w, &x, &y);
    gtk_window_get_size(w, &width, &height);
    saved_ = {x, y, x + width, y + height};
  }
  fullScreen_ = true;
  haveSaved_ = true;
  const GdkRectangle screen = VirtualScreen(window_);
  gtk_window_move(w, screen.x, screen.y);
  gtk_window_resize(w, screen.width, screen.height);
  gtk_window_set_decorated(w, FALSE);
  gtk_window_maximize(w);
}

void CHalvexDlg::LeaveFullScreen() {
  fullScreen_ = false;
  gtk_window_set_decorated(GTK_WINDOW(window_), TRUE);
  ShowNormal();
  // Before the first switch to full screen nothing was saved: the window stays where it is.
  if (!haveSaved_) return;
  // The window manager puts a window back to its own idea of the size when it leaves the
  // maximised state, so the saved rectangle goes on after that.
  if (maximized_)
    restorePending_ = true;
  else
    MoveToSaved();
}

void CHalvexDlg::MoveToSaved() {
  GtkWindow *w = GTK_WINDOW(window_);
  const int width = saved_.right - saved_.left, height = saved_.bottom - saved_.top;
  gtk_window_move(w, saved_.left, saved_.top);
  gtk_window_resize(w, width, height);
  // GTK sends nothing when the request equals its last one (the full-screen size after a
  // second switch), while the window manager has meanwhile put back a size of its own.
  if (GdkWindow *gdk = gtk_widget_get_window(window_)) gdk_window_move_resize(gdk, saved_.left, saved_.top, width, height);
}

gboolean CHalvexDlg::OnWindowState(GtkWidget *, GdkEventWindowState *event, gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  dlg->maximized_ = (event->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
  if (!dlg->maximized_ && dlg->restorePending_) {
    dlg->restorePending_ = false;
    dlg->MoveToSaved();
  }
  return FALSE;
}

gboolean CHalvexDlg::OnConfigure(GtkWidget *window, GdkEventConfigure *event, gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  // The window manager reports a state before the configures that carry it out, so the
  // last configure while neither maximised nor full screen is the normal rectangle.
  if (!dlg->maximized_ && !dlg->fullScreen_) {
    int x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(window), &x, &y);
    dlg->normal_ = {x, y, x + event->width, y + event->height};
  }
  return FALSE;
}

GdkFilterReturn CHalvexDlg::OnXEvent(GdkXEvent *xevent, GdkEvent *, gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  const XEvent *e = static_cast<const XEvent *>(xevent);
  if (e->type != DestroyNotify || !dlg->window_) return GDK_FILTER_CONTINUE;
  GdkWindow *gdk = gtk_widget_get_window(dlg->window_);
  if (!gdk || e->xdestroywindow.window != GDK_WINDOW_XID(gdk)) return GDK_FILTER_CONTINUE;
  // Another X client destroyed the window. GTK is not told: it would tear the window and
  // the view down under the page and complain about it. The program ends as after a
  // close, without the page, whose window is gone.
  DropXErrors();
  dlg->xWindowGone_ = true;
  dlg->closing_ = true;
  dlg->EndDialog(1);
  return GDK_FILTER_REMOVE;
}

void CHalvexDlg::OnDestroy(GtkWidget *, gpointer self) {
  // Destroyed by GTK without a close (a destroy from elsewhere in the process): the same
  // way out as a close, without the page, whose view goes with the window.
  auto *dlg = static_cast<CHalvexDlg *>(self);
  dlg->messageBox_.reset();
  dlg->window_ = nullptr;
  dlg->view_ = nullptr;
  dlg->closing_ = true;
  dlg->EndDialog(1);
}

void CHalvexDlg::OnClose() {
  if (closing_) return;
  closing_ = true;
  // Without a document there is no page to ask.
  if (!haveDocument_ || !view_) {
    EndDialog(0);
    return;
  }
  closeScript_ = g_cancellable_new();
  webkit_web_view_evaluate_javascript(view_, kCloseScript, -1, nullptr, nullptr, closeScript_, OnCloseScriptDone,
                                      this);
  closeTimer_ = g_timeout_add(kCloseScriptWaitMs, OnCloseScriptTimeout, this);
}

void CHalvexDlg::OnCloseScriptDone(GObject *source, GAsyncResult *res, gpointer self) {
  GError *error = nullptr;
  JSCValue *value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error);
  if (value) g_object_unref(value);
  const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  if (error) g_error_free(error);
  if (cancelled) return;  // the window is gone
  // The script's result and failures do not matter; the window closes either way.
  static_cast<CHalvexDlg *>(self)->EndDialog(1);
}

gboolean CHalvexDlg::OnCloseScriptTimeout(gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  dlg->closeTimer_ = 0;
  // A page still busy in its close script would keep its process running after ours.
  if (dlg->view_) webkit_web_view_terminate_web_process(dlg->view_);
  dlg->EndDialog(1);
  return G_SOURCE_REMOVE;
}

void CHalvexDlg::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  if (closeTimer_) {
    g_source_remove(closeTimer_);
    closeTimer_ = 0;
  }
  if (closeScript_) g_cancellable_cancel(closeScript_);
  if (loop_) g_main_loop_quit(loop_);
}

gboolean CHalvexDlg::OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer self) {
  static_cast<CHalvexDlg *>(self)->OnClose();
  return TRUE;  // the window goes when the modal loop ends
}

gboolean CHalvexDlg::OnDecidePolicy(WebKitWebView *view, WebKitPolicyDecision *decision,
                                    WebKitPolicyDecisionType type, gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    // A response the view cannot show would become a silent download: drop it.
    auto *response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (!webkit_response_policy_decision_is_mime_type_supported(response)) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    return FALSE;
  }
  auto *nav = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitNavigationAction *action = webkit_navigation_policy_decision_get_navigation_action(nav);
  WebKitURIRequest *request = webkit_navigation_action_get_request(action);
  const char *url = webkit_uri_request_get_uri(request);
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // There is no second window: an external address goes to the desktop, any other
    // is shown here (through the usual policy).
    webkit_policy_decision_ignore(decision);
    if (!UrlStaysInBrowser(url))
      ShellExecuteA(dlg->window_, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
    else
      webkit_web_view_load_request(view, request);
    return TRUE;
  }
  bool cancel = false;
  dlg->OnBeforeNavigate2(url, &cancel);
  if (cancel)
    webkit_policy_decision_ignore(decision);
  else
    webkit_policy_decision_use(decision);
  return TRUE;
}

void CHalvexDlg::OnLoadChanged(WebKitWebView *view, WebKitLoadEvent event, gpointer self) {
  auto *dlg = static_cast<CHalvexDlg *>(self);
  switch (event) {
    case WEBKIT_LOAD_COMMITTED:
      dlg->OnNavigateComplete2(webkit_web_view_get_uri(view));
      break;
    default:
      break;
  }
}

gboolean CHalvexDlg::OnContextMenu(WebKitWebView *, WebKitContextMenu *, GdkEvent *, WebKitHitTestResult *,
                                   gpointer self) {
  return static_cast<CHalvexDlg *>(self)->ShowContextMenu();
}

gboolean CHalvexDlg::OnKey(GtkWidget *, GdkEventKey *event, gpointer self) {
  return static_cast<CHalvexDlg *>(self)->TranslateAccelerator(event);
}

gboolean CHalvexDlg::OnScriptDialog(WebKitWebView *, WebKitScriptDialog *dialog, gpointer) {
  // Silent: no alert, confirm or prompt is shown. A page asking before it is left may
  // not keep the window from moving on.
  if (webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
    webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
  return TRUE;
}

gboolean CHalvexDlg::OnAuthenticate(WebKitWebView *, WebKitAuthenticationRequest *request, gpointer) {
  webkit_authentication_request_cancel(request);
  return TRUE;
}

void CHalvexDlg::OnFocusMessage(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer self) {
  JSCValue *value = webkit_javascript_result_get_js_value(result);
  if (!value || !jsc_value_is_string(value)) return;
  char *text = jsc_value_to_string(value);
  auto *dlg = static_cast<CHalvexDlg *>(self);
  if (std::strncmp(text, "in ", 3) == 0)
    dlg->OnElementFocusIn(text + 3);
  else if (std::strncmp(text, "out ", 4) == 0)
    dlg->OnElementFocusOut(text + 4);
  g_free(text);
}

void CHalvexDlg::OnRealize(GtkWidget *view, gpointer) {
  // No drop target: files dragged onto the window are not opened.
  gtk_drag_dest_unset(view);
}
