// A bare WebKitGTK window loading one URL: the peer of the program's start-up in
// bench/startup.sh. Same default size as the program's window, nothing else.
//   bench_bare_view URL
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

#include "app/app_texts.h"

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_bare_view URL\n");
    return 2;
  }
  gtk_init(nullptr, nullptr);
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), kWindowWidth, kWindowHeight);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  GtkWidget *view = webkit_web_view_new();
  gtk_container_add(GTK_CONTAINER(window), view);
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_main();
  return 0;
}
