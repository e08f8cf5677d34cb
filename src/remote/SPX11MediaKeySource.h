#pragma once

#include <X11/Xlib.h>

#include "SPMediaKeySource.h"

// The media keys through key grabs on the X root window: XF86AudioPlay,
// XF86AudioNext and XF86AudioPrev with any modifier, from a private
// connection. A grab swallows the key for every other client; another client
// already holding one of them (BadAccess) makes the keys unusable here.
class SPX11MediaKeySource : public SPMediaKeySource {
 public:
  ~SPX11MediaKeySource() override { close(); }

  bool open(KeyHandler handler) override;
  int fd() const override { return display_ ? ConnectionNumber(display_) : -1; }
  void dispatch() override;
  void setEnabled(bool enabled) override;
  void close() override;

 private:
  bool grab();
  void ungrab();
  int keyCodeOf(unsigned keycode) const;

  Display* display_ = nullptr;
  Window root_ = 0;
  KeyCode play_ = 0, next_ = 0, previous_ = 0;
  KeyHandler handler_;
};
