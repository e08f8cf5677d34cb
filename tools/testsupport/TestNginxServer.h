#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "TestHttpServer.h"

// nginx serving a folder of fixture files on 127.0.0.1, as a real peer for
// range requests: one process in the foreground (no master), its configuration,
// logs and temporary files in a private folder, its access log in the request
// log format of TestHttpServer. Started by the constructor, stopped by the
// destructor; for tests and benchmarks only.
class TestNginxServer {
 public:
  explicit TestNginxServer(const std::string& root);
  ~TestNginxServer();
  TestNginxServer(const TestNginxServer&) = delete;
  TestNginxServer& operator=(const TestNginxServer&) = delete;

  // False when nginx is missing or did not come up (the reason went to stderr).
  bool isRunning() const { return pid_ > 0; }
  int getPort() const { return port_; }
  std::string url(const std::string& path) const;

  std::vector<TestHttpRequest> getRequests() const;
  void clearRequests();
  // getRequests once at least count requests are logged (a server logs a
  // request just after its last byte went out), or after 10 seconds.
  std::vector<TestHttpRequest> waitForRequests(size_t count) const;

 private:
  bool start(const std::string& root);
  void stop();

  pid_t pid_ = -1;
  int port_ = 0;
  std::string folder_;
  size_t skipped_ = 0;
};
