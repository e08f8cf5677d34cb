#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "JKValue.h"

// tools/velora-core in a child process, spoken to as the page would: one JSON
// command per line on its stdin, every line of its stdout parsed and kept.
// For end-to-end tests only. Waits are bounded so that a broken build fails
// instead of hanging; they measure nothing.
class CoreDriverProcess {
 public:
  // Starts `tool` with `arguments`.
  CoreDriverProcess(const std::string& tool, const std::vector<std::string>& arguments);
  // Ends the child (quit, then SIGKILL if it lingers) and reaps it.
  ~CoreDriverProcess();
  CoreDriverProcess(const CoreDriverProcess&) = delete;
  CoreDriverProcess& operator=(const CoreDriverProcess&) = delete;

  // True once the driver reported a successful start (within timeoutSeconds).
  bool waitUntilStarted(int timeoutSeconds = 60);

  // Sends a call and waits for its answer line (at most timeoutSeconds); the
  // "result" of that line, or null (with the line's error in *error when
  // given).
  JKValue call(const std::string& name, const JKValue& args, std::string* error = nullptr, int timeoutSeconds = 120);
  // Sends every call at once, as a page that calls without waiting would,
  // then waits for their answers; the answer lines in order (null for one
  // that never came).
  std::vector<JKValue> callAll(const std::vector<std::pair<std::string, JKValue>>& calls);
  // Sends a call whose answer comes later as a callback; returns the
  // callback's line ({"callback": id, ...}).
  JKValue callAndWaitForCallback(const std::string& name, const JKValue& args);

  // Waits until some line read so far (or later) satisfies `match`.
  bool waitForLine(const std::function<bool(const JKValue&)>& match, JKValue* found = nullptr, int timeoutSeconds = 60);

  // The child's process id (for its /proc entries).
  pid_t pid() const { return pid_; }

  // Every line read so far.
  std::vector<JKValue> lines();

  // Sends "quit" and waits for the child's exit status (-1 when it died).
  int quit();
  // kill -9, as a crash would; reaps the child.
  void kill();

 private:
  void send(const std::string& line);
  // The command line of a call; its id is taken from the sequence.
  std::string commandLine(const std::string& name, const JKValue& args, long* id);
  JKValue waitForAnswer(long id, int timeoutSeconds = 120);
  void readLines();
  int reap();

  pid_t pid_;
  int input_;
  int output_;
  long nextId_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<JKValue> lines_;
  bool ended_;
};
