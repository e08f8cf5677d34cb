// The desktop notifications of the running program: the velora-desktop
// program on a test player page that shows notifications, with icons from a
// server of the test's, a notification server on the session bus, and the
// program's folders in a scratch home. An icon, however large it is or
// declares to be, reaches the server at a notification's size or not at all,
// and a bus that drops the program's connection does not end it.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>
#include <vector>

#include "DesktopProcess.h"
#include "FakeNotificationServer.h"
#include "PrivateSessionBus.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "TestImage.h"
#include "VLPreferenceStore.h"

namespace {

class VeloraDesktopNotificationsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    icons_ = new TestFolder();
    // A cover that fits in 1 MiB, a PNG and a document that declare
    // gigabytes, a wide JPEG, and a document whose filter ends an SVG renderer.
    ASSERT_TRUE(TestImage::write(icons_->file("cover.png"), "png", 4200, 4200));
    ASSERT_LE(TestFolder::sizeOf(icons_->file("cover.png")), 1u << 20);
    ASSERT_EQ(system(("convert -size 6000x6000 xc:black '" + icons_->file("huge.png") + "'").c_str()), 0);
    ASSERT_LE(TestFolder::sizeOf(icons_->file("huge.png")), 1u << 20);
    icons_->writeFile("huge.svg", TestImage::svg(20000, 20000));
    ASSERT_TRUE(TestImage::write(icons_->file("wide.jpg"), "jpeg", 3000, 1500));
    icons_->writeFile("convolution.svg", TestImage::svgWithLargeConvolution());
    // A progressive JPEG of 1 MiB whose 20,000 scans would each be decoded
    // over 4992 x 4992 pixels, and an ordinary progressive cover.
    ASSERT_TRUE(TestImage::writeProgressiveJpeg(icons_->file("scans.jpg"), 4992, 4992, true, 20000));
    ASSERT_LE(TestFolder::sizeOf(icons_->file("scans.jpg")), 1u << 20);
    ASSERT_TRUE(TestImage::writeProgressiveJpeg(icons_->file("progressive.jpg"), 1000, 1000, false));
  }
  static void TearDownTestSuite() { delete icons_; }

  void SetUp() override {
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      home_.folder(variable);
    }
    ASSERT_TRUE(pages_.start());
    ASSERT_TRUE(iconServer_.start());
  }

  // Points the program at the notifying test page, which shows each
  // notification of `shows`: {icon file of the icon server, title}, each
  // gapMilliseconds after the one before.
  void usePage(const std::vector<std::pair<std::string, std::string>>& shows, int gapMilliseconds = 0) {
    std::string list = "[";
    for (const auto& show : shows) {
      list += std::string(list.size() > 1 ? "," : "") + "[\"" + iconServer_.playerOrigin() + "/" + show.first +
              "\",\"" + show.second + "\",\"message\"]";
    }
    list += "]";
    gchar* query = g_uri_escape_string(list.c_str(), nullptr, TRUE);
    VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
    ASSERT_TRUE(preferences.set("BetaPlayerURL", pages_.playerOrigin() + "/app/notify.html?gap=" +
                                                     std::to_string(gapMilliseconds) + "&show=" + query));
    g_free(query);
  }

  // Whether the page still reports that it lives, `beats` times more than
  // it had when asked, while the program runs.
  bool livesOn(const DesktopProcess& application, size_t beats) {
    size_t until = pages_.reports("alive").size() + beats;
    ShellTestServer::runUntil([&] { return application.ended() || pages_.reports("alive").size() >= until; });
    return !application.ended();
  }

  std::string log() const { return TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log"); }

  static TestFolder* icons_;
  TestFolder home_;
  ShellTestServer pages_{VELORA_SOURCE_DIR "/tools/testsupport/shell/pages"};
  ShellTestServer iconServer_{icons_->path()};
};

TestFolder* VeloraDesktopNotificationsTest::icons_ = nullptr;

