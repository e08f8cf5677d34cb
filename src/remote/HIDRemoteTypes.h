#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <glib.h>

// Start-up modes of the remote receiver.
enum HIDRemoteMode : int32_t {
  kHIDRemoteModeNone = 0,           // not started
  kHIDRemoteModeShared = 1,         // other applications keep receiving the remote
  kHIDRemoteModeExclusive = 2,      // the receiver is seized for this application
  kHIDRemoteModeExclusiveAuto = 3,  // seized while the application is active
};

// Button codes delivered to the delegate. A held button adds kHIDRemoteButtonCodeHoldMask.
enum HIDRemoteButtonCode : int32_t {
  kHIDRemoteButtonCodeNone = 0,
  kHIDRemoteButtonCodeUp = 1,
  kHIDRemoteButtonCodeDown = 2,
  kHIDRemoteButtonCodeLeft = 3,
  kHIDRemoteButtonCodeRight = 4,
  kHIDRemoteButtonCodeCenter = 5,
  kHIDRemoteButtonCodeMenu = 6,
  kHIDRemoteButtonCodePlay = 7,
  kHIDRemoteButtonCodeHoldMask = 0x10000,
  kHIDRemoteButtonCodeIDChanged = 0x60000,
  kHIDRemoteButtonCodeAluminumMask = 0x200000,
};

// One value of a coordination message: a number, a text or a list of numbers.
using HIDRemoteValue = std::variant<int64_t, std::string, std::vector<int64_t>>;
// The user information of a coordination message, by key.
using HIDRemoteInfo = std::map<std::string, HIDRemoteValue>;

// A receiver found by the device layer, before it is opened.
struct HIDRemoteService {
  unsigned number = 0;  // unique while the device layer runs
  std::string driver;   // the kernel driver behind it ("appleir", "rc-core", ...)
  std::string product;  // empty when unknown
  std::string manufacturer;
  std::string transport;
};

// One change of a receiver's element: the element (its key code) and its value
// (non-zero pressed, zero released; kHIDRemoteKeyRepeated: still held down,
// the kernel's key repeat).
const int32_t kHIDRemoteKeyReleased = 0;
const int32_t kHIDRemoteKeyPressed = 1;
const int32_t kHIDRemoteKeyRepeated = 2;
struct HIDRemoteQueueEvent {
  uint32_t cookie = 0;
  int32_t value = 0;
};

// What the remote knows of one set-up receiver; handed to the delegate with
// every callback. Owned by the remote while the device is set up; a delegate
// that keeps it past the callback must copy what it needs.
struct HIDRemoteHardwareAttributes {
  unsigned serviceNumber = 0;
  std::string product;
  std::string manufacturer;
  std::string transport;
  std::map<uint32_t, int32_t> cookieButtonCodes;  // element cookie -> button code
  bool aluminumRemoteSupportLevelOnDemand = false;
  int64_t aluminumRemoteSupportLevel = 0;  // 0 none, 2 full
  // Event state.
  int32_t lastButtonPressed = 0;
  unsigned simulateHoldEventsTimer = 0;  // pending hold timer's id, 0 when none
  bool hasSimulateHoldEventsOriginButtonCode = false;
  int32_t simulateHoldEventsOriginButtonCode = 0;
};

// A failed device set-up: the failing status (an errno value, or
// kHIDRemoteGenericError where the step has none) and the step's internal number.
struct HIDRemoteError {
  int32_t code = 0;
  int internalErrorCode = 0;
};
const int32_t kHIDRemoteGenericError = static_cast<int32_t>(0xe00002bc);
