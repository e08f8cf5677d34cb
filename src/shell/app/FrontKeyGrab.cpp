#include "FrontKeyGrab.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include "ShellTrace.h"

namespace {

constexpr unsigned kModifiers = ControlMask | Mod1Mask | Mod4Mask;
// Num Lock and Caps Lock do not count: the key is grabbed under each of them.
constexpr unsigned kIgnored[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

}  // namespace

FrontKeyGrab::FrontKeyGrab(std::function<void(guint32)> front) : front_(std::move(front)) {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) {
    shellTrace("FrontKeyGrab::FrontKeyGrab", "no X11 display: no global key");
    return;
  }
  root_ = gdk_get_default_root_window();
  keycode_ = XKeysymToKeycode(GDK_DISPLAY_XDISPLAY(display), XK_q);
  if (keycode_ == 0) return;
  grab(true);
  gdk_window_add_filter(root_, onEvent, this);
}

FrontKeyGrab::~FrontKeyGrab() {
  if (root_ == nullptr || keycode_ == 0) return;
  gdk_window_remove_filter(root_, onEvent, this);
  if (grabbed_) grab(false);
}

void FrontKeyGrab::grab(bool on) {
  GdkDisplay* display = gdk_window_get_display(root_);
  Display* xdisplay = GDK_DISPLAY_XDISPLAY(display);
  Window window = GDK_WINDOW_XID(root_);
  gdk_x11_display_error_trap_push(display);
  for (unsigned ignored : kIgnored) {
    if (on) {
      XGrabKey(xdisplay, keycode_, kModifiers | ignored, window, False, GrabModeAsync, GrabModeAsync);
    } else {
      XUngrabKey(xdisplay, keycode_, kModifiers | ignored, window);
    }
  }
  // Another application holding the key is no failure of ours.
  if (gdk_x11_display_error_trap_pop(display) != 0) {
    shellTrace("FrontKeyGrab::grab", "the key is taken by another application");
    grabbed_ = false;
  } else {
    grabbed_ = on;
  }
}

GdkFilterReturn FrontKeyGrab::onEvent(GdkXEvent* xevent, GdkEvent*, gpointer data) {
  auto* self = static_cast<FrontKeyGrab*>(data);
  auto* event = static_cast<XEvent*>(xevent);
  if (event->type != KeyPress || static_cast<int>(event->xkey.keycode) != self->keycode_) return GDK_FILTER_CONTINUE;
  unsigned state = event->xkey.state & ~(LockMask | Mod2Mask);
  if (state != kModifiers) return GDK_FILTER_CONTINUE;
  if (self->front_) self->front_(static_cast<guint32>(event->xkey.time));
  return GDK_FILTER_REMOVE;
}
