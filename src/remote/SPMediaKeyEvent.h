#pragma once

#include <cstdint>

// A media key as the tap hands it to its delegate. data1 carries the key code
// in bits 16 to 31 and the key state in bits 8 to 15 (0x0A down, 0x0B up).
struct SPMediaKeyEvent {
  static const int kType = 14;
  static const int kSubtype = 8;
  static const int kKeyPlay = 16;
  static const int kKeyNext = 19;
  static const int kKeyPrevious = 20;
  static const int kStateDown = 0x0A;
  static const int kStateUp = 0x0B;

  int type = kType;
  int subtype = kSubtype;
  uint32_t data1 = 0;

  static SPMediaKeyEvent make(int keyCode, bool down) {
    SPMediaKeyEvent e;
    e.data1 = (static_cast<uint32_t>(keyCode) << 16) | (static_cast<uint32_t>(down ? kStateDown : kStateUp) << 8);
    return e;
  }
  int keyCode() const { return static_cast<int>((data1 & 0xFFFF0000u) >> 16); }
  int keyState() const { return static_cast<int>((data1 & 0x0000FF00u) >> 8); }
  bool isKeyDown() const { return keyState() == kStateDown; }
};
