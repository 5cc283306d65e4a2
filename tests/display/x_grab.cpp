// Reads the X screen back (kept apart from the tests: Xlib's macros clash with GoogleTest's).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>

// The colour of the screen's centre as 0xRRGGBB, or -1 without X.
long ScreenCentre() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return -1;
  Display* x = XOpenDisplay(name);
  if (!x) return -1;
  Window root = DefaultRootWindow(x);
  XWindowAttributes a{};
  XGetWindowAttributes(x, root, &a);
  XImage* img = XGetImage(x, root, a.width / 2, a.height / 2, 1, 1, AllPlanes, ZPixmap);
  long v = -1;
  if (img) {
    v = long(XGetPixel(img, 0, 0) & 0xFFFFFF);
    XDestroyImage(img);
  }
  XCloseDisplay(x);
  return v;
}

