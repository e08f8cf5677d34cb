// The extension's end of direct calls (see PageChannelProtocol.h): a socket
// beside the page-object channel on which a value-returning call is asked
// first, blocking, so that what the application may answer off its main
// thread comes back without D-Bus's thread hops on either side.
//
// Threads: the web process's main thread (the page's script waits in ask).
#pragma once

#include <glib.h>

#include <cstdint>

class DirectCallClient {
 public:
  DirectCallClient() = default;
  ~DirectCallClient() { close(); }
  DirectCallClient(const DirectCallClient&) = delete;
  DirectCallClient& operator=(const DirectCallClient&) = delete;

  // Makes a new socket pair (closing any earlier one) and returns the
  // application's end, which the caller hands over and closes; -1 (with a
  // warning) when none can be made.
  int open();
  bool isOpen() const { return socket_ >= 0; }
  void close();

  enum class Outcome {
    kAnswered,     // *result holds the answer (a "v"; the caller unrefs it)
    kAskWithCall,  // ask it over the connection this time
    kNeverHere,    // ask this method over the connection from now on
    kFailed,       // the socket is closed now; ask over the connection
  };
  // messages: how many messages the extension sent on the connection before
  // this call. parameters: the call as Call takes it, "(tssav)".
  Outcome ask(uint64_t messages, GVariant* parameters, GVariant** result);

 private:
  Outcome fail(const char* what);

  int socket_ = -1;
};
