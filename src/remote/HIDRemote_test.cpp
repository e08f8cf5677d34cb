#include "HIDRemote.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "HIDRemoteFakes_test.h"

namespace {

struct Event {
  int32_t code;
  bool pressed;
  bool operator==(const Event& o) const { return code == o.code && pressed == o.pressed; }
};
std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << "(" << std::hex << e.code << std::dec << (e.pressed ? ", pressed)" : ", released)");
}

class RecordingDelegate : public HIDRemoteDelegate {
 public:
  void foundNewHardware(HIDRemote*, const HIDRemoteHardwareAttributes& a) override { found.push_back(a.serviceNumber); }
  void failedNewHardware(HIDRemote*, const HIDRemoteError* e) override {
    failures.push_back(e ? e->internalErrorCode : 0);
    failureCodes.push_back(e ? e->code : 0);
  }
  void releasedHardware(HIDRemote*, const HIDRemoteHardwareAttributes& a) override {
    released.push_back(a.serviceNumber);
  }
  void eventWithButton(HIDRemote*, int32_t code, bool pressed, const HIDRemoteHardwareAttributes&) override {
    events.push_back({code, pressed});
  }
  std::optional<bool> inspectNewHardware(HIDRemote*, const HIDRemoteService&, bool result) override {
    return inspectAnswer;
  }
  std::optional<bool> inspectAnswer;
  std::vector<unsigned> found, released;
  std::vector<int> failures;
  std::vector<int32_t> failureCodes;
  std::vector<Event> events;
};

// The key table of the kernel's Apple IR driver.
const std::vector<uint32_t> kRemoteKeys = {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_BACK,     KEY_FORWARD,
                                           KEY_ENTER,    KEY_MENU,       KEY_PLAYPAUSE};

HIDRemoteService receiver(unsigned number, const std::string& driver = "appleir") {
  HIDRemoteService s;
  s.number = number;
  s.driver = driver;
  s.product = "IR Receiver";
  return s;
}

class HIDRemoteTest : public ::testing::Test {
 protected:
  HIDRemoteTest() : remote(&devices, &center, 4242, "velora-desktop", &timers) { remote.setDelegate(&delegate); }

  void press(unsigned device, uint32_t key) { devices.send(device, {{key, 1}}); }
  void release(unsigned device, uint32_t key) { devices.send(device, {{key, 0}}); }

  std::vector<HIDRemoteInfo> statuses() const {
    std::vector<HIDRemoteInfo> out;
    for (const auto& n : center.posted)
      if (n.name == kHIDRemoteStatusNotification) out.push_back(n.userInfo);
    return out;
  }
  static std::string action(const HIDRemoteInfo& info) { return std::get<std::string>(info.at("Action")); }
  static int64_t number(const HIDRemoteInfo& info, const char* key) { return std::get<int64_t>(info.at(key)); }

  FakeDeviceLayer devices;
  FakeNotificationCenter center;
  FakeTimers timers;
  RecordingDelegate delegate;
  HIDRemote remote;
};

TEST_F(HIDRemoteTest, StartRefusesModeZeroUnknownModesAFailedWatchAndASecondStart) {
  for (int mode : {0, 4, -1}) EXPECT_FALSE(remote.startRemoteControl(mode));
  devices.refuseWatching = true;
  EXPECT_FALSE(remote.startRemoteControl(3));
  EXPECT_FALSE(remote.isStarted());
  EXPECT_TRUE(center.posted.empty()) << "a refused start posts nothing";
  devices.refuseWatching = false;
  ASSERT_TRUE(remote.startRemoteControl(1));
  EXPECT_FALSE(remote.startRemoteControl(2));
  EXPECT_EQ(remote.startedInMode(), 1);
}

TEST_F(HIDRemoteTest, OnlyReceiversAreOpenedAndExclusiveModesSeizeThem) {
  devices.add(receiver(1), kRemoteKeys);
  devices.add(receiver(2, "rc-core"), kRemoteKeys);
  devices.add(receiver(3, "atkbd"), kRemoteKeys);  // a keyboard with media keys
  devices.add(receiver(4), {KEY_PLAYPAUSE, KEY_FORWARD});
  ASSERT_TRUE(remote.startRemoteControl(2));
  EXPECT_EQ(delegate.found, (std::vector<unsigned>{1, 2}));
  EXPECT_TRUE(devices.devices[1].seized);
  EXPECT_FALSE(devices.devices[3].open) << "never a keyboard";
  EXPECT_EQ(delegate.failures, (std::vector<int>{8})) << "too few buttons for a remote";
  EXPECT_FALSE(devices.devices[4].open) << "a refused device is closed again";
  EXPECT_EQ(remote.activeRemoteControlCount(), 2u);

  remote.stopRemoteControl();
  EXPECT_FALSE(devices.devices[1].open);
  EXPECT_EQ(delegate.released.size(), 2u);
  ASSERT_TRUE(remote.startRemoteControl(1));
  EXPECT_TRUE(devices.devices[1].open);
  EXPECT_FALSE(devices.devices[1].seized) << "shared mode opens without seizing";
}

