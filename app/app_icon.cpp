// The window icon: a compass rose on a navy tile, drawn with cairo so no image file has
// to be found at run time.
#include "app/app_icon.h"

#include <algorithm>
#include <cmath>

static GdkPixbuf *DrawIcon(int size) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t *cr = cairo_create(surface);
  const double s = size, r = s * 0.18, pi = M_PI;
  // Rounded tile.
  cairo_new_sub_path(cr);
  cairo_arc(cr, s - r, r, r, -pi / 2, 0);
  cairo_arc(cr, s - r, s - r, r, 0, pi / 2);
  cairo_arc(cr, r, s - r, r, pi / 2, pi);
  cairo_arc(cr, r, r, r, pi, 3 * pi / 2);
  cairo_close_path(cr);
  cairo_set_source_rgb(cr, 0.06, 0.16, 0.34);
  cairo_fill(cr);
  // Ring and four-pointed star.
  const double c = s / 2, outer = s * 0.40, inner = s * 0.08;
  cairo_set_line_width(cr, std::max(1.0, s / 24));
  cairo_set_source_rgb(cr, 0.85, 0.91, 1.0);
  cairo_arc(cr, c, c, s * 0.30, 0, 2 * pi);
  cairo_stroke(cr);
  for (int i = 0; i < 4; ++i) {
    const double a = i * pi / 2 - pi / 2;
    cairo_move_to(cr, c + outer * std::cos(a), c + outer * std::sin(a));
    cairo_line_to(cr, c + inner * std::cos(a + pi / 4), c + inner * std::sin(a + pi / 4));
    cairo_line_to(cr, c, c);
    cairo_line_to(cr, c + inner * std::cos(a - pi / 4), c + inner * std::sin(a - pi / 4));
    cairo_close_path(cr);
    if (i == 0)
      cairo_set_source_rgb(cr, 0.93, 0.30, 0.24);  // north
    else
      cairo_set_source_rgb(cr, 0.95, 0.97, 1.0);
    cairo_fill(cr);
  }
  cairo_destroy(cr);
  GdkPixbuf *pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
  cairo_surface_destroy(surface);
  return pixbuf;
}

GList *AppIconList() {
  GList *list = nullptr;
  for (int size : {16, 32, 48, 64, 128})
    if (GdkPixbuf *p = DrawIcon(size)) list = g_list_prepend(list, p);
  return list;
}
