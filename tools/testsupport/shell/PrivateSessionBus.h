// A D-Bus message bus of the test's own (dbus-daemon in a child process),
// configured as a session bus that lets everyone own and call everything,
// with a message size limit of the test's choosing: a client that sends a
// larger message is disconnected by the bus, as a desktop's bus does.
//
// Threads: the tests' main thread.
#pragma once

#include <glib.h>

#include <cstddef>
#include <string>

class PrivateSessionBus {
 public:
  // Starts the bus; address() is empty when it could not start.
  explicit PrivateSessionBus(size_t maxMessageBytes);
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // The bus's address, for DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

 private:
  std::string folder_;
  std::string address_;
  GPid pid_ = 0;
};
