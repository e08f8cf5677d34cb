// Logs a refusal that a page can repeat without end: a frame that asks for
// thousands of windows or navigations, each with an address of many
// kilobytes, would otherwise roll the log's history (the start, earlier
// faults) out of both its files within seconds. The 1st, 10th, 100th...
// refusal of one kind is logged as a warning, with how many there were so
// far and the address cut to kLongestAddress bytes.
//
// Threads: one thread (the main thread).
#pragma once

#include <cstddef>
#include <string>
#include <utility>

class RepeatedRefusalLog {
 public:
  // Enough to tell the page and the place an address leads to.
  static constexpr size_t kLongestAddress = 256;

  // what: the line's beginning, saying who refused what.
  explicit RepeatedRefusalLog(std::string what) : what_(std::move(what)) {}

  // Counts one refusal of the address, and logs it when its count is a power of ten.
  void refused(const std::string& address);
  // How many refusals were counted.
  unsigned long count() const { return count_; }

  // The address as a log line shows it: a longer one is cut to
  // kLongestAddress bytes and followed by "... (N bytes)".
  static std::string shortened(const std::string& address);

 private:
  const std::string what_;
  unsigned long count_ = 0;
  unsigned long nextLogged_ = 1;
};
