#pragma once

#include <deque>
#include <string>

#include "HIDRemoteTypes.h"

// Reads the key events of one evdev device from its (non-blocking) file
// descriptor: whole `input_event` records, key presses, releases and the
// kernel's repeats of a key held down (every other event type is dropped).
class HIDRemoteEvdevReader {
 public:
  enum Status { kMoreEvents, kEmpty, kGone };

  explicit HIDRemoteEvdevReader(int fd) : fd_(fd) {}

  // Takes the next key event, reading the descriptor when nothing is buffered.
  // kEmpty when nothing more is there now; kGone when the device went away
  // (ENODEV, end of file, or a read error) — reported once, then kEmpty.
  Status next(HIDRemoteQueueEvent* event);

 private:
  void fill();

  int fd_;
  std::string partial_;  // bytes of a record not yet complete
  std::deque<HIDRemoteQueueEvent> events_;
  bool gone_ = false;
  bool goneReported_ = false;
};
