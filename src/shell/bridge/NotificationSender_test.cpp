// Notifications shown through a notification server on the test's own session
// bus, with icons fetched from the test page server on 127.0.0.1 and from the
// fault-injecting test server. (Icons that arrive, addresses never fetched and
// icons too large for the bus are the client tests'.)
#include "NotificationSender.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "FakeNotificationServer.h"
#include "NotificationIcon.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestImage.h"

namespace {

class NotificationSenderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    notifications_ = new FakeNotificationServer();
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete notifications_;
  }

  // Runs the main loop until the server has been shown `count` notifications.
  static std::vector<FakeNotificationServer::Notification> waitForShown(size_t count) {
    EXPECT_TRUE(ShellTestServer::runUntil([count] { return notifications_->notifications().size() >= count; }));
    return notifications_->notifications();
  }

  static FakeNotificationServer* notifications_;
  static ShellTestServer* server_;
};

FakeNotificationServer* NotificationSenderTest::notifications_ = nullptr;
ShellTestServer* NotificationSenderTest::server_ = nullptr;

TEST_F(NotificationSenderTest, AFailedIconFetchStillShowsTheNotification) {
  ASSERT_TRUE(notifications_->owned());
  size_t before = notifications_->notifications().size();
  NotificationSender::instance().show("Broken title", "broken icon", server_->playerOrigin() + "/broken");
  NotificationSender::instance().show("Missing title", "missing icon", server_->playerOrigin() + "/status?code=404");
  std::vector<FakeNotificationServer::Notification> shown = waitForShown(before + 2);
  ASSERT_EQ(shown.size(), before + 2);
  for (size_t i = before; i < shown.size(); ++i) EXPECT_FALSE(shown[i].hasImage) << shown[i].body;
}

// A title per track, for hours: the sender keeps a bounded number of
// notification objects, and the latest titles still replace their
// notification.
TEST_F(NotificationSenderTest, AThousandTitlesKeepABoundedNumberOfNotificationObjects) {
  ASSERT_TRUE(notifications_->owned());
  NotificationSender& sender = NotificationSender::instance();
  size_t before = notifications_->notifications().size();
  for (int i = 0; i < 1000; ++i) sender.show("Track " + std::to_string(i), "Artist", "");
  // Shown without waiting: older ones may give way to newer ones, the last
  // one shows.
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    std::vector<FakeNotificationServer::Notification> shown = notifications_->notifications();
    return shown.size() > before && shown.back().summary == "Track 999";
  }));
  EXPECT_LE(sender.keptCount(), NotificationSender::kKeptNotifications);
  size_t count = notifications_->notifications().size();
  sender.show("Track 999", "Artist again", "");
  std::vector<FakeNotificationServer::Notification> shown = waitForShown(count + 1);
  EXPECT_EQ(shown.back().body, "Artist again");
  EXPECT_NE(shown.back().replaces, 0u);
}

// Texts are plain text whatever the page puts in them: the body, which the
// server reads as markup, is escaped; U+0000 shows instead of ending the
// text; long texts are cut, and the cut title still replaces its notification.
TEST_F(NotificationSenderTest, TextsArriveAsPlainTextCutToAFewHundredCharacters) {
  ASSERT_TRUE(notifications_->owned());
  NotificationSender& sender = NotificationSender::instance();
  size_t before = notifications_->notifications().size();
  const std::string title = std::string("Rock & <Roll>\0hidden ", 21) + std::string(100000, 'T');
  const std::string message = "<img src=\"" + server_->playerOrigin() +
                              "/tracker.png\"> <a href=\"file:///etc\">x</a>" + std::string("\0after", 6) +
                              std::string(1000000, 'm');
  sender.show(title, message, "");
  sender.show(title, "again", "");
  std::vector<FakeNotificationServer::Notification> shown = waitForShown(before + 2);
  ASSERT_EQ(shown.size(), before + 2);
  const FakeNotificationServer::Notification& first = shown[before];
  EXPECT_EQ(first.summary.rfind("Rock & <Roll>\xEF\xBF\xBDhidden TTT", 0), 0u) << first.summary.substr(0, 40);
  EXPECT_EQ(g_utf8_strlen(first.summary.c_str(), -1), static_cast<glong>(NotificationSender::kLongestTitle));
  EXPECT_EQ(first.body.rfind("&lt;img src=&quot;" + server_->playerOrigin() + "/tracker.png&quot;&gt; &lt;a href=", 0),
            0u)
      << first.body.substr(0, 80);
  EXPECT_NE(first.body.find("&lt;/a&gt;\xEF\xBF\xBD"
                            "after"),
            std::string::npos);
  EXPECT_EQ(first.body.find('<'), std::string::npos);
  EXPECT_LE(first.body.size(), NotificationSender::kLongestMessage * 6);
  EXPECT_EQ(shown[before + 1].summary, first.summary);
  EXPECT_EQ(shown[before + 1].replaces, static_cast<unsigned>(before + 1));
}