TEST_F(HIDRemoteTest, TheDelegateMayOverrideThePrematchAndOpenFailuresAreReported) {
  devices.add(receiver(1, "atkbd"), kRemoteKeys);
  devices.add(receiver(2), kRemoteKeys);
  devices.devices[2].openStatus = EBUSY;
  delegate.inspectAnswer = true;
  ASSERT_TRUE(remote.startRemoteControl(1));
  EXPECT_EQ(delegate.found, (std::vector<unsigned>{1}));
  EXPECT_EQ(delegate.failures, (std::vector<int>{3}));
  EXPECT_EQ(delegate.failureCodes, (std::vector<int32_t>{EBUSY}));
}

TEST_F(HIDRemoteTest, ButtonsArePressedAndReleasedAndANewPressReleasesTheLastOne) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(1));
  press(1, KEY_FORWARD);
  release(1, KEY_FORWARD);
  press(1, KEY_FORWARD);
  press(1, KEY_BACK);
  release(1, KEY_FORWARD);  // not the button down: ignored
  release(1, KEY_BACK);
  devices.send(1, {{KEY_A, 1}});  // not an element of the remote
  std::vector<Event> expected = {{4, true}, {4, false}, {4, true}, {4, false}, {3, true}, {3, false}};
  EXPECT_EQ(delegate.events, expected);
}

TEST_F(HIDRemoteTest, UpAndDownBecomeClicksOrHoldsAfterTheHoldDelay) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(1));
  press(1, KEY_VOLUMEUP);
  timers.advance(699);
  EXPECT_TRUE(delegate.events.empty()) << "nothing until released or held for 0.7 s";
  release(1, KEY_VOLUMEUP);
  EXPECT_EQ(delegate.events, (std::vector<Event>{{1, true}, {1, false}}));

  delegate.events.clear();
  press(1, KEY_VOLUMEDOWN);
  timers.advance(699);
  EXPECT_TRUE(delegate.events.empty());
  timers.advance(1);
  EXPECT_EQ(delegate.events, (std::vector<Event>{{0x10002, true}}));
  release(1, KEY_VOLUMEDOWN);
  EXPECT_EQ(delegate.events, (std::vector<Event>{{0x10002, true}, {0x10002, false}}));

  delegate.events.clear();
  remote.setSimulateHoldEvents(false);
  press(1, KEY_VOLUMEUP);
  release(1, KEY_VOLUMEUP);
  EXPECT_EQ(delegate.events, (std::vector<Event>{{1, true}, {1, false}}));
}

TEST_F(HIDRemoteTest, LeftRightCentreAndMenuHeldDownAreReportedHeldOnce) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(1));
  struct Case {
    const char* what;
    uint32_t key;
    int repeats;      // the kernel's repeats while down
    unsigned heldMs;  // then the time until the release
    std::vector<Event> expected;
  } cases[] = {
      {"left, repeated", KEY_BACK, 3, 0, {{3, true}, {3, false}, {0x10003, true}, {0x10003, false}}},
      {"right, no repeat, timed", KEY_FORWARD, 0, 700, {{4, true}, {4, false}, {0x10004, true}, {0x10004, false}}},
      {"centre, repeated", KEY_ENTER, 1, 2000, {{5, true}, {5, false}, {0x10005, true}, {0x10005, false}}},
      {"menu, released in time", KEY_MENU, 0, 699, {{6, true}, {6, false}}},
      {"play: no held code", KEY_PLAYPAUSE, 4, 1000, {{7, true}, {7, false}}},
      {"up: the hold simulation", KEY_VOLUMEUP, 4, 100, {{1, true}, {1, false}}},
  };
  for (const Case& c : cases) {
    delegate.events.clear();
    press(1, c.key);
    for (int i = 0; i < c.repeats; ++i) devices.send(1, {{c.key, kHIDRemoteKeyRepeated}});
    timers.advance(c.heldMs);
    release(1, c.key);
    timers.advance(2000);
    EXPECT_EQ(delegate.events, c.expected) << c.what;
  }

  // Another button pressed while one is held releases the held code.
  delegate.events.clear();
  press(1, KEY_BACK);
  devices.send(1, {{KEY_BACK, kHIDRemoteKeyRepeated}});
  press(1, KEY_FORWARD);
  timers.advance(100);
  release(1, KEY_FORWARD);
  EXPECT_EQ(delegate.events,
            (std::vector<Event>{{3, true}, {3, false}, {0x10003, true}, {0x10003, false}, {4, true}, {4, false}}));
}

