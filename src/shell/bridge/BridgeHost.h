// What the bridge objects and Binding ask of the application that hosts them:
// its version, the state of the core, termination, the log upload and calls
// into the player page. The application (VeloraController) implements it and
// installs itself when it is made, before the page loads and the core starts,
// so the bridge names no application class.
//
// Threads: main thread, but for applicationVersion (any thread; the core asks
// on its worker).
#pragma once

#include <string>
#include <vector>

#include "PageValue.h"

class PageCallback;

class BridgeHost {
 public:
  // The installed host. REQUIRES: install was called; the host is never freed.
  static BridgeHost& instance();
  // Makes `host` the one instance() answers; it must outlive every bridge call.
  static void install(BridgeHost* host);

  // "short version (build)", for example "1.0.0 (1)".
  virtual std::string applicationVersion() = 0;
  // Whether the core was started and not stopped since.
  virtual bool isCoreRunning() const = 0;
  virtual void setApplicationTerminated(bool terminated) = 0;
  // Asks the application to terminate.
  virtual void requestTermination() = 0;
  // The page asks for the log bundle to be sent.
  virtual void sendLogForUserId(const std::string& userId, const std::string& login, const std::string& version) = 0;
  // Calls VeloraAPI[name](...arguments) in the current player page, if any.
  virtual void executeMethod(const std::string& name, const std::vector<PageValue>& arguments) = 0;
  // Calls the page callback once with the value and frees it.
  virtual void executeCallback(PageCallback* callback, const PageValue& value) = 0;

 protected:
  ~BridgeHost() = default;
};
