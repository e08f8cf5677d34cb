#include "VEResult.h"

#include <gtest/gtest.h>

#include <cstring>

#include "VETypes.h"

TEST(VEResult, EveryCodeHasItsOwnText) {
  const int codes[] = {VE_OK,
                       VE_ERR_FILE_EOF,
                       VE_ERR_FILE_NOTFOUND,
                       VE_ERR_FORMAT,
                       VE_ERR_INTERNAL,
                       VE_ERR_INVALID_HANDLE,
                       VE_ERR_INVALID_POSITION,
                       VE_ERR_NOTREADY,
                       VE_ERR_OUTPUT_INIT,
                       VE_ERR_UNSUPPORTED,
                       VE_ERR_INVALID_PARAM,
                       VE_ERR_UNINITIALIZED,
                       VE_ERR_INITIALIZED,
                       VE_ERR_OUTPUT_DRIVER,
                       VE_ERR_FILE_SYSTEM,
                       VE_ERR_OUTPUT_LOST};
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
