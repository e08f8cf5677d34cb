#include "SPX11MediaKeySource.h"

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>

#include "SPX11ErrorTrap.h"
#include "SystemLog.h"

bool SPX11MediaKeySource::open(KeyHandler keys, StateHandler states) {
  close();
  // Lost inside an Xlib call on this thread; later calls on it do nothing.
  if (!connection_.open([this] { report(kUnusable); })) {
    return false;
  }
  display_ = connection_.get();
  root_ = DefaultRootWindow(display_);
  play_ = XKeysymToKeycode(display_, XF86XK_AudioPlay);
  next_ = XKeysymToKeycode(display_, XF86XK_AudioNext);
  previous_ = XKeysymToKeycode(display_, XF86XK_AudioPrev);
  Bool detectable = False;
  XkbSetDetectableAutoRepeat(display_, True, &detectable);
  keys_ = std::move(keys);
  states_ = std::move(states);
  setEnabled(true);
  return true;
}

int SPX11MediaKeySource::fd() const {
  return usable() ? ConnectionNumber(display_) : -1;
}

void SPX11MediaKeySource::report(State state) {
  if (reported_ && state == state_) return;
  reported_ = true;
  state_ = state;
  if (states_) states_(state);
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
  if (!usable()) return false;  // the connection broke meanwhile
  if (error == 0) return true;
  ungrab();  // the keys this client did get
  return false;
}

void SPX11MediaKeySource::ungrab() {
  down_.clear();  // a key down now is released elsewhere
  if (!usable()) return;
  SPX11ErrorTrap trap(display_);
  for (KeyCode code : {play_, next_, previous_}) {
    if (code) XUngrabKey(display_, code, AnyModifier, root_);
  }
  trap.sync();
}

void SPX11MediaKeySource::takeKeys() {
  if (!usable()) return;
  if (grab()) {
    stopRetrying();
    report(kKeysTaken);
    return;
  }
  if (!usable()) return;  // lost: already reported
  report(kKeysHeldElsewhere);
  startRetrying();
}

void SPX11MediaKeySource::startRetrying() {
  if (retryTimer_) return;
  retryTimer_ = g_timeout_source_new(retryMilliseconds_);
  g_source_set_callback(
      retryTimer_,
      [](gpointer self) -> gboolean {
        auto* source = static_cast<SPX11MediaKeySource*>(self);
        if (source->usable() && source->enabled_ && source->grab()) {
          source->report(kKeysTaken);
        } else if (source->usable() && source->enabled_) {
          return G_SOURCE_CONTINUE;
        }
        g_source_unref(source->retryTimer_);  // done: drop our reference, the return removes it
        source->retryTimer_ = nullptr;
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(retryTimer_, g_main_context_get_thread_default());
}

void SPX11MediaKeySource::stopRetrying() {
  if (!retryTimer_) return;
  g_source_destroy(retryTimer_);
  g_source_unref(retryTimer_);
  retryTimer_ = nullptr;
}

void SPX11MediaKeySource::setEnabled(bool enabled) {
  if (!usable()) return;
  enabled_ = enabled;
  if (enabled) {
    takeKeys();
    return;
  }
  stopRetrying();
  ungrab();
  if (usable()) report(kKeysGivenBack);
}

int SPX11MediaKeySource::keyCodeOf(unsigned keycode) const {
  if (keycode == 0) return 0;
  if (keycode == play_) return SPMediaKeyEvent::kKeyPlay;
  if (keycode == next_) return SPMediaKeyEvent::kKeyNext;
  if (keycode == previous_) return SPMediaKeyEvent::kKeyPrevious;
  return 0;
}

// Without detectable autorepeat the server sends each repeat as a release
// and a press with the same time; the press is taken off the queue here.
bool SPX11MediaKeySource::isAutorepeatRelease(const XEvent& release) {
  if (!XEventsQueued(display_, QueuedAfterReading)) return false;
  XEvent next;
  XPeekEvent(display_, &next);
  if (next.type != KeyPress || next.xkey.keycode != release.xkey.keycode || next.xkey.time != release.xkey.time) {
    return false;
  }
  XNextEvent(display_, &next);
  return true;
}

void SPX11MediaKeySource::handleKey(const XEvent& event) {
  unsigned keycode = event.xkey.keycode;
  int code = keyCodeOf(keycode);
  if (!code) return;
  bool press = event.type == KeyPress;
  if (press && !down_.insert(keycode).second) return;  // a repeat of a key held down
  if (!press) {
    if (isAutorepeatRelease(event)) return;
    down_.erase(keycode);
  }
  if (keys_) keys_(SPMediaKeyEvent::make(code, press));
}

void SPX11MediaKeySource::dispatch() {
  while (usable() && XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == KeyPress || event.type == KeyRelease) handleKey(event);
  }
}

void SPX11MediaKeySource::close() {
  stopRetrying();
  ungrab();
  connection_.close();
  display_ = nullptr;
  keys_ = nullptr;
  states_ = nullptr;
  enabled_ = false;
  reported_ = false;
  down_.clear();
}
