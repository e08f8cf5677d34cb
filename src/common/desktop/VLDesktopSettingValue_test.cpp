#include "VLDesktopSettingValue.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(DesktopSettingValue, IntegersMustBeWholeAndInRange) {
  long value = 42;
  EXPECT_TRUE(VLDesktopSettingValue::parseInteger("7", 1, 10, &value));
  EXPECT_EQ(7, value);
  EXPECT_TRUE(VLDesktopSettingValue::parseInteger(" -1 ", -1, 10, &value));
  EXPECT_EQ(-1, value);
  EXPECT_TRUE(VLDesktopSettingValue::parseInteger("+10", 1, 10, &value));
  EXPECT_EQ(10, value);

  value = 42;
  for (const char* bad : {"", " ", "abc", "12abc", "1.5", "0x10", "11", "-2", "99999999999999999999999", "--1"})
    EXPECT_FALSE(VLDesktopSettingValue::parseInteger(bad, -1, 10, &value)) << "'" << bad << "'";
  EXPECT_FALSE(VLDesktopSettingValue::parseInteger("0", 1, 10, &value));
  EXPECT_FALSE(VLDesktopSettingValue::parseInteger(std::string("5\0", 2), 1, 10, &value));
  EXPECT_EQ(42, value) << "a refused text leaves the output alone";
}

TEST(DesktopSettingValue, OutputDeviceIdsAreIntColonUnsigned) {
  for (const char* good : {"0:0", "4:123456", "-1:4294967295", "10:0"})
    EXPECT_TRUE(VLDesktopSettingValue::isOutputDeviceId(good)) << good;
  for (const char* bad :
       {"", "0", ":0", "0:", "a:1", "1:b", "1:-1", "1:4294967296", "1:2:3", " 1:2", "1:2 ", "99999999999:1", "1: 2"})
    EXPECT_FALSE(VLDesktopSettingValue::isOutputDeviceId(bad)) << "'" << bad << "'";
}

TEST(DesktopSettingValue, EntityIdsClampInsteadOfOverflowing) {
  EXPECT_EQ(12345, VLDesktopSettingValue::entityIdToInt("12345"));
  EXPECT_EQ(12, VLDesktopSettingValue::entityIdToInt("12abc"));
  EXPECT_EQ(-7, VLDesktopSettingValue::entityIdToInt("  -7"));
  EXPECT_EQ(0, VLDesktopSettingValue::entityIdToInt("abc"));
  EXPECT_EQ(0, VLDesktopSettingValue::entityIdToInt(""));
  EXPECT_EQ(INT_MAX, VLDesktopSettingValue::entityIdToInt("2147483648"));
  EXPECT_EQ(INT_MAX, VLDesktopSettingValue::entityIdToInt("99999999999999999999999999"));
  EXPECT_EQ(INT_MIN, VLDesktopSettingValue::entityIdToInt("-99999999999999999999999999"));
}

}  // namespace
