#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>

// One private connection to the X server of $DISPLAY whose loss does not end
// the process. Xlib's own answer to a broken connection is to print
// "X connection to ... broken" and exit; for this connection the loss is
// reported to the handler instead, and every later Xlib call on it returns at
// once doing nothing. Connections that are not ours (the toolkit's) keep the
// handler that was installed before.
//
// Thread: the connection is used by one thread; the lost handler runs on that
// thread, from inside the Xlib call that found the connection broken. It may
// log and set flags, but must not call Xlib on this display.
class SPX11PrivateDisplay {
 public:
  using LostHandler = std::function<void()>;

  SPX11PrivateDisplay() = default;
  ~SPX11PrivateDisplay() { close(); }
  SPX11PrivateDisplay(const SPX11PrivateDisplay&) = delete;
  SPX11PrivateDisplay& operator=(const SPX11PrivateDisplay&) = delete;

  // Connects to $DISPLAY. False when there is no display to connect to.
  bool open(LostHandler lost);
  // Closes the connection (a lost one too).
  void close();

  Display* get() const { return display_; }
  // True once the server went away.
  bool isLost() const { return lost_; }
  // The display's name, for log lines.
  const std::string& name() const { return name_; }

 private:
  static void connectionLost(Display* display, void* self);

  Display* display_ = nullptr;
  bool lost_ = false;
  std::string name_;
  LostHandler lostHandler_;
};