TEST_F(HIDRemoteTest, ARemovedDeviceIsTornDownOnceAndItsHoldTimerCancelled) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(1));
  press(1, KEY_VOLUMEUP);
  devices.remove(1);
  devices.remove(1);
  EXPECT_EQ(delegate.released, (std::vector<unsigned>{1}));
  EXPECT_EQ(remote.activeRemoteControlCount(), 0u);
  timers.advance(1000);
  EXPECT_TRUE(delegate.events.empty()) << "the cancelled hold timer never fires";
}

TEST_F(HIDRemoteTest, ExclusiveWhileActiveReleasesOnDeactivationAndRetakesAfterReactivation) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(3));
  remote.applicationWillResignActive();
  EXPECT_FALSE(devices.devices[1].open) << "released at once";
  EXPECT_FALSE(remote.isStarted());
  remote.applicationDidBecomeActive();
  timers.advance(99);
  EXPECT_FALSE(devices.devices[1].open) << "taken again only 0.1 s later";
  timers.advance(1);
  EXPECT_TRUE(devices.devices[1].seized);
  EXPECT_EQ(remote.startedInMode(), 3);

  remote.applicationWillResignActive();
  remote.applicationDidBecomeActive();
  remote.applicationWillResignActive();  // gone again before the recovery: it is called off
  timers.advance(1000);
  EXPECT_FALSE(remote.isStarted());

  ASSERT_TRUE(remote.startRemoteControl(2));
  remote.applicationWillResignActive();
  EXPECT_TRUE(devices.devices[1].seized) << "mode 2 ignores activation";
  remote.applicationWillTerminate();
  EXPECT_FALSE(remote.isStarted());
  EXPECT_TRUE(remote.isApplicationTerminating());
}

TEST_F(HIDRemoteTest, StatusMessagesDescribeStartUpdateAndStop) {
  remote.setUnusedButtonCodes({1, 2});  // before the start, too
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(1));
  remote.stopRemoteControl();
  auto s = statuses();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(action(s[0]), "update");
  EXPECT_EQ(std::get<std::vector<int64_t>>(s[0].at("UnusedButtonCodes")), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(action(s[1]), "start");
  EXPECT_EQ(number(s[1], "Mode"), 1);
  EXPECT_EQ(number(s[1], "RemoteControlCount"), 1);
  EXPECT_EQ(number(s[1], "PID"), 4242);
  EXPECT_EQ(number(s[1], "HIDRemoteVersion"), 1);
  EXPECT_EQ(action(s[2]), "stop");
  EXPECT_EQ(number(s[2], "RemoteControlCount"), 0);
  EXPECT_EQ(center.posted.back().object, "4242");
}

TEST_F(HIDRemoteTest, PingsAreAnsweredAndRetriesIgnoredWhileStopped) {
  center.post(kHIDRemotePingNotification, "global", {});
  center.post(kHIDRemoteRetryNotification, "global", {{"PID", int64_t{7}}});
  auto s = statuses();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(action(s[0]), "update");
  EXPECT_EQ(number(s[0], "Mode"), 0);
  EXPECT_EQ(number(s[0], "RemoteControlCount"), 0);
}

TEST_F(HIDRemoteTest, StoppingAnExclusiveRemoteWithADeviceInvitesOthersToRetry) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(3));
  center.posted.clear();
  remote.stopRemoteControl();
  ASSERT_EQ(center.posted.size(), 2u);
  EXPECT_EQ(action(center.posted[0].userInfo), "stop");
  EXPECT_EQ(center.posted[1].name, kHIDRemoteRetryNotification);
  EXPECT_EQ(center.posted[1].object, "global");
  EXPECT_EQ(std::get<int64_t>(center.posted[1].userInfo.at("PID")), 4242);
  EXPECT_FALSE(remote.isStarted()) << "its own broadcast does not restart it";

  devices.devices.clear();
  ASSERT_TRUE(remote.startRemoteControl(3));
  center.posted.clear();
  remote.stopRemoteControl();
  ASSERT_EQ(center.posted.size(), 1u) << "no device, no retry";

  ASSERT_TRUE(remote.startRemoteControl(3));
  remote.setSendStatusNotifications(false);
  center.posted.clear();
  remote.stopRemoteControl();
  EXPECT_TRUE(center.posted.empty());
}

