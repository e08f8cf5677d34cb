#include "SPX11PrivateDisplay.h"

#include <mutex>
#include <set>

namespace {

// The displays whose loss we handle ourselves. Xlib's I/O error handler is
// process-wide: ours stays silent for these and hands every other display to
// the handler installed before it (the toolkit's, or Xlib's default).
// Recursive: a connection that breaks while it is being closed reports its
// loss from inside the close, on the closing thread.
std::recursive_mutex privateDisplaysMutex;
std::set<Display*> privateDisplays;
XIOErrorHandler previousIOErrorHandler = nullptr;

int handleIOError(Display* display) {
  {
    std::lock_guard<std::recursive_mutex> lock(privateDisplaysMutex);
    if (privateDisplays.count(display)) return 0;  // the exit handler takes it from here
  }
  return previousIOErrorHandler ? previousIOErrorHandler(display) : 0;
}

// Installed at every open: a toolkit that connects later may have put its own
// process-wide handler in place of ours.
void installIOErrorHandler() {
  XIOErrorHandler current = XSetIOErrorHandler(handleIOError);
  if (current != handleIOError) previousIOErrorHandler = current;
}

}  // namespace

bool SPX11PrivateDisplay::open(LostHandler lost) {
  close();
  display_ = XOpenDisplay(nullptr);
  if (!display_) return false;
  lost_ = false;
  name_ = DisplayString(display_);
  lostHandler_ = std::move(lost);
  {
    std::lock_guard<std::recursive_mutex> lock(privateDisplaysMutex);
    privateDisplays.insert(display_);
    installIOErrorHandler();
  }
  // Called instead of exit() once the I/O error handler has returned; when it
  // returns, Xlib marks the display dead.
  XSetIOErrorExitHandler(display_, connectionLost, this);
  return true;
}

void SPX11PrivateDisplay::connectionLost(Display*, void* self) {
  auto* connection = static_cast<SPX11PrivateDisplay*>(self);
  if (connection->lost_) return;
  connection->lost_ = true;
  if (connection->lostHandler_) connection->lostHandler_();
}

void SPX11PrivateDisplay::close() {
  if (!display_) return;
  {
    // Forgotten only once closed (the close may still find it broken), and
    // before another connection may be given the same address.
    std::lock_guard<std::recursive_mutex> lock(privateDisplaysMutex);
    XCloseDisplay(display_);  // on a lost connection this only frees it
    privateDisplays.erase(display_);
  }
  display_ = nullptr;
  lostHandler_ = nullptr;
}
