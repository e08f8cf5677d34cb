#include "CoreDriverProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONKitDeserializing.h"
#include "JSONKitSerializing.h"

namespace {

const JKValue* field(const JKValue& line, const char* key) {
  return line.isDictionary() ? line.dictionary()->objectForKey(key) : nullptr;
}

}  // namespace

CoreDriverProcess::CoreDriverProcess(const std::string& tool, const std::vector<std::string>& arguments)
    : pid_(-1), input_(-1), output_(-1), nextId_(1), ended_(false) {
  // A driver that died must fail the test, not end it with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
    std::perror("CoreDriverProcess: pipe");
    ended_ = true;
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    close(toChild[0]);
    close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    std::perror("CoreDriverProcess: exec");
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
  reader_ = std::thread(&CoreDriverProcess::readLines, this);
}

CoreDriverProcess::~CoreDriverProcess() {
  if (pid_ > 0) quit();
  if (input_ >= 0) close(input_);
  if (reader_.joinable()) reader_.join();
  if (output_ >= 0) close(output_);
}

void CoreDriverProcess::readLines() {
  std::string pending;
  char buffer[65536];
  for (;;) {
    ssize_t count = read(output_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    pending.append(buffer, size_t(count));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string text = pending.substr(0, end);
      pending.erase(0, end + 1);
      std::optional<JKValue> line = objectFromJSONString(text);
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line ? *line : JKValue(text));
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

void CoreDriverProcess::send(const std::string& line) {
  std::string text = line + "\n";
  size_t written = 0;
  while (written < text.size()) {
    ssize_t count = write(input_, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    written += size_t(count);
  }
}

bool CoreDriverProcess::waitForLine(const std::function<bool(const JKValue&)>& match, JKValue* found,
                                    int timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t seen = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    for (; seen < lines_.size(); ++seen) {
      if (match(lines_[seen])) {
        if (found) *found = lines_[seen];
        return true;
      }
    }
    if (ended_ || changed_.wait_until(lock, end) == std::cv_status::timeout) return false;
  }
}

bool CoreDriverProcess::waitUntilStarted(int timeoutSeconds) {
  JKValue line;
  bool seen = waitForLine(
      [](const JKValue& l) {
        const JKValue* event = field(l, "event");
        return event && event->stringValue() == "started";
      },
      &line, timeoutSeconds);
  const JKValue* result = field(line, "result");
  return seen && result && result->boolValue();
}

std::string CoreDriverProcess::commandLine(const std::string& name, const JKValue& args, long* id) {
  *id = nextId_++;
  JKValue command = JKValue(JKDictionary::create(true));
  command.dictionary()->setObject(JKValue(*id), std::string_view("id"));
  command.dictionary()->setObject(JKValue(name), std::string_view("call"));
  command.dictionary()->setObject(args, std::string_view("args"));
  std::optional<std::string> text = JSONString(command);
  return text ? *text : std::string();
}

JKValue CoreDriverProcess::waitForAnswer(long id, int timeoutSeconds) {
  JKValue answer;
  waitForLine(
      [id](const JKValue& l) {
        const JKValue* lineId = field(l, "id");
        return lineId && lineId->isNumber() && lineId->int64Value() == id;
      },
      &answer, timeoutSeconds);
  return answer;
}

JKValue CoreDriverProcess::call(const std::string& name, const JKValue& args, std::string* error, int timeoutSeconds) {
  long id = 0;
  std::string line = commandLine(name, args, &id);
  if (line.empty()) return JKValue();
  send(line);
  JKValue answer = waitForAnswer(id, timeoutSeconds);
  if (const JKValue* failure = field(answer, "error")) {
    if (error) *error = failure->stringValue();
    return JKValue();
  }
  const JKValue* result = field(answer, "result");
  return result ? *result : JKValue();
}

std::vector<JKValue> CoreDriverProcess::callAll(const std::vector<std::pair<std::string, JKValue>>& calls) {
  std::string text;
  std::vector<long> ids;
  for (const auto& call : calls) {
    long id = 0;
    text += commandLine(call.first, call.second, &id) + "\n";
    ids.push_back(id);
  }
  text.pop_back();
  send(text);
  // The driver answers in order: once the last answer is in, so are the others.
  waitForAnswer(ids.back());
  std::map<long, JKValue> byId;
  for (const JKValue& line : lines()) {
    const JKValue* lineId = field(line, "id");
    if (lineId && lineId->isNumber()) byId[long(lineId->int64Value())] = line;
  }
  std::vector<JKValue> answers;
  for (long id : ids) answers.push_back(byId[id]);
  return answers;
}

JKValue CoreDriverProcess::callAndWaitForCallback(const std::string& name, const JKValue& args) {
  long id = nextId_;
  call(name, args);
  JKValue answer;
  waitForLine(
      [id](const JKValue& l) {
        const JKValue* callback = field(l, "callback");
        return callback && callback->isNumber() && callback->int64Value() == id;
      },
      &answer);
  return answer;
}

std::vector<JKValue> CoreDriverProcess::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int CoreDriverProcess::quit() {
  if (pid_ <= 0) return -1;
  send("{\"call\":\"quit\"}");
  close(input_);
  input_ = -1;
  return reap();
}

void CoreDriverProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  reap();
}

int CoreDriverProcess::reap() {
  int status = 0;
  // The driver cleans the core on quit; give it time, then insist.
  for (int i = 0; i < 6000; ++i) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    usleep(10000);
  }
  ::kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}
