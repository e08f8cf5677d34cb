#include "SPMediaKeySourceChain.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FakeSettingsDaemon_test.h"
#include "HIDRemoteFakes_test.h"
#include "SPGnomeMediaKeySource.h"
#include "SPMediaKeyTap.h"

namespace {

const char* const kName = "velora-test";

// Stands for the window manager: the test says which application came to the front.
class ScriptedFront : public SPFrontApplicationSource {
 public:
  bool start(FrontHandler front, TerminatedHandler) override {
    front_ = std::move(front);
    return true;
  }
  void stop() override {}
  void bringToFront(pid_t pid) { front_({pid, ""}); }

 private:
  FrontHandler front_;
};

bool nameHasOwner(const std::string& name) {
  std::string command =
      "gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
      "--method org.freedesktop.DBus.NameHasOwner " +
      name + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  char buffer[64] = {};
  size_t n = fread(buffer, 1, sizeof buffer - 1, out);
  pclose(out);
  return std::string(buffer, n).find("true") != std::string::npos;
}

// A media-player client on the bus (a desktop routing a key, a panel button).
std::string callPlayer(const std::string& arguments) {
  std::string command = "dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2." + std::string(kName) +
                        " /org/mpris/MediaPlayer2 " + arguments + " 2>&1";
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
  int status = pclose(out);
  return status == 0 ? text : "failed: " + text;
}

// A private session bus; no X display, so the desktop's D-Bus sources are
// all there is.
class SPMediaKeySourceChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("DISPLAY");
    bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
  }
  static void TearDownTestSuite() {
    g_test_dbus_down(bus);
    g_object_unref(bus);
  }
  void SetUp() override { connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr); }
  void TearDown() override { g_object_unref(connection); }

  std::unique_ptr<SPMediaKeyTap> makeTap() {
    auto scripted = std::make_unique<ScriptedFront>();
    front = scripted.get();
    return std::make_unique<SPMediaKeyTap>(
        &delegate, [] { return SPMediaKeyPreferences(); }, SPMediaKeySourceChain::desktop(kName), std::move(scripted));
  }

  static GTestDBus* bus;
  GDBusConnection* connection = nullptr;
  ScriptedFront* front = nullptr;
  RecordingMediaKeyDelegate delegate;
};
GTestDBus* SPMediaKeySourceChainTest::bus = nullptr;

TEST_F(SPMediaKeySourceChainTest, TheSettingsDaemonHandsUsItsKeysWhileWeAreInFront) {
  FakeSettingsDaemon daemon;
  ASSERT_TRUE(runUntil([] { return nameHasOwner(SPGnomeMediaKeySource::kBusName); }));
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  ASSERT_TRUE(runUntil([&] { return daemon.calls.size() == 1; }));
  EXPECT_EQ(daemon.calls[0], "GrabMediaPlayerKeys velora-test");
  EXPECT_FALSE(nameHasOwner("org.mpris.MediaPlayer2.velora-test")) << "the daemon routes the keys alone";

  daemon.press("another-player", "Play");
  daemon.press(kName, "Stop");
  daemon.press(kName, "Next");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
  EXPECT_EQ(delegate.events, (std::vector<ReceivedKey>{{19, true}, {19, false}}));

  front->bringToFront(12345);  // not us: the daemon is not asked again
  front->bringToFront(getpid());
  ASSERT_TRUE(runUntil([&] { return daemon.calls.size() == 2; }));
  EXPECT_EQ(daemon.calls[1], "GrabMediaPlayerKeys velora-test");
  tap->setShouldInterceptMediaKeyEvents(false);
  ASSERT_TRUE(runUntil([&] { return daemon.calls.size() == 3; }));
  EXPECT_EQ(daemon.calls[2], "ReleaseMediaPlayerKeys velora-test");
  EXPECT_EQ(tap->mediaKeySourceState(), SPMediaKeySource::kKeysGivenBack);
}

TEST_F(SPMediaKeySourceChainTest, KeysAreAskedForAgainWhenTheDaemonReturns) {
  SystemLogCapture log;
  auto daemon = std::make_unique<FakeSettingsDaemon>();
  ASSERT_TRUE(runUntil([] { return nameHasOwner(SPGnomeMediaKeySource::kBusName); }));
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysTaken; }));

  daemon.reset();  // the daemon ends (or restarts), forgetting every grab
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysHeldElsewhere; }));
  EXPECT_TRUE(
      log.contains("SPGnomeMediaKeySource::serviceVanished The media-key service "
                   "org.gnome.SettingsDaemon.MediaKeys left the session bus"));
  daemon = std::make_unique<FakeSettingsDaemon>();
  ASSERT_TRUE(runUntil([&] { return daemon->holder() == kName; })) << "grabbed again at once";
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysTaken; }));
  daemon->press(kName, "Play");
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 2; }));
}

TEST_F(SPMediaKeySourceChainTest, WithoutTheDaemonWeAreAMediaPlayerOnTheBus) {
  auto tap = makeTap();
  ASSERT_TRUE(tap->startWatchingMediaKeys());
  ASSERT_TRUE(runUntil([&] { return tap->mediaKeySourceState() == SPMediaKeySource::kKeysTaken; }));
  const std::string player = "org.mpris.MediaPlayer2.Player";
  std::string canControl = callPlayer("org.freedesktop.DBus.Properties.Get string:" + player + " string:CanControl");
  EXPECT_NE(canControl.find("boolean true"), std::string::npos) << canControl;
  std::string identity =
      callPlayer("org.freedesktop.DBus.Properties.Get string:org.mpris.MediaPlayer2 string:Identity");
  EXPECT_NE(identity.find("string \""), std::string::npos) << identity;
  // Nothing plays: Pause has nothing to do, Play toggles.
  for (const char* method : {"PlayPause", "Next", "Previous", "Stop", "Pause", "Play"}) {
    std::string answer = callPlayer(player + "." + method);
    EXPECT_EQ(answer.find("failed"), std::string::npos) << method << ": " << answer;
  }
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 8; }));
  EXPECT_EQ(delegate.events,
            (std::vector<ReceivedKey>{
                {16, true}, {16, false}, {19, true}, {19, false}, {20, true}, {20, false}, {16, true}, {16, false}}));

  // Another listed player came to the front: we leave the bus until we are back.
  tap->setShouldInterceptMediaKeyEvents(false);
  ASSERT_TRUE(runUntil([] { return !nameHasOwner("org.mpris.MediaPlayer2.velora-test"); }));
  tap->setShouldInterceptMediaKeyEvents(true);
  ASSERT_TRUE(runUntil([] { return nameHasOwner("org.mpris.MediaPlayer2.velora-test"); }));
  tap->stopWatchingMediaKeys();
  EXPECT_FALSE(nameHasOwner("org.mpris.MediaPlayer2.velora-test"));
}

}  // namespace
