#include "SPX11FrontApplicationSource.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "GUnixFdWatch.h"
#include "SPX11ErrorTrap.h"

bool SPX11FrontApplicationSource::start(FrontHandler front, TerminatedHandler terminated) {
  stop();
  // A lost connection answers every later call with nothing; the watch ends
  // after the dispatch that found it lost.
  if (!connection_.open(nullptr)) return false;
  display_ = connection_.get();
  root_ = DefaultRootWindow(display_);
  activeWindowAtom_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
  pidAtom_ = XInternAtom(display_, "_NET_WM_PID", False);
  front_ = std::move(front);
  terminated_ = std::move(terminated);
  XSelectInput(display_, root_, PropertyChangeMask);
  XFlush(display_);
  GMainContext* context = g_main_context_get_thread_default();
  watch_ = attachFdWatch(context ? context : g_main_context_default(), ConnectionNumber(display_), readable, this);
  return true;
}

void SPX11FrontApplicationSource::stop() {
  if (watch_) {
    g_source_destroy(watch_);
    g_source_unref(watch_);
    watch_ = nullptr;
  }
  connection_.close();
  display_ = nullptr;
  windows_.clear();
}

gboolean SPX11FrontApplicationSource::readable(gint, GIOCondition, gpointer self) {
  auto* source = static_cast<SPX11FrontApplicationSource*>(self);
  source->dispatch();
  return source->connection_.isLost() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void SPX11FrontApplicationSource::dispatch() {
  while (display_ && !connection_.isLost() && XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == PropertyNotify && event.xproperty.window == root_ && event.xproperty.atom == activeWindowAtom_) {
      activeWindowChanged();
    } else if (event.type == DestroyNotify) {
      windowDestroyed(event.xdestroywindow.window);
    }
  }
}

void SPX11FrontApplicationSource::activeWindowChanged() {
  Window window = static_cast<Window>(readLongProperty(root_, activeWindowAtom_, XA_WINDOW));
  if (!window) return;

  Application application;
  {
    SPX11ErrorTrap trap(display_);  // the window may already be gone
    application.pid = pidOf(window);
    application.className = classOf(window);
    XSelectInput(display_, window, StructureNotifyMask);  // to hear of its end
    if (trap.sync() != 0 || connection_.isLost()) return;
  }
  if (application.pid > 0) windows_[window] = application.pid;
  if (front_) front_(application);
}

void SPX11FrontApplicationSource::windowDestroyed(Window window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  pid_t pid = it->second;
  windows_.erase(it);
  for (const auto& entry : windows_) {
    if (entry.second == pid) return;  // it still has a window
  }
  if (terminated_) terminated_(pid);
}

pid_t SPX11FrontApplicationSource::pidOf(Window window) {
  return static_cast<pid_t>(readLongProperty(window, pidAtom_, XA_CARDINAL));
}

unsigned long SPX11FrontApplicationSource::readLongProperty(Window window, Atom property, Atom expectedType) {
  Atom type;
  int format;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  unsigned long value = 0;
  if (XGetWindowProperty(display_, window, property, 0, 1, False, expectedType, &type, &format, &count, &after,
                         &data) == Success &&
      data && count == 1 && format == 32) {
    value = *reinterpret_cast<unsigned long*>(data);  // 32-bit items arrive as longs
  }
  if (data) XFree(data);
  return value;
}

std::string SPX11FrontApplicationSource::classOf(Window window) {
  XClassHint hint{nullptr, nullptr};
  if (!XGetClassHint(display_, window, &hint)) return "";
  std::string names = std::string(hint.res_name ? hint.res_name : "") + "\n" + (hint.res_class ? hint.res_class : "");
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return names;
}
