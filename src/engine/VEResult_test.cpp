#include "VEResult.h"

#include <gtest/gtest.h>

#include <cstring>

#include "VETypes.h"

TEST(VEResult, CodesKeepTheNumbersCallersTest) {
  EXPECT_EQ(0, VE_OK);
  EXPECT_EQ(22, VE_ERR_FILE_EOF);
  EXPECT_EQ(23, VE_ERR_FILE_NOTFOUND);
  EXPECT_EQ(25, VE_ERR_FORMAT);
  EXPECT_EQ(33, VE_ERR_INTERNAL);
  EXPECT_EQ(36, VE_ERR_INVALID_HANDLE);
  EXPECT_EQ(38, VE_ERR_INVALID_POSITION);
  EXPECT_EQ(54, VE_ERR_NOTREADY);
  EXPECT_EQ(60, VE_ERR_OUTPUT_INIT);
  EXPECT_EQ(80, VE_ERR_UNSUPPORTED);
}

TEST(VEResult, EveryCodeHasItsOwnText) {
  const int codes[] = {VE_OK, VE_ERR_FILE_EOF, VE_ERR_FILE_NOTFOUND, VE_ERR_FORMAT, VE_ERR_INTERNAL,
                       VE_ERR_INVALID_HANDLE, VE_ERR_INVALID_POSITION, VE_ERR_NOTREADY,
                       VE_ERR_OUTPUT_INIT, VE_ERR_UNSUPPORTED, VE_ERR_INVALID_PARAM,
                       VE_ERR_UNINITIALIZED, VE_ERR_INITIALIZED, VE_ERR_OUTPUT_DRIVER,
                       VE_ERR_FILE_SYSTEM};
  const char* unknown = veResultText(-12345);
  ASSERT_NE(nullptr, unknown);
  for (int code : codes) {
    const char* text = veResultText(code);
    ASSERT_NE(nullptr, text);
    EXPECT_STRNE(unknown, text) << code;
    for (int other : codes) {
      if (other != code) {
        EXPECT_STRNE(veResultText(other), text) << code << " " << other;
      }
    }
  }
}

TEST(VEResult, OutputTypesHaveFixedNumbersAndNames) {
  EXPECT_EQ(0, VE_OUTPUTTYPE_AUTODETECT);
  EXPECT_STREQ("Default", veOutputTypeName(VE_OUTPUTTYPE_AUTODETECT));
  EXPECT_STREQ("PulseAudio", veOutputTypeName(VE_OUTPUTTYPE_PULSEAUDIO));
  EXPECT_STREQ("ALSA", veOutputTypeName(VE_OUTPUTTYPE_ALSA));
  EXPECT_STREQ("Unknown", veOutputTypeName(99));
}
