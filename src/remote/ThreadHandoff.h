#pragma once

#include <atomic>

// Data handed to another thread through GLib (a source attached to the main
// context of another thread) is ordered by GLib's own locking, which the
// thread sanitizer cannot see: GLib is not instrumented. These two calls
// state that order in a form it sees: publish after the data is filled in,
// receive on the other thread before the data is read.
inline std::atomic<unsigned>& threadHandoffCounter() {
  static std::atomic<unsigned> counter{0};
  return counter;
}
inline void publishToAnotherThread() {
  threadHandoffCounter().fetch_add(1, std::memory_order_release);
}
inline void receiveFromAnotherThread() {
  (void)threadHandoffCounter().load(std::memory_order_acquire);
}
