#pragma once

#include <cstdint>

// Wakes a thread that waits for work: any thread signals, the one waiting
// thread returns from its wait. Signals are not counted: several signals
// before a wait end that one wait; a signal given while nobody waits ends the
// next wait at once, so none is lost between a look at the work and the wait.
//
// Made by VLPlatformFactory::createWakeEvent; owned by the caller.
class VLWakeEvent {
 public:
  virtual ~VLWakeEvent() {}

  // Marks the event signalled. Never blocks; any thread.
  virtual void signal() = 0;

  // Returns true, with the signal taken, once the event is signalled, or
  // false after `milliseconds` without a signal. One thread at a time.
  virtual bool wait(uint64_t milliseconds) = 0;

  // A descriptor that polls readable while the event is signalled, for a
  // thread that waits on sockets and on the event in one poll (-1 when the
  // platform has none). After such a poll, take() clears the signal.
  virtual int getDescriptor() = 0;

  // Clears the signal without waiting; true when there was one.
  virtual bool take() = 0;
};