TEST_F(HIDRemoteTest, ARetryFromAnotherApplicationRestartsAndNamesItAsReturnTo) {
  devices.add(receiver(1), kRemoteKeys);
  ASSERT_TRUE(remote.startRemoteControl(3));
  center.post(kHIDRemoteRetryNotification, "global", {{"PID", int64_t{4242}}});
  EXPECT_EQ(action(statuses().back()), "noneed") << "its own broadcast";

  center.posted.clear();
  center.post(kHIDRemoteRetryNotification, "4242", {{"PID", int64_t{77}}});
  auto s = statuses();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(action(s[0]), "stop");
  EXPECT_EQ(action(s[1]), "start");
  EXPECT_EQ(s[1].count("ReturnToPID"), 0u);
  for (const auto& n : center.posted) {
    bool ours = n.name == kHIDRemoteRetryNotification && n.object == "global";
    EXPECT_FALSE(ours) << "a restart invites no one";
  }
  EXPECT_TRUE(devices.devices[1].seized);

  center.post(kHIDRemotePingNotification, "global", {});
  EXPECT_EQ(number(statuses().back(), "ReturnToPID"), 77);
  remote.stopRemoteControl();
  center.post(kHIDRemotePingNotification, "global", {});
  EXPECT_EQ(statuses().back().count("ReturnToPID"), 0u) << "the stop forgets it";
}

TEST_F(HIDRemoteTest, ADeclinedRetryIsAnsweredNoNeedWithTheSenderAsReturnTo) {
  struct Declining : RecordingDelegate {
    std::optional<bool> shouldRetryExclusiveLock(HIDRemote*, const HIDRemoteInfo&) override { return false; }
  } declining;
  remote.setDelegate(&declining);
  ASSERT_TRUE(remote.startRemoteControl(2));
  center.post(kHIDRemoteRetryNotification, "4242", {{"PID", int64_t{9}}});
  auto last = statuses().back();
  EXPECT_EQ(action(last), "noneed");
  EXPECT_EQ(number(last, "ReturnToPID"), 9);
  center.post(kHIDRemotePingNotification, "global", {});
  EXPECT_EQ(statuses().back().count("ReturnToPID"), 0u) << "only for the time of the answer";
}

TEST_F(HIDRemoteTest, ARetryInSharedModeRestartsWithoutAProcessToReturnTo) {
  ASSERT_TRUE(remote.startRemoteControl(1));
  center.post(kHIDRemoteRetryNotification, "4242", {{"PID", int64_t{77}}});
  center.post(kHIDRemotePingNotification, "global", {});
  auto s = statuses();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(action(s[1]), "stop");
  EXPECT_EQ(action(s[2]), "start");
  EXPECT_EQ(s[3].count("ReturnToPID"), 0u) << "others share the receiver: nothing to give back";
}

TEST_F(HIDRemoteTest, ALentLockComesBackWhenTheBorrowerGivesItBack) {
  // The borrower stops, answers that it has no need, or goes over to shared use.
  const HIDRemoteInfo returns[] = {
      {{"Action", std::string("stop")}, {"PID", int64_t{55}}, {"ReturnToPID", int64_t{4242}}},
      {{"Action", std::string("noneed")}, {"PID", int64_t{55}}, {"ReturnToPID", int64_t{4242}}},
      {{"Action", std::string("start")}, {"PID", int64_t{55}}, {"Mode", int64_t{1}}},
  };
  devices.add(receiver(1), kRemoteKeys);
  remote.setExclusiveLockLendingEnabled(true);
  for (const HIDRemoteInfo& back : returns) {
    ASSERT_TRUE(remote.startRemoteControl(2));
    // Another application starts and wants the receiver.
    center.post(kHIDRemoteStatusNotification, "55",
                {{"Action", std::string("start")}, {"PID", int64_t{55}}, {"Mode", int64_t{2}}});
    EXPECT_FALSE(remote.isStarted());
    EXPECT_EQ(center.posted.back().name, kHIDRemoteRetryNotification);
    EXPECT_EQ(center.posted.back().object, "55");
    center.post(kHIDRemoteStatusNotification, "55",
                {{"Action", std::string("stop")}, {"PID", int64_t{66}}, {"ReturnToPID", int64_t{4242}}});
    EXPECT_FALSE(remote.isStarted()) << "not the borrower";
    center.post(kHIDRemoteStatusNotification, "55", back);
    EXPECT_EQ(remote.startedInMode(), 2) << std::get<std::string>(back.at("Action"));
    remote.stopRemoteControl();
  }
}

}  // namespace
