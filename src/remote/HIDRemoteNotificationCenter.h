#pragma once

#include <functional>
#include <string>

#include "HIDRemoteTypes.h"

// Messages between the applications that share the remote receiver: posted to
// every observer on the session, this process included.
class HIDRemoteNotificationCenter {
 public:
  struct Notification {
    std::string name;
    std::string object;  // "global" or a process id in decimal
    HIDRemoteInfo userInfo;
  };
  using Observer = std::function<void(const Notification&)>;

  virtual ~HIDRemoteNotificationCenter() = default;

  virtual void post(const std::string& name, const std::string& object, const HIDRemoteInfo& userInfo) = 0;
  // Observes the name, for one object or (anyObject) for all. Observers run
  // on the main context of the thread that called observe. Returns an id.
  virtual unsigned observe(const std::string& name, const std::string& object, bool anyObject, Observer observer) = 0;
  virtual void removeObserver(unsigned id) = 0;
};

// The three messages of the protocol.
extern const char* const kHIDRemoteStatusNotification;
extern const char* const kHIDRemotePingNotification;
extern const char* const kHIDRemoteRetryNotification;
