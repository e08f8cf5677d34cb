#pragma once

#include <X11/Xlib.h>

#include <set>

#include <glib.h>

#include "SPMediaKeySource.h"
#include "SPX11PrivateDisplay.h"

// The media keys through key grabs on the X root window: XF86AudioPlay,
// XF86AudioNext and XF86AudioPrev with any modifier, from a private
// connection. A grab swallows the key for every other client. While another
// client holds one of them (BadAccess) the grab is tried again every retry
// interval, so the keys come to us once it lets them go.
//
// A held key is one press: the server's autorepeat is made detectable (a
// repeat is a press without a release) and repeated presses are dropped; on a
// server without that, a release followed at once by a press with the same
// time is taken as a repeat as well.
class SPX11MediaKeySource : public SPMediaKeySource {
 public:
  static const unsigned kDefaultRetryMilliseconds = 2000;

  explicit SPX11MediaKeySource(unsigned retryMilliseconds = kDefaultRetryMilliseconds)
      : retryMilliseconds_(retryMilliseconds) {}
  ~SPX11MediaKeySource() override { close(); }

  // False only when there is no display; keys another client holds are
  // reported (kKeysHeldElsewhere) and tried again.
  bool open(KeyHandler keys, StateHandler states) override;
  int fd() const override;
  void dispatch() override;
  void setEnabled(bool enabled) override;
  void close() override;

 private:
  bool grab();
  void ungrab();
  void takeKeys();
  void startRetrying();
  void stopRetrying();
  void report(State state);
  bool isAutorepeatRelease(const XEvent& release);
  void handleKey(const XEvent& event);
  int keyCodeOf(unsigned keycode) const;
  // Open and not lost: worth calling Xlib on.
  bool usable() const { return display_ && !connection_.isLost(); }

  SPX11PrivateDisplay connection_;
  Display* display_ = nullptr;  // connection_'s, while open
  Window root_ = 0;
  KeyCode play_ = 0, next_ = 0, previous_ = 0;
  KeyHandler keys_;
  StateHandler states_;
  bool enabled_ = false;
  bool reported_ = false;
  State state_ = kKeysGivenBack;
  std::set<unsigned> down_;  // keycodes pressed and not yet released
  unsigned retryMilliseconds_;
  GSource* retryTimer_ = nullptr;
};
