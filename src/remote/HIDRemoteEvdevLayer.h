#pragma once

#include <map>
#include <memory>
#include <string>

#include <glib.h>

#include "HIDRemoteDeviceLayer.h"
#include "HIDRemoteEvdevReader.h"

struct udev;
struct udev_device;
struct udev_monitor;
struct libevdev;

// Remote receivers on Linux: input devices found and watched through udev,
// read through evdev, seized with EVIOCGRAB for exclusive use.
class HIDRemoteEvdevLayer : public HIDRemoteDeviceLayer {
 public:
  HIDRemoteEvdevLayer();
  ~HIDRemoteEvdevLayer() override;

  bool startWatching(Listener* listener) override;
  void stopWatching() override;
  int open(unsigned number, bool seize, std::vector<uint32_t>* cookies) override;
  int startQueue(unsigned number) override;
  bool nextEvent(unsigned number, HIDRemoteQueueEvent* event) override;
  void close(unsigned number) override;

  // The driver that stands behind an input device: the kernel driver of the
  // nearest parent that has one, or "rc-core" under the IR receiver core.
  static std::string driverOf(udev_device* device);

 private:
  struct Device {
    std::string node;  // /dev/input/eventN
    int fd = -1;
    libevdev* evdev = nullptr;
    std::unique_ptr<HIDRemoteEvdevReader> reader;
    guint watch = 0;
  };

  void report(udev_device* device);
  void deviceRemoved(const std::string& node);
  void closeDevice(Device& device);
  static gboolean monitorReadable(gint fd, GIOCondition condition, gpointer self);
  static gboolean deviceReadable(gint fd, GIOCondition condition, gpointer data);

  Listener* listener_ = nullptr;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  guint monitorWatch_ = 0;
  unsigned nextNumber_ = 1;
  std::map<unsigned, Device> devices_;  // by service number
};