// Icons the server can show, at most 256 pixels a side, in their proportions;
// only PNG and JPEG.
TEST_F(NotificationSenderTest, IconsArriveScaledToANotificationsSizeInTheirProportions) {
  ASSERT_TRUE(notifications_->owned());
  TestFolder icons;
  ASSERT_TRUE(TestImage::write(icons.file("small.png"), "png", 48, 32));
  ASSERT_TRUE(TestImage::write(icons.file("tall.png"), "png", 300, 6000));
  ASSERT_TRUE(TestImage::write(icons.file("strip.png"), "png", 20000, 1));
  icons.writeFile("square.svg", TestImage::svg(5000, 5000));
  ShellTestServer iconServer(icons.path());
  ASSERT_TRUE(iconServer.start());
  size_t before = notifications_->notifications().size();
  for (const char* name : {"small.png", "tall.png", "strip.png", "square.svg"}) {
    NotificationSender::instance().show(name, "icon", iconServer.playerOrigin() + "/" + name);
  }
  std::map<std::string, FakeNotificationServer::Notification> byTitle;
  for (const auto& shown : waitForShown(before + 4)) byTitle[shown.summary] = shown;
  EXPECT_EQ(byTitle["small.png"].imageWidth, 48);
  EXPECT_EQ(byTitle["small.png"].imageHeight, 32);
  EXPECT_EQ(byTitle["tall.png"].imageWidth, 13);
  EXPECT_EQ(byTitle["tall.png"].imageHeight, 256);
  EXPECT_EQ(byTitle["strip.png"].imageWidth, 256);
  EXPECT_EQ(byTitle["strip.png"].imageHeight, 1);
  // Covers are PNG or JPEG: an SVG is refused.
  EXPECT_FALSE(byTitle["square.svg"].hasImage);
}

// A JPEG's scans are bounded: one of as many as the bound allows still
// arrives with its icon, one of a scan more without.
TEST_F(NotificationSenderTest, JpegsOfAtMostTheBoundsScansArriveWithTheirIcon) {
  ASSERT_TRUE(notifications_->owned());
  TestFolder icons;
  const size_t most = NotificationIcon::kMostJpegScans;
  ASSERT_TRUE(TestImage::writeProgressiveJpeg(icons.file("most.jpg"), 600, 600, true, most));
  ASSERT_TRUE(TestImage::writeProgressiveJpeg(icons.file("more.jpg"), 600, 600, true, most + 1));
  ShellTestServer iconServer(icons.path());
  ASSERT_TRUE(iconServer.start());
  size_t before = notifications_->notifications().size();
  for (const char* name : {"most.jpg", "more.jpg"}) {
    NotificationSender::instance().show(name, "icon", iconServer.playerOrigin() + "/" + name);
  }
  std::map<std::string, FakeNotificationServer::Notification> byTitle;
  for (const auto& shown : waitForShown(before + 2)) byTitle[shown.summary] = shown;
  EXPECT_TRUE(byTitle["most.jpg"].hasImage);
  EXPECT_EQ(byTitle["most.jpg"].imageWidth, 256);
  EXPECT_FALSE(byTitle["more.jpg"].hasImage);
}

// Servers that send an icon a few bytes at a time hold every fetch slot only
// for the fetch's time limit: their notifications then show without an icon,
// and the next icon is fetched.
TEST_F(NotificationSenderTest, IconsThatTrickleInAreGivenUpAtTheTimeLimit) {
  ASSERT_TRUE(notifications_->owned());
  TestHttpServer trickling;
  ASSERT_TRUE(trickling.isRunning());
  NotificationSender& sender = NotificationSender::instance();
  sender.setIconFetchSeconds(1);
  size_t before = notifications_->notifications().size();
  for (size_t i = 0; i < NotificationSender::kMaxIconFetches; ++i) {
    sender.show("Trickle " + std::to_string(i), "slow icon",
                trickling.url("/size=900000/throttle=200/seed=" + std::to_string(i) + "/icon.png"));
  }
  std::vector<FakeNotificationServer::Notification> shown = waitForShown(before + NotificationSender::kMaxIconFetches);
  sender.setIconFetchSeconds(NotificationSender::kIconFetchSeconds);
  for (size_t i = before; i < shown.size(); ++i) EXPECT_FALSE(shown[i].hasImage) << shown[i].summary;
  sender.show("After the trickle", "icon", server_->playerOrigin() + "/icon.png");
  shown = waitForShown(before + NotificationSender::kMaxIconFetches + 1);
  EXPECT_EQ(shown.back().summary, "After the trickle");
  EXPECT_TRUE(shown.back().hasImage);
}

// Slow icons that give way to newer notifications just as their time limit
// passes end once each: after them, icons still arrive.
TEST_F(NotificationSenderTest, IconsGivingWayAtTheirTimeLimitLeaveLaterIconsArriving) {
  ASSERT_TRUE(notifications_->owned());
  NotificationSender& sender = NotificationSender::instance();
  server_->delay("/stalled.png", 600000);
  sender.setIconFetchSeconds(1);
  size_t before = notifications_->notifications().size();
  for (size_t i = 0; i < NotificationSender::kMaxIconFetches; ++i) {
    sender.show("Stalled " + std::to_string(i), "slow icon",
                server_->playerOrigin() + "/stalled.png?" + std::to_string(i));
  }
  // Every time limit has passed, none has been acted on yet: the oldest gives way now.
  g_usleep(1500 * 1000);
  sender.show("Giving way", "icon", server_->playerOrigin() + "/icon.png");
  waitForShown(before + NotificationSender::kMaxIconFetches + 1);
  sender.setIconFetchSeconds(NotificationSender::kIconFetchSeconds);
  server_->release("/stalled.png");
  sender.show("After them", "icon", server_->playerOrigin() + "/icon.png");
  std::vector<FakeNotificationServer::Notification> shown =
      waitForShown(before + NotificationSender::kMaxIconFetches + 2);
  EXPECT_EQ(shown.back().summary, "After them");
  EXPECT_TRUE(shown.back().hasImage);
}

}  // namespace
