#include "TestHttpServer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VELORA_TESTSERVER_SCRIPT
#error "VELORA_TESTSERVER_SCRIPT must name tools/testserver/testserver.py"
#endif

namespace {

const int kPeriod = 65521;

std::string makeTemporaryFolder() {
  char pattern[] = "/tmp/velora-testserver-XXXXXX";
  const char* folder = mkdtemp(pattern);
  return folder ? folder : "";
}

// Reads one line from the child's stdout, waiting at most timeoutMs.
std::string readLine(int fd, int timeoutMs) {
  std::string line;
  char c;
  while (true) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return "";
    ssize_t n = read(fd, &c, 1);
    if (n <= 0) return "";
    if (c == '\n') return line;
    line += c;
  }
}

// The names of the plain entries of a folder.
std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

void removeFolder(const std::string& folder) {
  for (const std::string& name : listFolder(folder)) unlink((folder + "/" + name).c_str());
  rmdir(folder.c_str());
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '\t')) fields.push_back(field);
  return fields;
}

std::string orEmpty(const std::string& field) {
  return field == "-" ? std::string() : field;
}

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

TestHttpForm parseForm(const std::string& path) {
  TestHttpForm form;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields = splitTabs(line);
    if (fields.size() == 4 && fields[0] == "form") {
      form.path = orEmpty(fields[1]);
      form.contentType = orEmpty(fields[2]);
      form.defects = fields[3];
    } else if (fields.size() >= 4 && fields[0] == "part") {
      TestHttpFormPart part;
      part.name = orEmpty(fields[1]);
      part.filename = orEmpty(fields[2]);
      part.contentType = orEmpty(fields[3]);
      if (fields.size() == 5) part.bytes = fromHex(fields[4]);
      form.parts.push_back(part);
    }
  }
  return form;
}

}  // namespace

const TestHttpFormPart* TestHttpForm::part(const std::string& name) const {
  for (const TestHttpFormPart& candidate : parts) {
    if (candidate.name == name) return &candidate;
  }
  return nullptr;
}

TestHttpServer::TestHttpServer() {
  clearProxyEnvironment();
  folder_ = makeTemporaryFolder();
  logPath_ = folder_ + "/requests.log";
  formsFolder_ = folder_ + "/forms";
  int pipeFds[2];
  if (folder_.empty() || mkdir(formsFolder_.c_str(), 0700) != 0 || pipe(pipeFds) != 0) {
    fprintf(stderr, "TestHttpServer: no temporary folder or pipe: %s\n", strerror(errno));
    return;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // The server ends with the test that started it, even one that crashed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execlp("python3", "python3", VELORA_TESTSERVER_SCRIPT, "--log", logPath_.c_str(), "--forms", formsFolder_.c_str(),
           (char*)nullptr);
    fprintf(stderr, "TestHttpServer: cannot run python3: %s\n", strerror(errno));
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    fprintf(stderr, "TestHttpServer: fork failed: %s\n", strerror(errno));
    return;
  }
  pid_ = pid;
  // Kept open: the server tells on it when it has gone away or come back.
  output_ = pipeFds[0];
  std::string line = readLine(output_, 20000);
  if (line.compare(0, 5, "PORT ") == 0) port_ = atoi(line.c_str() + 5);
  if (port_ <= 0) fprintf(stderr, "TestHttpServer: the server did not announce its port\n");
}

TestHttpServer::~TestHttpServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (output_ >= 0) close(output_);
  if (!folder_.empty()) {
    unlink(logPath_.c_str());
    removeFolder(formsFolder_);
    rmdir(folder_.c_str());
  }
}

bool TestHttpServer::signalAndAwait(int signal, const char* answer) {
  if (pid_ <= 0 || output_ < 0 || kill(pid_, signal) != 0) return false;
  return readLine(output_, 30000) == answer;
}

bool TestHttpServer::goAway() {
  return signalAndAwait(SIGUSR1, "DOWN");
}

bool TestHttpServer::comeBack() {
  return signalAndAwait(SIGUSR2, "UP");
}

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<TestHttpRequest> TestHttpServer::getRequests() const {
  std::vector<TestHttpRequest> requests;
  for (const TestHttpRequest& request : parseRequestLog(logPath_)) {
    if (request.arrival > clearedArrival_) requests.push_back(request);
  }
  return requests;
}

void TestHttpServer::clearRequests() {
  for (const TestHttpRequest& request : parseRequestLog(logPath_))
    clearedArrival_ = std::max(clearedArrival_, request.arrival);
}

std::vector<TestHttpForm> TestHttpServer::getForms() const {
  std::vector<std::pair<size_t, std::string>> files;
  for (const std::string& name : listFolder(formsFolder_)) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".form") == 0)
      files.emplace_back(strtoull(name.c_str(), nullptr, 10), formsFolder_ + "/" + name);
  }
  std::sort(files.begin(), files.end());
  std::vector<TestHttpForm> forms;
  for (const auto& file : files) forms.push_back(parseForm(file.second));
  return forms;
}

uint8_t TestHttpServer::contentByte(unsigned seed, size_t offset) {
  size_t k = offset % kPeriod;
  return uint8_t(7 * k + 13 * (k >> 8) + 31 * seed);
}

std::vector<uint8_t> TestHttpServer::content(unsigned seed, size_t offset, size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = contentByte(seed, offset + i);
  return bytes;
}

void TestHttpServer::clearProxyEnvironment() {
  const char* names[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  for (const char* name : names) unsetenv(name);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

std::vector<TestHttpRequest> parseRequestLog(const std::string& path) {
  std::vector<TestHttpRequest> requests;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '\t')) fields.push_back(field);
    if (fields.size() != 6 && fields.size() != 7) continue;
    TestHttpRequest request;
    request.connection = atoi(fields[0].c_str());
    request.method = fields[1];
    request.path = fields[2];
    request.range = fields[3];
    request.status = fields[4];
    request.bytes = strtoull(fields[5].c_str(), nullptr, 10);
    request.arrival = fields.size() == 7 ? strtoull(fields[6].c_str(), nullptr, 10) : requests.size();
    requests.push_back(request);
  }
  // Requests are logged as they end; a later one may end first.
  std::stable_sort(requests.begin(), requests.end(),
                   [](const TestHttpRequest& a, const TestHttpRequest& b) { return a.arrival < b.arrival; });
  return requests;
}

std::vector<TestHttpRequest> TestHttpServer::waitForRequests(size_t count) const {
  std::vector<TestHttpRequest> requests = getRequests();
  for (int i = 0; i < 1000 && requests.size() < count; ++i) {
    usleep(10000);
    requests = getRequests();
  }
  return requests;
}
