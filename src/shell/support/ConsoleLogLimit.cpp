#include "ConsoleLogLimit.h"

#include <glib.h>

#include <algorithm>

ConsoleLogLimit::ConsoleLogLimit(std::function<double()> clock)
    : clock_(clock ? std::move(clock) : [] { return static_cast<double>(g_get_monotonic_time()) / G_USEC_PER_SEC; }),
      last_(clock_()) {}

bool ConsoleLogLimit::admit(unsigned long* heldBack) {
  double now = clock_();
  allowance_ = std::min(kBurst, allowance_ + (now - last_) * kPerSecond);
  last_ = now;
  if (allowance_ < 1) {
    ++heldBack_;
    return false;
  }
  allowance_ -= 1;
  *heldBack = heldBack_;
  heldBack_ = 0;
  return true;
}
