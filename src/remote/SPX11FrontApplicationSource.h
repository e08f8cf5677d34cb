#pragma once

#include <X11/Xlib.h>

#include <map>

#include <glib.h>

#include "SPFrontApplicationSource.h"
#include "SPX11PrivateDisplay.h"

// The front application from the root window's _NET_ACTIVE_WINDOW (set by
// the window manager), with the window's _NET_WM_PID and WM_CLASS; an
// application ends for us when the windows we saw it bring to the front are
// all destroyed. A private X connection, watched on the starting thread's
// main context. A server that goes away ends the watching, not the process.
class SPX11FrontApplicationSource : public SPFrontApplicationSource {
 public:
  ~SPX11FrontApplicationSource() override { stop(); }
  bool start(FrontHandler front, TerminatedHandler terminated) override;
  void stop() override;

 private:
  static gboolean readable(gint fd, GIOCondition condition, gpointer self);
  void dispatch();
  void activeWindowChanged();
  void windowDestroyed(Window window);
  pid_t pidOf(Window window);
  // A property of one 32-bit item of the given type; 0 when absent.
  unsigned long readLongProperty(Window window, Atom property, Atom expectedType);
  std::string classOf(Window window);

  SPX11PrivateDisplay connection_;
  Display* display_ = nullptr;  // connection_'s, while open
  Window root_ = 0;
  Atom activeWindowAtom_ = 0;
  Atom pidAtom_ = 0;
  GSource* watch_ = nullptr;
  FrontHandler front_;
  TerminatedHandler terminated_;
  std::map<Window, pid_t> windows_;  // windows seen in front, by their process
};
