#pragma once

#include <X11/Xlib.h>

// Collects the X errors of one of our own connections instead of letting
// Xlib's default handler end the process; errors of every other connection
// (the toolkit's) go on to the handler that was installed before.
//
// One trap at a time in the process: do not nest them.
//
// Usage, on the thread that owns the display:
//   SPX11ErrorTrap trap(display);
//   XGrabKey(...);
//   int error = trap.sync();  // 0, or the X error code (BadAccess, ...)
class SPX11ErrorTrap {
 public:
  explicit SPX11ErrorTrap(Display* display);
  ~SPX11ErrorTrap();
  // Waits for the server to answer everything sent so far; the first error.
  int sync();

 private:
  Display* display_;
};
