#pragma once

#include <optional>

#include "HIDRemoteTypes.h"

class HIDRemote;

// Receives the remote's callbacks on the thread that started it. Every
// operation is optional: the defaults stand for "does not answer".
class HIDRemoteDelegate {
 public:
  virtual ~HIDRemoteDelegate() = default;

  // A receiver was pre-matched; an answer replaces the pre-match result.
  virtual std::optional<bool> inspectNewHardware(HIDRemote*, const HIDRemoteService&, bool prematchResult) {
    return std::nullopt;
  }
  virtual void foundNewHardware(HIDRemote*, const HIDRemoteHardwareAttributes&) {}
  // error is null for a set-up refused without an error of its own.
  virtual void failedNewHardware(HIDRemote*, const HIDRemoteError* error) {}
  virtual void releasedHardware(HIDRemote*, const HIDRemoteHardwareAttributes&) {}
  virtual void eventWithButton(HIDRemote*, int32_t buttonCode, bool isPressed, const HIDRemoteHardwareAttributes&) {}
  virtual void remoteIDChanged(HIDRemote*, int32_t oldID, int32_t newID, const HIDRemoteHardwareAttributes&) {}
  // Coordination with other applications; nullopt: does not answer.
  virtual std::optional<bool> shouldRetryExclusiveLock(HIDRemote*, const HIDRemoteInfo&) { return std::nullopt; }
  virtual std::optional<bool> lendExclusiveLockToApplication(HIDRemote*, const HIDRemoteInfo&) { return std::nullopt; }
  // The lock came back from a borrower. Return true when handled; false lets
  // the remote start again in exclusive mode.
  virtual bool exclusiveLockReleasedByApplication(HIDRemote*, const HIDRemoteInfo&) { return false; }
};
