#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The operating system's input devices as the evdev layer uses them: event
// nodes listed and watched (udev on Linux), opened, asked for their keys and
// grabbed (evdev). Tests put a scripted system of pipes in its place.
//
// Thread: the thread that runs the remote.
class HIDRemoteInputSystem {
 public:
  struct Device {
    std::string node;     // "/dev/input/eventN"
    std::string driver;   // the kernel driver behind it ("appleir", "rc-core", ...)
    std::string product;  // empty when unknown
    std::string manufacturer;
    std::string transport;
  };
  struct Change {
    bool added = false;  // false: removed
    Device device;
  };

  virtual ~HIDRemoteInputSystem() = default;

  // Lists the event nodes present now and starts watching arrivals and
  // removals. False when the devices cannot be listed at all.
  virtual bool start(std::vector<Device>* present) = 0;
  // Readable when a change waits (take it with nextChange); -1 when arrivals
  // cannot be watched here.
  virtual int changesFd() const = 0;
  virtual bool nextChange(Change* change) = 0;
  virtual void stop() = 0;

  // Opens an event node for reading without blocking: the descriptor, or a
  // negative errno value.
  virtual int openNode(const std::string& node) = 0;
  // The key codes the open device can send.
  virtual std::vector<uint32_t> keyCodes(int fd) = 0;
  // Takes the device for this process alone (true) or gives it back. 0 or an errno value.
  virtual int grab(int fd, bool exclusive) = 0;
  virtual void closeNode(int fd) = 0;
};
