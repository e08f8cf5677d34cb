#pragma once

#include <functional>

#include "SPMediaKeyEvent.h"

// The platform's hold on the keyboard's play, next and previous keys, used on
// the tap thread only: while enabled the keys are taken from every other
// application and reported here; while disabled they reach the system.
class SPMediaKeySource {
 public:
  using KeyHandler = std::function<void(const SPMediaKeyEvent&)>;

  virtual ~SPMediaKeySource() = default;

  // Connects and takes the keys. False when the keys cannot be taken (no
  // display, or another application holds them); nothing is left open then.
  virtual bool open(KeyHandler handler) = 0;
  // A descriptor that becomes readable when events wait; dispatch them.
  virtual int fd() const = 0;
  virtual void dispatch() = 0;
  // Takes (true) or gives back (false) the keys.
  virtual void setEnabled(bool enabled) = 0;
  virtual void close() = 0;
};
