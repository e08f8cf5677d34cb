// Bounds how much of the page's console reaches the application's log: a
// page that logs without end would roll the log's history (the start,
// earlier faults) out of both files. A burst of kBurst messages or
// kBurstBytes bytes passes, then kPerSecond messages and kBytesPerSecond
// bytes a second on average: long lines are held back by their bytes as
// short ones by their count. What is held back is counted, for the next
// message that passes to say.
//
// Threads: one thread (the main thread).
#pragma once

#include <cstddef>
#include <functional>

class ConsoleLogLimit {
 public:
  static constexpr double kBurst = 100;
  static constexpr double kPerSecond = 5;
  // The log keeps about 2 MB in its two files: a flood of lines as long as
  // it keeps takes a quarter of an hour to fill them.
  static constexpr double kBurstBytes = 64 * 1024;
  static constexpr double kBytesPerSecond = 2 * 1024;

  // clock: seconds from any fixed point (monotonic time by default).
  explicit ConsoleLogLimit(std::function<double()> clock = nullptr);

  // True when a message of that many bytes may be logged; then *heldBack
  // holds how many were not since the last one that was.
  bool admit(size_t bytes, unsigned long* heldBack);

 private:
  std::function<double()> clock_;
  double allowance_ = kBurst;
  double byteAllowance_ = kBurstBytes;
  double last_;
  unsigned long heldBack_ = 0;
};
