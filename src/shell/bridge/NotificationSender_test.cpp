// Notifications shown through a notification server on the test's own session
// bus, with icons fetched from the test page server on 127.0.0.1. (Icons that
// arrive, and addresses never fetched, are the client test's.)
#include "NotificationSender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeNotificationServer.h"
#include "ShellTestServer.h"

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

}  // namespace
