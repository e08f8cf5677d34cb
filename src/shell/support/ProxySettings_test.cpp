// The proxy settings on a desktop that has none to open: no settings program
// of its own and GNOME's proxy settings not installed. Its own process, since
// GLib looks for installed settings once.
#include "ProxySettings.h"

#include <gtest/gtest.h>

#include "TestFolder.h"

namespace {

TEST(ProxySettingsTest, WithoutDesktopSettingsNorGnomesItShowsNothingAndGoesOn) {
  TestFolder empty;
  g_setenv("XDG_DATA_DIRS", empty.path().c_str(), TRUE);
  g_setenv("XDG_DATA_HOME", empty.path().c_str(), TRUE);
  g_unsetenv("GSETTINGS_SCHEMA_DIR");
  g_setenv("XDG_CURRENT_DESKTOP", "KDE", TRUE);
  g_setenv("PATH", empty.path().c_str(), TRUE);  // no settings program either
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  EXPECT_EQ(ProxySettings::open(nullptr), ProxySettings::Shown::kNothing);
  GList* windows = gtk_window_list_toplevels();
  EXPECT_EQ(windows, nullptr);
  g_list_free(windows);
}

}  // namespace
