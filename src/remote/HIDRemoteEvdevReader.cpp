#include "HIDRemoteEvdevReader.h"

#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void HIDRemoteEvdevReader::fill() {
  char buffer[64 * sizeof(input_event)];
  for (;;) {
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // ENODEV when the device is unplugged; 0 at the end of a pipe
      gone_ = true;
      return;
    }
    partial_.append(buffer, static_cast<size_t>(n));
    size_t whole = partial_.size() / sizeof(input_event);
    for (size_t i = 0; i < whole; ++i) {
      input_event record;
      std::memcpy(&record, partial_.data() + i * sizeof record, sizeof record);
      if (record.type != EV_KEY) continue;
      if (record.value != kHIDRemoteKeyPressed && record.value != kHIDRemoteKeyReleased &&
          record.value != kHIDRemoteKeyRepeated) {
        continue;
      }
      events_.push_back(HIDRemoteQueueEvent{record.code, record.value});
    }
    partial_.erase(0, whole * sizeof(input_event));
    if (static_cast<size_t>(n) < sizeof buffer) return;
  }
}

HIDRemoteEvdevReader::Status HIDRemoteEvdevReader::next(HIDRemoteQueueEvent* event) {
  if (events_.empty() && !gone_) fill();
  if (!events_.empty()) {
    *event = events_.front();
    events_.pop_front();
    return kMoreEvents;
  }
  if (gone_ && !goneReported_) {
    goneReported_ = true;
    return kGone;
  }
  return kEmpty;
}
