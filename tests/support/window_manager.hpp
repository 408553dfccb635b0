// What a window manager sends when the player clicks a window's close button: a WM_DELETE_WINDOW client
// message. Include this header last: Xlib's macros (None, Bool, Status) would break other headers.
#pragma once

#include <memory>

#include <X11/Xlib.h>

namespace testing_support {

// Asks `window` on the current DISPLAY to close, as its close button would; false without an X connection.
inline bool press_close_button(long window) {
  const std::unique_ptr<Display, decltype(&XCloseDisplay)> x(XOpenDisplay(nullptr), &XCloseDisplay);
  if (!x) return false;
  XEvent close{};
  close.xclient = {
      ClientMessage, 0, True, x.get(), Window(window), XInternAtom(x.get(), "WM_PROTOCOLS", False), 32, {}};
  close.xclient.data.l[0] = long(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
  XSendEvent(x.get(), close.xclient.window, False, NoEventMask, &close);
  XFlush(x.get());
  return true;
}

}  // namespace testing_support
