// What of the page's console reaches the log: a burst, then a steady rate,
// in lines and in bytes alike, on a clock of the test's.
#include "ConsoleLogLimit.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleLogLimitTest, LongLinesAreHeldBackByTheirBytesAndShortOnesByTheirCount) {
  double now = 0;
  ConsoleLogLimit limit([&now] { return now; });
  unsigned long heldBack = 0;
  // Lines as long as the log keeps: four of them, then one every 8 seconds.
  size_t passed = 0;
  for (int i = 0; i < 100; ++i) passed += limit.admit(16384, &heldBack) ? 1 : 0;
  EXPECT_EQ(passed, 4u);
  now += 7.9;
  EXPECT_FALSE(limit.admit(16384, &heldBack));
  now += 0.1;
  ASSERT_TRUE(limit.admit(16384, &heldBack));
  EXPECT_EQ(heldBack, 97u);

  // Short lines, once the allowances are whole again: a hundred, then five a second.
  now += 3600;
  passed = 0;
  for (int i = 0; i < 200; ++i) passed += limit.admit(100, &heldBack) ? 1 : 0;
  EXPECT_EQ(passed, 100u);
  now += 1;
  passed = 0;
  for (int i = 0; i < 200; ++i) passed += limit.admit(100, &heldBack) ? 1 : 0;
  EXPECT_EQ(passed, 5u);
}

}  // namespace
