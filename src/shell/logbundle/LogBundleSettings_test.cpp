#include "LogBundleSettings.h"

#include <gtest/gtest.h>

#include "TestEnvironmentVariable.h"
#include "TestFolder.h"

// The bundle carries the preference file the platform's setting helper keeps
// (asked through VLSettingHelper, whatever platform helper is installed).
TEST(LogBundleSettingsTest, ThisUsersBundleCarriesThePlatformsPreferenceFile) {
  TestFolder config;
  TestEnvironmentVariable configHome("XDG_CONFIG_HOME", config.path().c_str());
  LogBundleSettings settings = LogBundleSettings::forThisUser("1.0.0", "uid");
  EXPECT_EQ(config.path() + "/velora-desktop/preferences", settings.preferencesFile);
}
