// The front key on a real X server: Control-Alt-Super-q from anywhere, as
// xdotool types it, and nothing for the same keys with Shift.
#include "FrontKeyGrab.h"

#include <gtest/gtest.h>

#include "ShellTestServer.h"

namespace {

bool type(const char* keys) {
  std::string command = std::string("xdotool key --clearmodifiers ") + keys;
  return system(command.c_str()) == 0;
}

TEST(FrontKeyGrabTest, ControlAltSuperQBringsTheApplicationToTheFront) {
  gtk_init(nullptr, nullptr);
  int fronts = 0;
  FrontKeyGrab grab([&fronts](guint32) { ++fronts; });
  ASSERT_TRUE(grab.isGrabbed());
  ASSERT_TRUE(type("ctrl+alt+super+q"));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return fronts == 1; }));
  // With Shift too: not the key. The next right one shows it was let through.
  ASSERT_TRUE(type("ctrl+alt+super+shift+q"));
  ASSERT_TRUE(type("ctrl+alt+super+q"));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return fronts >= 2; }));
  // Everything the server sent is in and handled before counting.
  gdk_display_sync(gdk_display_get_default());
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(fronts, 2);
}

}  // namespace
