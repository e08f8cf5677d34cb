#include "HIDRemoteEvdevLayer.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <libudev.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

#include <glib-unix.h>

#include <cerrno>
#include <cstring>

#include "HIDRemote.h"
#include "SystemLog.h"

HIDRemoteEvdevLayer::HIDRemoteEvdevLayer() = default;

HIDRemoteEvdevLayer::~HIDRemoteEvdevLayer() { stopWatching(); }

std::string HIDRemoteEvdevLayer::driverOf(udev_device* device) {
  for (udev_device* d = device; d; d = udev_device_get_parent(d)) {
    const char* subsystem = udev_device_get_subsystem(d);
    if (subsystem && std::strcmp(subsystem, "rc") == 0) return "rc-core";
    const char* driver = udev_device_get_driver(d);
    if (driver && *driver) return driver;
  }
  return "";
}

bool HIDRemoteEvdevLayer::startWatching(Listener* listener) {
  stopWatching();
  listener_ = listener;
  udev_ = udev_new();
  if (!udev_) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_) {
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr);
    if (udev_monitor_enable_receiving(monitor_) == 0) {
      monitorWatch_ = g_unix_fd_add(udev_monitor_get_fd(monitor_), G_IO_IN, monitorReadable, this);
    }
  }
  // Without a monitor (no udev daemon here) the devices present now still work.
  udev_enumerate* enumerate = udev_enumerate_new(udev_);
  udev_enumerate_add_match_subsystem(enumerate, "input");
  udev_enumerate_scan_devices(enumerate);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (!device) continue;
    report(device);
    udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  return true;
}

void HIDRemoteEvdevLayer::stopWatching() {
  for (auto& entry : devices_) closeDevice(entry.second);
  devices_.clear();
  if (monitorWatch_) g_source_remove(monitorWatch_);
  monitorWatch_ = 0;
  if (monitor_) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
  if (udev_) udev_unref(udev_);
  udev_ = nullptr;
  listener_ = nullptr;
}

void HIDRemoteEvdevLayer::report(udev_device* device) {
  const char* node = udev_device_get_devnode(device);
  if (!node || std::strncmp(node, "/dev/input/event", 16) != 0) return;
  HIDRemoteService service;
  service.number = nextNumber_++;
  service.driver = driverOf(device);
  udev_device* parent = udev_device_get_parent_with_subsystem_devtype(device, "input", nullptr);
  const char* name = parent ? udev_device_get_sysattr_value(parent, "name") : nullptr;
  const char* vendor = udev_device_get_property_value(device, "ID_VENDOR");
  const char* bus = udev_device_get_property_value(device, "ID_BUS");
  service.product = name ? name : "";
  service.manufacturer = vendor ? vendor : "";
  service.transport = bus ? bus : "";
  devices_[service.number].node = node;
  if (listener_) listener_->serviceMatched(service);
}

gboolean HIDRemoteEvdevLayer::monitorReadable(gint, GIOCondition, gpointer self) {
  auto* layer = static_cast<HIDRemoteEvdevLayer*>(self);
  udev_device* device = udev_monitor_receive_device(layer->monitor_);
  if (!device) return G_SOURCE_CONTINUE;
  const char* action = udev_device_get_action(device);
  const char* node = udev_device_get_devnode(device);
  if (action && std::strcmp(action, "add") == 0) {
    layer->report(device);
  } else if (action && std::strcmp(action, "remove") == 0 && node) {
    layer->deviceRemoved(node);
  }
  udev_device_unref(device);
  return G_SOURCE_CONTINUE;
}

void HIDRemoteEvdevLayer::deviceRemoved(const std::string& node) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (it->second.node != node) continue;
    unsigned number = it->first;
    closeDevice(it->second);
    devices_.erase(it);
    if (listener_) listener_->serviceTerminated(number);
    return;
  }
}

int HIDRemoteEvdevLayer::open(unsigned number, bool seize, std::vector<uint32_t>* cookies) {
  auto it = devices_.find(number);
  if (it == devices_.end()) return ENODEV;
  Device& device = it->second;
  if (device.fd >= 0) return EBUSY;
  device.fd = ::open(device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (device.fd < 0) return errno;
  int status = libevdev_new_from_fd(device.fd, &device.evdev);
  if (status == 0 && seize) status = libevdev_grab(device.evdev, LIBEVDEV_GRAB);
  if (status != 0) {
    closeDevice(device);
    return -status;
  }
  for (unsigned code = 0; code <= KEY_MAX; ++code) {
    if (HIDRemoteButtonCodeForKey(code) && libevdev_has_event_code(device.evdev, EV_KEY, code)) {
      cookies->push_back(code);
    }
  }
  device.reader = std::make_unique<HIDRemoteEvdevReader>(device.fd);
  return 0;
}

gboolean HIDRemoteEvdevLayer::deviceReadable(gint, GIOCondition, gpointer data) {
  auto* self = static_cast<std::pair<HIDRemoteEvdevLayer*, unsigned>*>(data);
  if (self->first->listener_) self->first->listener_->queueHasEvents(self->second);
  return G_SOURCE_CONTINUE;
}

int HIDRemoteEvdevLayer::startQueue(unsigned number) {
  auto it = devices_.find(number);
  if (it == devices_.end() || it->second.fd < 0) return ENODEV;
  auto* data = new std::pair<HIDRemoteEvdevLayer*, unsigned>(this, number);
  it->second.watch = g_unix_fd_add_full(G_PRIORITY_DEFAULT, it->second.fd,
                                        static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), deviceReadable,
                                        data, [](gpointer p) {
                                          delete static_cast<std::pair<HIDRemoteEvdevLayer*, unsigned>*>(p);
                                        });
  return 0;
}

bool HIDRemoteEvdevLayer::nextEvent(unsigned number, HIDRemoteQueueEvent* event) {
  auto it = devices_.find(number);
  if (it == devices_.end() || !it->second.reader) return false;
  switch (it->second.reader->next(event)) {
    case HIDRemoteEvdevReader::kMoreEvents:
      return true;
    case HIDRemoteEvdevReader::kEmpty:
      return false;
    case HIDRemoteEvdevReader::kGone:
      // Torn down once, after the drain that found it gone.
      g_idle_add_full(G_PRIORITY_DEFAULT,
                      [](gpointer p) -> gboolean {
                        auto* data = static_cast<std::pair<HIDRemoteEvdevLayer*, std::string>*>(p);
                        data->first->deviceRemoved(data->second);
                        return G_SOURCE_REMOVE;
                      },
                      new std::pair<HIDRemoteEvdevLayer*, std::string>(this, it->second.node),
                      [](gpointer p) { delete static_cast<std::pair<HIDRemoteEvdevLayer*, std::string>*>(p); });
      if (it->second.watch) g_source_remove(it->second.watch);
      it->second.watch = 0;
      return false;
  }
  return false;
}

void HIDRemoteEvdevLayer::close(unsigned number) {
  auto it = devices_.find(number);
  if (it != devices_.end()) closeDevice(it->second);
}

void HIDRemoteEvdevLayer::closeDevice(Device& device) {
  if (device.watch) g_source_remove(device.watch);
  device.watch = 0;
  device.reader.reset();
  if (device.evdev) {
    libevdev_grab(device.evdev, LIBEVDEV_UNGRAB);
    libevdev_free(device.evdev);
  }
  device.evdev = nullptr;
  if (device.fd >= 0) ::close(device.fd);
  device.fd = -1;
}