// Covers are PNG or JPEG: any other bytes a cover host sends (an SVG that
// declares gigabytes, or whose filter ends the renderer) leave the
// notification without an icon, and the program running.
TEST_F(VeloraDesktopNotificationsTest, LargeIconsReachTheServerScaledAndAbsurdOnesNot) {
  FakeNotificationServer notifications;
  ASSERT_TRUE(notifications.owned());
  usePage({{"huge.svg", "Huge"},
           {"convolution.svg", "Convolution"},
           {"huge.png", "Huge PNG"},
           {"cover.png", "Cover"},
           {"wide.jpg", "Wide"}});
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(
      ShellTestServer::runUntil([&] { return application.ended() || notifications.notifications().size() >= 5; }));
  std::map<std::string, FakeNotificationServer::Notification> byTitle;
  for (const auto& shown : notifications.notifications()) byTitle[shown.summary] = shown;
  EXPECT_FALSE(byTitle["Huge"].hasImage);
  EXPECT_FALSE(byTitle["Convolution"].hasImage);
  EXPECT_FALSE(byTitle["Huge PNG"].hasImage);
  EXPECT_TRUE(byTitle["Cover"].hasImage);
  EXPECT_EQ(byTitle["Cover"].imageWidth, 256);
  EXPECT_EQ(byTitle["Cover"].imageHeight, 256);
  EXPECT_EQ(byTitle["Wide"].imageWidth, 256);
  EXPECT_EQ(byTitle["Wide"].imageHeight, 128);
  EXPECT_NE(log().find("/huge.svg: not a PNG or JPEG image"), std::string::npos) << log();
  EXPECT_NE(log().find("/convolution.svg: not a PNG or JPEG image"), std::string::npos) << log();
  EXPECT_NE(log().find("/huge.png: an image of 6000 x 6000 pixels"), std::string::npos) << log();
  EXPECT_TRUE(livesOn(application, 3));
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// A JPEG of 20,000 scans is refused before it is decoded (for minutes),
// and the progressive cover shown after it arrives with its icon.
TEST_F(VeloraDesktopNotificationsTest, AJpegOfThousandsOfScansHoldsNoNotificationBehindIt) {
  FakeNotificationServer notifications;
  ASSERT_TRUE(notifications.owned());
  usePage({{"scans.jpg", "Scans"}, {"progressive.jpg", "Progressive"}}, 1000);
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(
      ShellTestServer::runUntil([&] { return application.ended() || notifications.notifications().size() >= 2; }));
  std::map<std::string, FakeNotificationServer::Notification> byTitle;
  for (const auto& shown : notifications.notifications()) byTitle[shown.summary] = shown;
  EXPECT_FALSE(byTitle["Scans"].hasImage);
  EXPECT_TRUE(byTitle["Progressive"].hasImage);
  EXPECT_EQ(byTitle["Progressive"].imageWidth, 256);
  EXPECT_EQ(byTitle["Progressive"].imageHeight, 256);
  EXPECT_NE(log().find("/scans.jpg: a JPEG image of more than 100 scans"), std::string::npos) << log();
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// Eight icons from a cover host that does not answer: the next notification's
// icon, from the same host, is fetched at once and shows; the oldest slow one
// gave way and shows without its icon.
TEST_F(VeloraDesktopNotificationsTest, ANewIconIsFetchedWhileSlowOnesHoldEveryFetch) {
  FakeNotificationServer notifications;
  ASSERT_TRUE(notifications.owned());
  iconServer_.delay("/slow.png", 600000);
  std::vector<std::pair<std::string, std::string>> shows;
  for (int i = 0; i < 8; ++i) shows.emplace_back("slow.png?" + std::to_string(i), "Slow " + std::to_string(i));
  shows.emplace_back("cover.png", "Cover");
  usePage(shows);
  DesktopProcess application(home_.path(), {});
  std::map<std::string, FakeNotificationServer::Notification> byTitle;
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    for (const auto& shown : notifications.notifications()) byTitle[shown.summary] = shown;
    return application.ended() || (byTitle.count("Cover") != 0 && byTitle.count("Slow 0") != 0);
  }));
  EXPECT_TRUE(byTitle["Cover"].hasImage);
  EXPECT_EQ(byTitle["Cover"].imageWidth, 256);
  EXPECT_FALSE(byTitle["Slow 0"].hasImage);
  EXPECT_NE(log().find("/slow.png?0 gives way to a newer notification's: shown without it"), std::string::npos)
      << log();
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

// A bus that takes no message past 100 kB: the notification with its icon
// (256 KiB) makes it drop the program's connection.
TEST_F(VeloraDesktopNotificationsTest, ABusThatDropsTheConnectionDoesNotEndTheProgram) {
  PrivateSessionBus bus(100000);
  ASSERT_FALSE(bus.address().empty());
  FakeNotificationServer notifications(bus.address());
  ASSERT_TRUE(notifications.owned());
  usePage({{"cover.png", "Cover"}});
  DesktopProcess application(home_.path(), {}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] { return application.ended() || log().find("the session bus connection is closed") != std::string::npos; }));
  EXPECT_TRUE(livesOn(application, 5));
  EXPECT_TRUE(notifications.notifications().empty());
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

}  // namespace
