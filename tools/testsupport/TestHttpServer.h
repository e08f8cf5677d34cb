#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// One request as a test server logged it, in the order it was answered.
struct TestHttpRequest {
  int connection = 0;  // the server's number for the TCP connection
  std::string method;
  std::string path;
  std::string range;   // the Range header, "-" when there was none
  std::string status;  // the status code, or "aborted" when the client went away
  size_t bytes = 0;    // body bytes the server managed to send
  size_t arrival = 0;  // order of arrival (the log's own order when it has none)
};

// One part of a multipart form that the server received, as Python's email
// parser read it.
struct TestHttpFormPart {
  std::string name;         // the Content-Disposition name, "" when absent
  std::string filename;     // "" when the part has none
  std::string contentType;  // "" when the part has none
  std::string bytes;        // the decoded payload
};

// One POST the server received.
struct TestHttpForm {
  std::string path;
  std::string contentType;  // the request's Content-Type header
  std::string defects;      // "ok", or the parser's defects (comma-separated)
  std::vector<TestHttpFormPart> parts;
  // The first part of that name, or null.
  const TestHttpFormPart* part(const std::string& name) const;
};

// The fault-injecting HTTP/1.1 test server (tools/testserver/testserver.py) in
// a child process on 127.0.0.1 and an ephemeral port. The path of each URL
// chooses the content and the faults (see the script's help). Started by the
// constructor, stopped by the destructor; for tests and benchmarks only.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // False when the server could not be started (the reason went to stderr).
  bool isRunning() const { return pid_ > 0 && port_ > 0; }
  int getPort() const { return port_; }
  // The server's process id (to stop and continue it with signals).
  pid_t getPid() const { return pid_; }
  // The server goes away: new connections to its port are refused and every
  // open one is cut, as when a server or the network to it is gone. False
  // when the server did not confirm it.
  bool goAway();
  // The server listens again on the same port (and the same request log).
  bool comeBack();

  // "http://127.0.0.1:<port>" followed by the path (which starts with '/').
  std::string url(const std::string& path) const;

  // Every request logged since the last clearRequests, in order of arrival.
  std::vector<TestHttpRequest> getRequests() const;
  // Forgets the requests logged so far (the log itself keeps them).
  void clearRequests();
  // getRequests once at least count requests are logged (a server logs a
  // request just after its last byte went out), or after 10 seconds.
  std::vector<TestHttpRequest> waitForRequests(size_t count) const;

  // Every POST received so far, in order of arrival, with its multipart body
  // parsed by the server (Python's email parser).
  std::vector<TestHttpForm> getForms() const;

  // The bytes the server sends for a seed: byte i of the content.
  static uint8_t contentByte(unsigned seed, size_t offset);
  static std::vector<uint8_t> content(unsigned seed, size_t offset, size_t length);

  // Drops every proxy setting of the environment, so that transfers to
  // 127.0.0.1 go straight to the server. Call before the first transfer.
  static void clearProxyEnvironment();

 private:
  bool signalAndAwait(int signal, const char* answer);

  pid_t pid_ = -1;
  int port_ = 0;
  int output_ = -1;  // the server's standard output
  std::string folder_;
  std::string logPath_;
  std::string formsFolder_;
  size_t clearedArrival_ = 0;
};

// Parses a request log of tab-separated lines: connection, method, path, range,
// status, bytes and, from the test server, the order of arrival (the format of
// both the test server and the nginx harness). Requests come in arrival order.
std::vector<TestHttpRequest> parseRequestLog(const std::string& path);
