#include "HIDRemoteLogindSession.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

#include <cstdlib>

#include "HIDRemote.h"
#include "HIDRemoteFakes_test.h"

namespace {

const char* const kSessionPath = "/org/freedesktop/login1/session/_37";

// logind as the remote meets it on the system bus (here a private bus): the
// manager finds the session, whose Active property the test switches, as a
// switch of user or virtual terminal at the seat does.
class FakeLogind {
 public:
  explicit FakeLogind(GDBusConnection* connection) : connection_(connection) {
    static const char* xml =
        "<node>"
        "<interface name='org.freedesktop.login1.Manager'>"
        " <method name='GetSession'><arg type='s' direction='in'/><arg type='o' direction='out'/></method>"
        " <method name='GetSessionByPID'><arg type='u' direction='in'/><arg type='o' direction='out'/></method>"
        "</interface>"
        "<interface name='org.freedesktop.login1.Session'>"
        " <property name='Active' type='b' access='read'/>"
        "</interface></node>";
    node_ = g_dbus_node_info_new_for_xml(xml, nullptr);
    static const GDBusInterfaceVTable manager = {
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* parameters,
           GDBusMethodInvocation* invocation, gpointer self) {
          auto* logind = static_cast<FakeLogind*>(self);
          if (g_strcmp0(method, "GetSessionByPID") == 0) g_variant_get(parameters, "(u)", &logind->askedPid);
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kSessionPath));
        },
        nullptr,
        nullptr,
        {}};
    static const GDBusInterfaceVTable session = {
        nullptr,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**, gpointer self) {
          return g_variant_new_boolean(static_cast<FakeLogind*>(self)->active_);
        },
        nullptr,
        {}};
    registrations_[0] = g_dbus_connection_register_object(connection_, "/org/freedesktop/login1", node_->interfaces[0],
                                                          &manager, this, nullptr, nullptr);
    registrations_[1] = g_dbus_connection_register_object(connection_, kSessionPath, node_->interfaces[1], &session,
                                                          this, nullptr, nullptr);
    owner_ = g_bus_own_name_on_connection(connection_, "org.freedesktop.login1", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                          nullptr, nullptr, nullptr);
  }
  ~FakeLogind() {
    g_bus_unown_name(owner_);
    for (guint id : registrations_) g_dbus_connection_unregister_object(connection_, id);
    g_dbus_node_info_unref(node_);
  }

  void setActive(bool active) {
    active_ = active;
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", "Active", g_variant_new_boolean(active));
    g_dbus_connection_emit_signal(
        connection_, nullptr, kSessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
        g_variant_new("(sa{sv}as)", "org.freedesktop.login1.Session", &changed, nullptr), nullptr);
  }

  guint32 askedPid = 0;

 private:
  GDBusConnection* connection_;
  GDBusNodeInfo* node_;
  guint registrations_[2] = {};
  guint owner_ = 0;
  bool active_ = true;
};

class HIDRemoteLogindSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("XDG_SESSION_ID");
    bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
  }
  static void TearDownTestSuite() {
    g_test_dbus_down(bus);
    g_object_unref(bus);
  }
  void SetUp() override {
    connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    logind = std::make_unique<FakeLogind>(connection);
    session = std::make_unique<HIDRemoteLogindSession>(connection);
    HIDRemoteService receiver;
    receiver.number = 1;
    receiver.driver = "appleir";
    devices.add(receiver, {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_BACK, KEY_FORWARD, KEY_ENTER, KEY_MENU, KEY_PLAYPAUSE});
  }
  void TearDown() override {
    session.reset();
    logind.reset();
    g_object_unref(connection);
  }

  static GTestDBus* bus;
  GDBusConnection* connection = nullptr;
  std::unique_ptr<FakeLogind> logind;
  std::unique_ptr<HIDRemoteLogindSession> session;
  FakeDeviceLayer devices;
  FakeNotificationCenter center;
};
GTestDBus* HIDRemoteLogindSessionTest::bus = nullptr;

TEST_F(HIDRemoteLogindSessionTest, ASeizedReceiverIsGivenUpWhileTheSessionIsInTheBackground) {
  HIDRemote remote(&devices, &center, getpid(), "velora-test", nullptr, session.get());
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusiveAuto));
  ASSERT_TRUE(runUntil([&] { return logind->askedPid == static_cast<guint32>(getpid()); }));
  runMainLoopFor(100);  // the session's state read
  ASSERT_TRUE(devices.devices[1].seized);

  logind->setActive(false);  // another user at the console
  ASSERT_TRUE(runUntil([&] { return !devices.devices[1].open; }));
  EXPECT_FALSE(remote.isStarted());
  for (const auto& posted : center.posted) EXPECT_NE(posted.name, kHIDRemoteRetryNotification);

  logind->setActive(true);
  ASSERT_TRUE(runUntil([&] { return devices.devices[1].seized; }));
  EXPECT_EQ(remote.startedInMode(), kHIDRemoteModeExclusiveAuto);
}

TEST_F(HIDRemoteLogindSessionTest, ASharedReceiverOrOneWithoutTheWorkaroundStays) {
  struct Case {
    int mode;
    bool workaround;
  } cases[] = {{kHIDRemoteModeShared, true}, {kHIDRemoteModeExclusive, false}};
  for (const Case& c : cases) {
    HIDRemote remote(&devices, &center, getpid(), "velora-test", nullptr, session.get());
    remote.setEnableSecureEventInputWorkaround(c.workaround);
    ASSERT_TRUE(remote.startRemoteControl(c.mode));
    runMainLoopFor(100);
    logind->setActive(false);
    runMainLoopFor(300);
    EXPECT_TRUE(devices.devices[1].open) << "mode " << c.mode;
    EXPECT_EQ(remote.startedInMode(), c.mode);
    logind->setActive(true);
    runMainLoopFor(100);
  }
}

}  // namespace
