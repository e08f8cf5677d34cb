#include "ConsoleLogLimit.h"

#include <glib.h>

#include <algorithm>

ConsoleLogLimit::ConsoleLogLimit(std::function<double()> clock)
    : clock_(clock ? std::move(clock) : [] { return static_cast<double>(g_get_monotonic_time()) / G_USEC_PER_SEC; }),
      last_(clock_()) {}

bool ConsoleLogLimit::admit(size_t bytes, unsigned long* heldBack) {
  double now = clock_();
  allowance_ = std::min(kBurst, allowance_ + (now - last_) * kPerSecond);
  byteAllowance_ = std::min(kBurstBytes, byteAllowance_ + (now - last_) * kBytesPerSecond);
  last_ = now;
  if (allowance_ < 1 || byteAllowance_ < static_cast<double>(bytes)) {
    ++heldBack_;
    return false;
  }
  allowance_ -= 1;
  byteAllowance_ -= static_cast<double>(bytes);
  *heldBack = heldBack_;
  heldBack_ = 0;
  return true;
}
