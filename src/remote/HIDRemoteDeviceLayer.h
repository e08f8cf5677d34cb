#pragma once

#include <cstdint>
#include <vector>

#include "HIDRemoteTypes.h"

// The platform's access to remote receivers, as the remote needs it: finding
// receivers and watching them come and go, opening one (shared or seized),
// and draining its events. Every callback runs on the main context of the
// thread that called startWatching.
class HIDRemoteDeviceLayer {
 public:
  class Listener {
   public:
    virtual void serviceMatched(const HIDRemoteService& service) = 0;
    // The device went away; reported once per service.
    virtual void serviceTerminated(unsigned number) = 0;
    // The device's queue has events: drain it with nextEvent.
    virtual void queueHasEvents(unsigned number) = 0;

   protected:
    ~Listener() = default;
  };

  virtual ~HIDRemoteDeviceLayer() = default;

  // Reports each device present now, then each arrival and removal.
  // False when the devices cannot be watched.
  virtual bool startWatching(Listener* listener) = 0;
  virtual void stopWatching() = 0;

  // Opens the device, for exclusive use with seize. Fills the element cookies
  // (key codes) it reports. Returns 0, or the errno value of the failure.
  virtual int open(unsigned number, bool seize, std::vector<uint32_t>* cookies) = 0;
  // Starts reporting queueHasEvents for an open device. 0 or an errno value.
  virtual int startQueue(unsigned number) = 0;
  // Takes the next event without waiting; false when the queue is empty.
  virtual bool nextEvent(unsigned number, HIDRemoteQueueEvent* event) = 0;
  // Releases the device (and the seize). Unknown or closed numbers are ignored.
  virtual void close(unsigned number) = 0;
};
