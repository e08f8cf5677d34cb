#include "TestNginxServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* kNginx = "/usr/sbin/nginx";

// A port that was free a moment ago; nginx may still lose it to a race, so
// the caller retries.
int pickFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool canConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

void removeTree(const std::string& folder) {
  if (folder.empty()) return;
  std::string command = "rm -rf '" + folder + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "TestNginxServer: could not remove %s\n", folder.c_str());
}

}  // namespace

TestNginxServer::TestNginxServer(const std::string& root) {
  TestHttpServer::clearProxyEnvironment();
  if (access(kNginx, X_OK) != 0) {
    fprintf(stderr, "TestNginxServer: %s is not installed\n", kNginx);
    return;
  }
  char pattern[] = "/tmp/velora-nginx-XXXXXX";
  const char* folder = mkdtemp(pattern);
  if (!folder) {
    fprintf(stderr, "TestNginxServer: no temporary folder: %s\n", strerror(errno));
    return;
  }
  folder_ = folder;
  for (int attempt = 0; attempt < 5 && !isRunning(); ++attempt) {
    if (!start(root)) stop();
  }
}

TestNginxServer::~TestNginxServer() {
  stop();
  removeTree(folder_);
}

bool TestNginxServer::start(const std::string& root) {
  port_ = pickFreePort();
  if (port_ == 0) return false;
  const std::string config = folder_ + "/nginx.conf";
  {
    std::ofstream out(config);
    out << "daemon off;\n"
        << "master_process off;\n"
        << "user root;\n"
        << "worker_processes 1;\n"
        << "pid " << folder_ << "/nginx.pid;\n"
        << "error_log " << folder_ << "/error.log warn;\n"
        << "events { worker_connections 256; }\n"
        << "http {\n"
        << "  log_format requests "
           "'$connection\\t$request_method\\t$request_uri\\t$http_range\\t$status\\t$body_bytes_sent';\n"
        << "  access_log " << folder_ << "/access.log requests;\n"
        << "  client_body_temp_path " << folder_ << "/body;\n"
        << "  proxy_temp_path " << folder_ << "/proxy;\n"
        << "  fastcgi_temp_path " << folder_ << "/fastcgi;\n"
        << "  uwsgi_temp_path " << folder_ << "/uwsgi;\n"
        << "  scgi_temp_path " << folder_ << "/scgi;\n"
        << "  sendfile on;\n"
        << "  keepalive_requests 100000;\n"
        << "  server {\n"
        << "    listen 127.0.0.1:" << port_ << ";\n"
        << "    root " << root << ";\n"
        << "  }\n"
        << "}\n";
    if (!out) return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // The server ends with the test that started it, even one that crashed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execl(kNginx, kNginx, "-c", config.c_str(), "-p", folder_.c_str(), "-e", (folder_ + "/error.log").c_str(),
          (char*)nullptr);
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  for (int i = 0; i < 500; ++i) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      fprintf(stderr, "TestNginxServer: nginx ended at start (see %s/error.log)\n", folder_.c_str());
      return false;
    }
    if (canConnect(port_)) return true;
    usleep(10000);
  }
  fprintf(stderr, "TestNginxServer: nginx did not listen on port %d\n", port_);
  return false;
}

void TestNginxServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGQUIT);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string TestNginxServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<TestHttpRequest> TestNginxServer::getRequests() const {
  std::vector<TestHttpRequest> all = parseRequestLog(folder_ + "/access.log");
  if (skipped_ >= all.size()) return {};
  return std::vector<TestHttpRequest>(all.begin() + skipped_, all.end());
}

void TestNginxServer::clearRequests() {
  skipped_ = parseRequestLog(folder_ + "/access.log").size();
}

std::vector<TestHttpRequest> TestNginxServer::waitForRequests(size_t count) const {
  std::vector<TestHttpRequest> requests = getRequests();
  for (int i = 0; i < 1000 && requests.size() < count; ++i) {
    usleep(10000);
    requests = getRequests();
  }
  return requests;
}
