// The application's end of one web process's direct calls (see
// PageChannelProtocol.h): a thread of its own reads the extension's requests
// from the socket and answers each through the function it was given, so that
// a call it may answer there never waits for the main loop.
//
// Threads: made and destroyed on the main thread; the function runs on the
// server's thread, one request at a time.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <thread>

class DirectCallServer {
 public:
  // Answers one request: returns a PageChannelProtocol::DirectStatus and,
  // for kDirectAnswered, sets *result to the answer (a "v" the server unrefs).
  // messages: what the request says the extension sent before it;
  // parameters: the request's "(tssav)", not trusted.
  using Answer = std::function<unsigned(uint64_t messages, GVariant* parameters, GVariant** result)>;

  // Takes the socket and starts serving it.
  DirectCallServer(int socket, Answer answer);
  // Shuts the socket down (the extension asks over the connection from then
  // on) and waits for the thread, which is never blocked by the web process.
  ~DirectCallServer();
  DirectCallServer(const DirectCallServer&) = delete;
  DirectCallServer& operator=(const DirectCallServer&) = delete;

 private:
  void serve();
  bool serveOne();

  int socket_;
  Answer answer_;
  std::thread thread_;
};
