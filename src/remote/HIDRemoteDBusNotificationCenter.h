#pragma once

#include <gio/gio.h>

#include <set>

#include "HIDRemoteNotificationCenter.h"

// Coordination messages as signals on the D-Bus session bus, seen by every
// application on the session that uses the same interface (this one included).
class HIDRemoteDBusNotificationCenter : public HIDRemoteNotificationCenter {
 public:
  // Over the given connection (a reference is taken), or, when null, the
  // session bus, connected on first use. Without a bus, posts and observers
  // do nothing.
  explicit HIDRemoteDBusNotificationCenter(GDBusConnection* connection = nullptr);
  ~HIDRemoteDBusNotificationCenter() override;

  void post(const std::string& name, const std::string& object, const HIDRemoteInfo& userInfo) override;
  unsigned observe(const std::string& name, const std::string& object, bool anyObject, Observer observer) override;
  void removeObserver(unsigned id) override;

  // The user information as a D-Bus dictionary, and back; exposed for tests.
  static GVariant* toVariant(const HIDRemoteInfo& info);
  static HIDRemoteInfo fromVariant(GVariant* dictionary);

 private:
  GDBusConnection* connection();

  GDBusConnection* connection_ = nullptr;
  bool triedSessionBus_ = false;
  std::set<unsigned> observers_;  // subscription ids
};
