// The window's icon, drawn at the sizes the desktop asks for (big and small).
#pragma once

#include <gtk/gtk.h>

// A new list of GdkPixbuf icons, largest first; free with g_list_free_full(list, g_object_unref).
GList *AppIconList();
