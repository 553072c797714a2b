// Xlib's event queue and error conversion are only reachable through its internal header,
// kept to this file for its macros (min, max, Data...).
#include "app/x_window_gone.h"

#include <X11/Xlibint.h>

namespace {

using WireToError = Bool (*)(Display *, XErrorEvent *, xError *);

// The display's UI thread only: Xlib converts errors on the thread that reads them.
unsigned long gWindow = 0;
bool gGone = false;
WireToError gPrevious[256] = {};

// An error comes after every event the server sent before it, so a destroy that made a
// request fail is in the queue by then, unless it was already handed out.
bool DestroyNotifyQueued(Display *display, unsigned long window) {
  for (const _XQEvent *q = display->head; q; q = q->next)
    if (q->event.type == DestroyNotify && q->event.xdestroywindow.window == window) return true;
  return false;
}

// Xlib converts every error here before it calls the error handler: an XSetErrorHandler of
// ours would not see the errors that come while GDK has a trap of its own set, and GDK ends
// the process on those that are not its trap's.
Bool OnError(Display *display, XErrorEvent *error, xError *wire) {
  if (!gGone && gWindow && DestroyNotifyQueued(display, gWindow)) gGone = true;
  if (gGone) return False;  // dropped
  WireToError previous = gPrevious[wire->errorCode];
  return previous ? previous(display, error, wire) : True;
}

}  // namespace

void WatchForOutsideDestroy(Display *display, unsigned long window) {
  static bool installed = false;
  if (display && !installed) {
    for (int code = 1; code < 256; ++code) gPrevious[code] = XESetWireToError(display, code, OnError);
    installed = true;
  }
  gWindow = window;
}

void DropXErrors() { gGone = true; }
