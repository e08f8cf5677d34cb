#pragma once

#include <map>
#include <utility>

#include "HIDRemoteInputSystem.h"

struct udev;
struct udev_device;
struct udev_monitor;
struct libevdev;

// Input devices on Linux: event nodes listed and watched through udev, read
// and seized (EVIOCGRAB) through evdev. Without a udev daemon the devices
// present at start still work; arrivals are not seen.
class HIDRemoteLinuxInputSystem : public HIDRemoteInputSystem {
 public:
  ~HIDRemoteLinuxInputSystem() override;

  bool start(std::vector<Device>* present) override;
  int changesFd() const override;
  bool nextChange(Change* change) override;
  void stop() override;
  int openNode(const std::string& node) override;
  std::vector<uint32_t> keyCodes(int fd) override;
  int grab(int fd, bool exclusive) override;
  void closeNode(int fd) override;

  // The driver behind an input device, from the (subsystem, driver) pairs of
  // the device and its parents, nearest first: "rc-core" under the IR
  // receiver core, else the nearest driver named.
  static std::string driverOf(const std::vector<std::pair<std::string, std::string>>& ancestry);

 private:
  static bool describe(udev_device* device, Device* described);

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::map<int, libevdev*> evdevs_;  // by descriptor
};
