// X errors after another client destroyed the program's window.
#pragma once

typedef struct _XDisplay Display;

// From the DestroyNotify of `window` on, X errors on `display` are dropped before any
// handler sees them: requests still on their way to the dead window, and to what was made
// from it, fail, and GDK would report each and end the process. The DestroyNotify counts
// as soon as Xlib has read it, before GDK hands it out. A window of 0 ends the watch.
void WatchForOutsideDestroy(Display *display, unsigned long window);

// The DestroyNotify has been handed out: errors are dropped from here on.
void DropXErrors();
