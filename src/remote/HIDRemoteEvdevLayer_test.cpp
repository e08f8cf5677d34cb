#include "HIDRemoteEvdevLayer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <deque>

#include "HIDRemote.h"
#include "HIDRemoteFakes_test.h"
#include "HIDRemoteLinuxInputSystem.h"

namespace {

// The kernel's side, scripted: each opened node is a pipe whose other end
// the test writes evdev records to; udev's arrivals and removals come
// through a pipe of their own.
class FakeInputSystem : public HIDRemoteInputSystem {
 public:
  struct Node {
    Device device;
    std::vector<uint32_t> keys;
    int openError = 0;
    int readFd = -1, writeFd = -1;
    bool grabbed = false;
  };

  bool start(std::vector<Device>* present) override {
    if (pipe2(changes_, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    for (auto& entry : nodes) present->push_back(entry.second.device);
    return true;
  }
  int changesFd() const override { return changes_[0]; }
  bool nextChange(Change* change) override {
    char byte;
    if (read(changes_[0], &byte, 1) != 1 || pending_.empty()) return false;
    *change = pending_.front();
    pending_.pop_front();
    return true;
  }
  void stop() override {
    ::close(changes_[0]);
    ::close(changes_[1]);
    changes_[0] = changes_[1] = -1;
  }
  int openNode(const std::string& path) override {
    Node& node = nodes.at(path);
    if (node.openError) return -node.openError;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -errno;
    node.readFd = fds[0];
    node.writeFd = fds[1];
    return fds[0];
  }
  std::vector<uint32_t> keyCodes(int fd) override { return byFd(fd).keys; }
  int grab(int fd, bool exclusive) override {
    byFd(fd).grabbed = exclusive;
    return 0;
  }
  void closeNode(int fd) override {
    Node& node = byFd(fd);
    ::close(node.readFd);
    if (node.writeFd >= 0) ::close(node.writeFd);
    node.readFd = node.writeFd = -1;
  }

  // Test controls.
  void add(const Device& device, std::vector<uint32_t> keys) {
    nodes[device.node].device = device;
    nodes[device.node].keys = std::move(keys);
  }
  void announce(bool added, const std::string& node) {
    pending_.push_back(Change{added, nodes.at(node).device});
    ASSERT_EQ(write(changes_[1], "c", 1), 1);
  }
  // One key change as a receiver reports it (scan code, key, report), written
  // in two pieces that split a record, as a read may find it.
  void key(const std::string& node, uint16_t code, int32_t value) {
    input_event records[3] = {};
    records[0].type = EV_MSC;
    records[0].code = MSC_SCAN;
    records[1].type = EV_KEY;
    records[1].code = code;
    records[1].value = value;
    records[2].type = EV_SYN;
    const char* bytes = reinterpret_cast<const char*>(records);
    size_t split = sizeof(input_event) + 5;
    ASSERT_EQ(write(nodes.at(node).writeFd, bytes, split), static_cast<ssize_t>(split));
    ASSERT_EQ(write(nodes.at(node).writeFd, bytes + split, sizeof records - split),
              static_cast<ssize_t>(sizeof records - split));
  }
  void unplug(const std::string& node) {  // the device node reports its end, as an unplugged one does
    ::close(nodes.at(node).writeFd);
    nodes.at(node).writeFd = -1;
  }
  bool isOpen(const std::string& node) { return nodes.at(node).readFd >= 0; }

  std::map<std::string, Node> nodes;

 private:
  Node& byFd(int fd) {
    for (auto& entry : nodes)
      if (entry.second.readFd == fd) return entry.second;
    throw std::logic_error("unknown descriptor");
  }
  int changes_[2] = {-1, -1};
  std::deque<Change> pending_;
};

// The key tables of the kernel's Apple IR driver and of a remote's map under the IR receiver core.
const std::vector<uint32_t> kAppleIRKeys = {KEY_MENU,     KEY_PLAYPAUSE,  KEY_FORWARD, KEY_BACK,
                                            KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_ENTER};
const std::vector<uint32_t> kMediaCenterKeys = {KEY_PLAY,     KEY_PAUSE,      KEY_STOP, KEY_NEXT, KEY_PREVIOUS,
                                                KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_OK,   KEY_UP,   KEY_DOWN};

struct Button {
  int32_t code;
  bool pressed;
  bool operator==(const Button& o) const { return code == o.code && pressed == o.pressed; }
};

class Recorder : public HIDRemoteDelegate {
 public:
  void foundNewHardware(HIDRemote*, const HIDRemoteHardwareAttributes& a) override { found.push_back(a.product); }
  void failedNewHardware(HIDRemote*, const HIDRemoteError* e) override { failures.push_back(e ? e->code : 0); }
  void releasedHardware(HIDRemote*, const HIDRemoteHardwareAttributes& a) override { released.push_back(a.product); }
  void eventWithButton(HIDRemote*, int32_t code, bool pressed, const HIDRemoteHardwareAttributes&) override {
    buttons.push_back({code, pressed});
  }
  std::vector<std::string> found, released;
  std::vector<int32_t> failures;
  std::vector<Button> buttons;
};

HIDRemoteInputSystem::Device device(const std::string& node, const std::string& driver, const std::string& product) {
  return HIDRemoteInputSystem::Device{node, driver, product, "", ""};
}

class HIDRemoteEvdevLayerTest : public ::testing::Test {
 protected:
  HIDRemoteEvdevLayerTest()
      : system(new FakeInputSystem()),
        layer(std::unique_ptr<HIDRemoteInputSystem>(system)),
        remote(&layer, &center, 4242, "velora-test") {
    remote.setDelegate(&recorder);
  }
  ~HIDRemoteEvdevLayerTest() override { remote.stopRemoteControl(); }

  FakeInputSystem* system;  // owned by the layer
  HIDRemoteEvdevLayer layer;
  FakeNotificationCenter center;
  Recorder recorder;
  HIDRemote remote;
  SystemLogCapture log;
};

TEST_F(HIDRemoteEvdevLayerTest, ReceiversComeAndGoAndTheirDriversKeysBecomeButtons) {
  system->add(device("/dev/input/event3", "appleir", "Apple IR"), kAppleIRKeys);
  system->add(device("/dev/input/event1", "atkbd", "Keyboard"), {KEY_A, KEY_PLAYPAUSE, KEY_NEXTSONG, KEY_VOLUMEUP});
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusive));
  EXPECT_EQ(recorder.found, (std::vector<std::string>{"Apple IR"}));
  EXPECT_TRUE(system->nodes["/dev/input/event3"].grabbed);
  EXPECT_FALSE(system->isOpen("/dev/input/event1")) << "a keyboard is never opened";

