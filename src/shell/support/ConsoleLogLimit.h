// Bounds how many of the page's console messages reach the application's log:
// a page that logs without end would roll the log's history (the start,
// earlier faults) out of both files. A burst of kBurst messages passes, then
// kPerSecond on average; what is held back is counted, for the next message
// that passes to say.
//
// Threads: one thread (the main thread).
#pragma once

#include <functional>

class ConsoleLogLimit {
 public:
  static constexpr double kBurst = 100;
  static constexpr double kPerSecond = 5;

  // clock: seconds from any fixed point (monotonic time by default).
  explicit ConsoleLogLimit(std::function<double()> clock = nullptr);

  // True when the message may be logged; then *heldBack holds how many were
  // not since the last one that was.
  bool admit(unsigned long* heldBack);

 private:
  std::function<double()> clock_;
  double allowance_ = kBurst;
  double last_;
  unsigned long heldBack_ = 0;
};
