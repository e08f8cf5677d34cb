#pragma once

#include <functional>

// One-shot timers of the remote (hold simulation, automatic recovery), so
// that tests can run them on a clock of their own.
//
// Thread: the thread that runs the remote.
class HIDRemoteTimers {
 public:
  virtual ~HIDRemoteTimers() = default;
  // Calls fired once, milliseconds from now. Returns a non-zero id.
  virtual unsigned start(unsigned milliseconds, std::function<void()> fired) = 0;
  // Forgets a pending timer; ids already fired or cancelled are ignored.
  virtual void cancel(unsigned id) = 0;
};
