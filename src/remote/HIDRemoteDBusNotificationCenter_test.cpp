#include "HIDRemoteDBusNotificationCenter.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "BusDaemonCall.h"
#include "HIDRemote.h"
#include "HIDRemoteFakes_test.h"

namespace {

// A private session bus for the test process.
class HIDRemoteDBusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
  }
  static void TearDownTestSuite() {
    g_test_dbus_down(bus);
    g_object_unref(bus);
  }
  // A connection of its own, as another application would have.
  static GDBusConnection* connect() {
    GError* error = nullptr;
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    EXPECT_TRUE(c) << (error ? error->message : "");
    g_clear_error(&error);
    return c;
  }
  // Waits until the bus has handled everything the connection sent so far
  // (its subscriptions included): the bus answers in order.
  static void syncWithBus(GDBusConnection* connection) {
    GVariant* reply = callBusDaemon(connection, "GetId", nullptr, nullptr);
    if (reply) g_variant_unref(reply);
  }
  static GTestDBus* bus;
};
GTestDBus* HIDRemoteDBusTest::bus = nullptr;

TEST_F(HIDRemoteDBusTest, UserInformationSurvivesTheBus) {
  HIDRemoteInfo info{
      {"PID", int64_t{12}}, {"Action", std::string("start")}, {"UnusedButtonCodes", std::vector<int64_t>{1, 0x10007}}};
  GVariant* v = g_variant_ref_sink(HIDRemoteDBusNotificationCenter::toVariant(info));
  EXPECT_EQ(HIDRemoteDBusNotificationCenter::fromVariant(v), info);
  g_variant_unref(v);
}

TEST_F(HIDRemoteDBusTest, TwoApplicationsHandTheReceiverOver) {
  GDBusConnection* first = connect();
  GDBusConnection* second = connect();
  HIDRemoteDBusNotificationCenter centerA(first), centerB(second), watcherCenter(first);
  FakeDeviceLayer devicesA, devicesB;
  const std::vector<uint32_t> keys = {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_PREVIOUSSONG, KEY_NEXTSONG, KEY_PLAYPAUSE};
  HIDRemoteService service;
  service.number = 1;
  service.driver = "appleir";
  devicesA.add(service, keys);
  devicesB.add(service, keys);

  std::vector<HIDRemoteNotificationCenter::Notification> seen;
  watcherCenter.observe(kHIDRemoteStatusNotification, "", true, [&](const auto& n) { seen.push_back(n); });

  HIDRemote a(&devicesA, &centerA, 1001, "a"), b(&devicesB, &centerB, 1002, "b");
  syncWithBus(first);
  syncWithBus(second);
  ASSERT_TRUE(a.startRemoteControl(2));
  ASSERT_TRUE(b.startRemoteControl(3));
  ASSERT_TRUE(runUntil([&] { return seen.size() >= 2; }));

  // B gives the receiver up: A is invited to retry and takes it again,
  // remembering B as the application to return it to.
  seen.clear();
  b.stopRemoteControl();
  ASSERT_TRUE(runUntil([&] {
    for (const auto& n : seen)
      if (n.object == "1001" && std::get<std::string>(n.userInfo.at("Action")) == "start") return true;
    return false;
  }));
  EXPECT_TRUE(a.isStarted());
  EXPECT_TRUE(devicesA.devices[1].seized);

  // A ping from anyone is answered by both.
  seen.clear();
  watcherCenter.post(kHIDRemotePingNotification, "global", {});
  ASSERT_TRUE(runUntil([&] { return seen.size() >= 2; }));
  for (const auto& n : seen) {
    EXPECT_EQ(std::get<std::string>(n.userInfo.at("Action")), "update");
    if (n.object == "1001") {
      EXPECT_EQ(std::get<int64_t>(n.userInfo.at("ReturnToPID")), 1002);
    }
  }
  a.stopRemoteControl();
  g_object_unref(first);
  g_object_unref(second);
}

}  // namespace
