// The shell's "open" verb on the desktop's default handler.
#include "platform/shell_execute.h"

#include <gio/gio.h>

#include <cstring>

static void LaunchDone(GObject *, GAsyncResult *res, gpointer uri) {
  // A failure is not reported to the caller; it is said once on standard error, as the
  // program's other failures are.
  GError *error = nullptr;
  if (!g_app_info_launch_default_for_uri_finish(res, &error) && error) {
    g_printerr("Marolin: cannot open %s: %s\n", static_cast<const char *>(uri), error->message);
    g_error_free(error);
  }
  g_free(uri);
}

long ShellExecuteA(void *, const char *verb, const char *file, const char *, const char *, int) {
  if (!verb || std::strcmp(verb, "open") != 0 || !file || !*file) return SE_ERR_NOASSOC;
  // Asynchronous, so a handler that is slow to answer never blocks the caller's loop.
  g_app_info_launch_default_for_uri_async(file, nullptr, nullptr, LaunchDone, g_strdup(file));
  return 42;
}
