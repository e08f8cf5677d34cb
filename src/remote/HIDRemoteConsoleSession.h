#pragma once

#include <functional>

// Whether this login session is the one at the console (its seat's active
// session): a receiver seized by a session in the background would be lost
// to the user in front of the machine.
//
// Thread: the thread that runs the remote; changes arrive on its main context.
class HIDRemoteConsoleSession {
 public:
  using ActiveHandler = std::function<void(bool active)>;

  virtual ~HIDRemoteConsoleSession() = default;
  // Reports each change of the session's state from now on (the session is
  // taken as active until told otherwise). A session that cannot be watched
  // reports nothing.
  virtual void startWatching(ActiveHandler changed) = 0;
  virtual void stopWatching() = 0;
};
