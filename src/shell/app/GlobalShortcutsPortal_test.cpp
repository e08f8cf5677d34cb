// The front key through a desktop portal on the test's session bus: the
// shortcut is bound with its trigger, and the portal's activation presents
// the window with the activation's time. Without a portal the caller hears so.
#include "GlobalShortcutsPortal.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "FakeGlobalShortcutsPortal.h"
#include "ShellTestServer.h"

namespace {

TEST(GlobalShortcutsPortalTest, WithoutAPortalTheCallerIsTold) {
  gtk_init(nullptr, nullptr);
  std::vector<std::string> reasons;
  GlobalShortcutsPortal portal([](guint32) { ADD_FAILURE() << "activated"; },
                               [&reasons](const std::string& reason) { reasons.push_back(reason); });
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return !reasons.empty(); }));
  EXPECT_FALSE(portal.isBound());
  EXPECT_EQ(reasons.size(), 1u);
}

TEST(GlobalShortcutsPortalTest, APortalsActivationPresentsTheWindowWithItsTime) {
  gtk_init(nullptr, nullptr);
  FakeGlobalShortcutsPortal desktop;
  ASSERT_TRUE(desktop.owned());
  GtkWindow* window = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  std::vector<guint32> times;
  GlobalShortcutsPortal portal(
      [&](guint32 time) {
        times.push_back(time);
        gtk_window_present_with_time(window, time);
      },
      [](const std::string& reason) { ADD_FAILURE() << reason; });
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return portal.isBound(); }));
  EXPECT_EQ(desktop.bound(), std::vector<std::string>{"front=CTRL+ALT+LOGO+q"});
  // Another application's shortcut is not ours.
  desktop.activate("other", 1);
  desktop.activate("front", 123456);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return !times.empty(); }));
  EXPECT_EQ(times, std::vector<guint32>{123456});
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window)));
  gtk_widget_destroy(GTK_WIDGET(window));
}

}  // namespace
