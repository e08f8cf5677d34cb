#pragma once

#include <chrono>
#include <vector>

// What every benchmark measures with: one monotonic clock, the time since a
// start, and the median of repeated runs. Built into every benchmark program
// (velora_bench in bench/CMakeLists.txt).

typedef std::chrono::steady_clock Clock;

// Seconds (milliseconds) from `start` to now, with the clock's resolution.
double secondsSince(Clock::time_point start);
double millisecondsSince(Clock::time_point start);

// The middle value (of an even count, the upper of the two middle ones); 0 for
// no values.
double median(std::vector<double> values);
