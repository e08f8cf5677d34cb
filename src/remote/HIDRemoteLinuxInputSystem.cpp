#include "HIDRemoteLinuxInputSystem.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

HIDRemoteLinuxInputSystem::~HIDRemoteLinuxInputSystem() {
  for (auto& entry : evdevs_) {
    libevdev_free(entry.second);
    ::close(entry.first);
  }
  stop();
}

std::string HIDRemoteLinuxInputSystem::driverOf(const std::vector<std::pair<std::string, std::string>>& ancestry) {
  for (const auto& [subsystem, driver] : ancestry) {
    if (subsystem == "rc") return "rc-core";
    if (!driver.empty()) return driver;
  }
  return "";
}

bool HIDRemoteLinuxInputSystem::describe(udev_device* device, Device* described) {
  const char* node = udev_device_get_devnode(device);
  if (!node || std::strncmp(node, "/dev/input/event", 16) != 0) return false;
  std::vector<std::pair<std::string, std::string>> ancestry;
  for (udev_device* d = device; d; d = udev_device_get_parent(d)) {
    const char* subsystem = udev_device_get_subsystem(d);
    const char* driver = udev_device_get_driver(d);
    ancestry.emplace_back(subsystem ? subsystem : "", driver ? driver : "");
  }
  udev_device* parent = udev_device_get_parent_with_subsystem_devtype(device, "input", nullptr);
  const char* name = parent ? udev_device_get_sysattr_value(parent, "name") : nullptr;
  const char* vendor = udev_device_get_property_value(device, "ID_VENDOR");
  const char* bus = udev_device_get_property_value(device, "ID_BUS");
  described->node = node;
  described->driver = driverOf(ancestry);
  described->product = name ? name : "";
  described->manufacturer = vendor ? vendor : "";
  described->transport = bus ? bus : "";
  return true;
}

bool HIDRemoteLinuxInputSystem::start(std::vector<Device>* present) {
  stop();
  udev_ = udev_new();
  if (!udev_) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_) {
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr);
    if (udev_monitor_enable_receiving(monitor_) != 0) {
      udev_monitor_unref(monitor_);
      monitor_ = nullptr;
    }
  }
  udev_enumerate* enumerate = udev_enumerate_new(udev_);
  udev_enumerate_add_match_subsystem(enumerate, "input");
  udev_enumerate_scan_devices(enumerate);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (!device) continue;
    Device described;
    if (describe(device, &described)) present->push_back(described);
    udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  return true;
}

int HIDRemoteLinuxInputSystem::changesFd() const {
  return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

bool HIDRemoteLinuxInputSystem::nextChange(Change* change) {
  if (!monitor_) return false;
  udev_device* device = udev_monitor_receive_device(monitor_);
  if (!device) return false;
  const char* action = udev_device_get_action(device);
  bool known = action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0);
  bool described = known && describe(device, &change->device);
  change->added = described && std::strcmp(action, "add") == 0;
  udev_device_unref(device);
  return described;
}

void HIDRemoteLinuxInputSystem::stop() {
  if (monitor_) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
  if (udev_) udev_unref(udev_);
  udev_ = nullptr;
}

int HIDRemoteLinuxInputSystem::openNode(const std::string& node) {
  int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -errno;
  libevdev* evdev = nullptr;
  int status = libevdev_new_from_fd(fd, &evdev);
  if (status != 0) {
    ::close(fd);
    return status;  // already a negative errno value
  }
  evdevs_[fd] = evdev;
  return fd;
}

std::vector<uint32_t> HIDRemoteLinuxInputSystem::keyCodes(int fd) {
  std::vector<uint32_t> codes;
  auto it = evdevs_.find(fd);
  if (it == evdevs_.end()) return codes;
  for (unsigned code = 0; code <= KEY_MAX; ++code) {
    if (libevdev_has_event_code(it->second, EV_KEY, code)) codes.push_back(code);
  }
  return codes;
}

int HIDRemoteLinuxInputSystem::grab(int fd, bool exclusive) {
  auto it = evdevs_.find(fd);
  if (it == evdevs_.end()) return EBADF;
  return -libevdev_grab(it->second, exclusive ? LIBEVDEV_GRAB : LIBEVDEV_UNGRAB);
}

void HIDRemoteLinuxInputSystem::closeNode(int fd) {
  auto it = evdevs_.find(fd);
  if (it != evdevs_.end()) {
    libevdev_free(it->second);
    evdevs_.erase(it);
  }
  ::close(fd);
}