  // The ring's right and left, as the Apple IR driver reports them; play held
  // down repeats (value 2) without becoming another press.
  for (uint16_t key : {KEY_FORWARD, KEY_BACK, KEY_PLAYPAUSE}) {
    system->key("/dev/input/event3", key, 1);
    if (key == KEY_PLAYPAUSE) system->key("/dev/input/event3", key, 2);
    system->key("/dev/input/event3", key, 0);
  }
  ASSERT_TRUE(runUntil([&] { return recorder.buttons.size() >= 6; }));
  EXPECT_EQ(recorder.buttons,
            (std::vector<Button>{{4, true}, {4, false}, {3, true}, {3, false}, {7, true}, {7, false}}));

  // A receiver plugged in later, with the skip and replay keys of its map.
  recorder.buttons.clear();
  system->add(device("/dev/input/event7", "rc-core", "MCE IR"), kMediaCenterKeys);
  system->announce(true, "/dev/input/event7");
  ASSERT_TRUE(runUntil([&] { return recorder.found.size() == 2; }));
  system->key("/dev/input/event7", KEY_NEXT, 1);
  system->key("/dev/input/event7", KEY_PREVIOUS, 1);
  system->key("/dev/input/event7", KEY_PREVIOUS, 0);
  ASSERT_TRUE(runUntil([&] { return recorder.buttons.size() >= 4; }));
  EXPECT_EQ(recorder.buttons, (std::vector<Button>{{4, true}, {4, false}, {3, true}, {3, false}}));

  system->announce(false, "/dev/input/event7");  // udev's removal
  system->unplug("/dev/input/event3");           // a node that reports its end first
  ASSERT_TRUE(runUntil([&] { return recorder.released.size() == 2; }));
  EXPECT_FALSE(system->isOpen("/dev/input/event3"));
  EXPECT_EQ(remote.activeRemoteControlCount(), 0u);
}

TEST_F(HIDRemoteEvdevLayerTest, AHeldButtonIsReportedHeldOnceFromTheKernelsRepeat) {
  system->add(device("/dev/input/event3", "appleir", "Apple IR"), kAppleIRKeys);
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusive));
  system->key("/dev/input/event3", KEY_BACK, 1);
  for (int i = 0; i < 5; ++i) system->key("/dev/input/event3", KEY_BACK, 2);
  system->key("/dev/input/event3", KEY_BACK, 0);
  ASSERT_TRUE(runUntil([&] { return recorder.buttons.size() >= 4; }));
  runMainLoopFor(50);
  EXPECT_EQ(recorder.buttons, (std::vector<Button>{{3, true}, {3, false}, {0x10003, true}, {0x10003, false}}));
}

TEST_F(HIDRemoteEvdevLayerTest, ANodeWeMayNotOpenIsLoggedOnceWithTheRemedy) {
  system->add(device("/dev/input/event5", "appleir", "Apple IR"), kAppleIRKeys);
  system->nodes["/dev/input/event5"].openError = EACCES;
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusiveAuto));
  remote.stopRemoteControl();
  ASSERT_TRUE(remote.startRemoteControl(kHIDRemoteModeExclusiveAuto));
  EXPECT_EQ(recorder.failures, (std::vector<int32_t>{EACCES, EACCES}));
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  for (const char* part : {"/dev/input/event5", "Apple IR", "Permission denied", "uaccess", "README"}) {
    EXPECT_NE(lines[0].find(part), std::string::npos) << part << " in " << lines[0];
  }
}

TEST(HIDRemoteLinuxInputSystemTest, TheDriverIsTheNearestNamedOneOrTheReceiverCore) {
  using Ancestry = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    Ancestry ancestry;
    std::string driver;
  } cases[] = {
      {{{"input", ""}, {"input", ""}, {"hid", "appleir"}, {"usb", "usbhid"}}, "appleir"},
      {{{"input", ""}, {"input", ""}, {"rc", ""}, {"usb", "mceusb"}}, "rc-core"},
      {{{"input", ""}, {"serio", "atkbd"}}, "atkbd"},
      {{{"input", ""}}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HIDRemoteLinuxInputSystem::driverOf(c.ancestry), c.driver);
}

}  // namespace
