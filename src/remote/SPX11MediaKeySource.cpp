#include "SPX11MediaKeySource.h"

#include <X11/XF86keysym.h>

#include "SPX11ErrorTrap.h"
#include "SystemLog.h"

bool SPX11MediaKeySource::open(KeyHandler handler) {
  close();
  display_ = XOpenDisplay(nullptr);
  if (!display_) return false;
  root_ = DefaultRootWindow(display_);
  play_ = XKeysymToKeycode(display_, XF86XK_AudioPlay);
  next_ = XKeysymToKeycode(display_, XF86XK_AudioNext);
  previous_ = XKeysymToKeycode(display_, XF86XK_AudioPrev);
  handler_ = std::move(handler);
  if (!grab()) {
    writeSystemLog("SPX11MediaKeySource::open", "Media keys are held by another application");
    close();
    return false;
  }
  return true;
}

bool SPX11MediaKeySource::grab() {
  int error;
  {
    SPX11ErrorTrap trap(display_);
    for (KeyCode code : {play_, next_, previous_}) {
      if (code) XGrabKey(display_, code, AnyModifier, root_, False, GrabModeAsync, GrabModeAsync);
    }
    error = trap.sync();
  }
  if (error == 0) return true;
  ungrab();  // the keys this client did get
  return false;
}

void SPX11MediaKeySource::ungrab() {
  SPX11ErrorTrap trap(display_);
  for (KeyCode code : {play_, next_, previous_}) {
    if (code) XUngrabKey(display_, code, AnyModifier, root_);
  }
  trap.sync();
}

void SPX11MediaKeySource::setEnabled(bool enabled) {
  if (!display_) return;
  if (enabled) grab();
  else ungrab();
}

int SPX11MediaKeySource::keyCodeOf(unsigned keycode) const {
  if (keycode == 0) return 0;
  if (keycode == play_) return SPMediaKeyEvent::kKeyPlay;
  if (keycode == next_) return SPMediaKeyEvent::kKeyNext;
  if (keycode == previous_) return SPMediaKeyEvent::kKeyPrevious;
  return 0;
}

void SPX11MediaKeySource::dispatch() {
  if (!display_) return;
  while (XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type != KeyPress && event.type != KeyRelease) continue;
    int code = keyCodeOf(event.xkey.keycode);
    if (code && handler_) handler_(SPMediaKeyEvent::make(code, event.type == KeyPress));
  }
}

void SPX11MediaKeySource::close() {
  if (!display_) return;
  ungrab();
  XCloseDisplay(display_);
  display_ = nullptr;
  handler_ = nullptr;
}
