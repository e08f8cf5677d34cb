#include "HIDRemoteEvdevLayer.h"

#include <glib-unix.h>

#include <cerrno>
#include <cstring>

#include "HIDRemote.h"
#include "HIDRemoteLinuxInputSystem.h"
#include "SystemLog.h"

HIDRemoteEvdevLayer::HIDRemoteEvdevLayer() : HIDRemoteEvdevLayer(std::make_unique<HIDRemoteLinuxInputSystem>()) {}

HIDRemoteEvdevLayer::HIDRemoteEvdevLayer(std::unique_ptr<HIDRemoteInputSystem> system) : system_(std::move(system)) {}

HIDRemoteEvdevLayer::~HIDRemoteEvdevLayer() {
  stopWatching();
}

bool HIDRemoteEvdevLayer::startWatching(Listener* listener) {
  stopWatching();
  std::vector<HIDRemoteInputSystem::Device> present;
  if (!system_->start(&present)) return false;
  watching_ = true;
  listener_ = listener;
  int changes = system_->changesFd();
  if (changes >= 0) changesWatch_ = g_unix_fd_add(changes, G_IO_IN, changesReadable, this);
  for (const auto& device : present) report(device);
  return true;
}

void HIDRemoteEvdevLayer::stopWatching() {
  for (auto& entry : devices_) closeDevice(entry.second);
  devices_.clear();
  if (changesWatch_) g_source_remove(changesWatch_);
  changesWatch_ = 0;
  if (watching_) system_->stop();
  watching_ = false;
  listener_ = nullptr;
}

void HIDRemoteEvdevLayer::report(const HIDRemoteInputSystem::Device& device) {
  HIDRemoteService service;
  service.number = nextNumber_++;
  service.driver = device.driver;
  service.product = device.product;
  service.manufacturer = device.manufacturer;
  service.transport = device.transport;
  Device& entry = devices_[service.number];
  entry.node = device.node;
  entry.driver = device.driver;
  entry.product = device.product;
  if (listener_) listener_->serviceMatched(service);
}

gboolean HIDRemoteEvdevLayer::changesReadable(gint, GIOCondition, gpointer self) {
  auto* layer = static_cast<HIDRemoteEvdevLayer*>(self);
  HIDRemoteInputSystem::Change change;
  if (!layer->system_->nextChange(&change)) return G_SOURCE_CONTINUE;
  if (change.added) {
    layer->report(change.device);
  } else {
    layer->deviceRemoved(change.device.node);
  }
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

void HIDRemoteEvdevLayer::logOpenFailure(const Device& device, int error) {
  if (!loggedNodes_.insert(device.node).second) return;
  std::string message = "Cannot open the remote receiver " + device.node +
                        (device.product.empty() ? "" : " (" + device.product + ")") + ": " + std::strerror(error);
  if (error == EACCES || error == EPERM) {
    message +=
        ". To use the remote, give your user access to it: a udev rule that adds TAG+=\"uaccess\" to the"
        " receiver (see the README), or membership of the group that owns the node";
  }
  writeSystemLog("HIDRemoteEvdevLayer::open", message);
}

int HIDRemoteEvdevLayer::open(unsigned number, bool seize, std::vector<uint32_t>* cookies) {
  auto it = devices_.find(number);
  if (it == devices_.end()) return ENODEV;
  Device& device = it->second;
  if (device.fd >= 0) return EBUSY;
  int fd = system_->openNode(device.node);
  if (fd < 0) {
    logOpenFailure(device, -fd);
    return -fd;
  }
  device.fd = fd;
  if (seize) {
    if (int status = system_->grab(fd, true)) {
      closeDevice(device);
      return status;
    }
    device.seized = true;
  }
  for (uint32_t code : system_->keyCodes(fd)) {
    if (HIDRemoteButtonCodeForKey(device.driver, code)) cookies->push_back(code);
  }
  device.reader = std::make_unique<HIDRemoteEvdevReader>(fd);
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
  it->second.watch = g_unix_fd_add_full(
      G_PRIORITY_DEFAULT, it->second.fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), deviceReadable, data,
      [](gpointer p) { delete static_cast<std::pair<HIDRemoteEvdevLayer*, unsigned>*>(p); });
  return 0;
}

bool HIDRemoteEvdevLayer::nextEvent(unsigned number, HIDRemoteQueueEvent* event) {
  auto it = devices_.find(number);
  if (it == devices_.end() || !it->second.reader) return false;
  switch (it->second.reader->next(event)) {
    case HIDRemoteEvdevReader::kMoreEvents: return true;
    case HIDRemoteEvdevReader::kEmpty: return false;
    case HIDRemoteEvdevReader::kGone:
      // Torn down once, after the drain that found it gone.
      g_idle_add_full(
          G_PRIORITY_DEFAULT,
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
  if (device.fd < 0) return;
  if (device.seized) system_->grab(device.fd, false);
  device.seized = false;
  system_->closeNode(device.fd);
  device.fd = -1;
}
