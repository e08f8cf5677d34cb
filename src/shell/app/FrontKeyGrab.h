// Brings the application to the front on Control-Alt-Super-q pressed in any
// application: an X11 grab of that key on the root window (the stand-in for
// the global key monitor). With Shift or any other modifier it does nothing.
// Without an X11 display (Wayland) there is no grab (GlobalShortcutsPortal
// serves there).
//
// Threads: main thread.
#pragma once

#include <gtk/gtk.h>

#include <functional>

class FrontKeyGrab {
 public:
  // front: what bringing the application to the front does, given the key
  // event's time.
  explicit FrontKeyGrab(std::function<void(guint32 time)> front);
  ~FrontKeyGrab();
  FrontKeyGrab(const FrontKeyGrab&) = delete;
  FrontKeyGrab& operator=(const FrontKeyGrab&) = delete;

  bool isGrabbed() const { return grabbed_; }

 private:
  static GdkFilterReturn onEvent(GdkXEvent* xevent, GdkEvent* event, gpointer self);
  void grab(bool on);

  std::function<void(guint32)> front_;
  GdkWindow* root_ = nullptr;
  int keycode_ = 0;
  bool grabbed_ = false;
};
