#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include <glib.h>

#include "HIDRemoteDeviceLayer.h"
#include "HIDRemoteEvdevReader.h"
#include "HIDRemoteInputSystem.h"

// Remote receivers on Linux: input devices listed and watched through the
// input system (udev), read as evdev records, seized with a grab for
// exclusive use. Every device is reported; the remote chooses the receivers.
// Only the keys a receiver's driver uses for the remote are handed over as
// its element cookies.
//
// A node this user may not open (root:input 0660 is the usual case) is
// written to the system log once per node, with the remedy.
class HIDRemoteEvdevLayer : public HIDRemoteDeviceLayer {
 public:
  // Over the Linux input system.
  HIDRemoteEvdevLayer();
  // Over the given system (owned).
  explicit HIDRemoteEvdevLayer(std::unique_ptr<HIDRemoteInputSystem> system);
  ~HIDRemoteEvdevLayer() override;

  bool startWatching(Listener* listener) override;
  void stopWatching() override;
  int open(unsigned number, bool seize, std::vector<uint32_t>* cookies) override;
  int startQueue(unsigned number) override;
  bool nextEvent(unsigned number, HIDRemoteQueueEvent* event) override;
  void close(unsigned number) override;

 private:
  struct Device {
    std::string node;  // /dev/input/eventN
    std::string driver;
    std::string product;
    int fd = -1;
    bool seized = false;
    std::unique_ptr<HIDRemoteEvdevReader> reader;
    guint watch = 0;
  };

  void report(const HIDRemoteInputSystem::Device& device);
  void deviceRemoved(const std::string& node);
  void closeDevice(Device& device);
  void logOpenFailure(const Device& device, int error);
  static gboolean changesReadable(gint fd, GIOCondition condition, gpointer self);
  static gboolean deviceReadable(gint fd, GIOCondition condition, gpointer data);

  std::unique_ptr<HIDRemoteInputSystem> system_;
  Listener* listener_ = nullptr;
  bool watching_ = false;
  guint changesWatch_ = 0;
  unsigned nextNumber_ = 1;
  std::map<unsigned, Device> devices_;  // by service number
  std::set<std::string> loggedNodes_;   // nodes whose open failure was logged
};
