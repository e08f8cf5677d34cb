#pragma once

#include <functional>
#include <map>
#include <string>

#include "JKValue.h"

class HeadlessDesktop;
class JsonLineWriter;
class TestPlatform;

// The page's calls as JSON commands, one per line:
//     {"id": 7, "call": "createSound", "args": ["http://..."]}
// answered by one line {"id": 7, "result": ...} (or {"id": 7, "error": "..."}).
// Calls whose answer comes later (getFiles, getFileCount) are answered with
// "result": "queued" and then by a line {"callback": 7, ...} from the core.
//
// Besides the page's calls: "mapFileUrl" [file key, url, format, data] adds to
// the URL map; "sleep" [ms] lets the core run; "waitForFileCount" [repositories,
// fileFlags, downloadState, count, timeoutMs] waits until getFileCount reaches
// count (result true) or the time runs out (false); "advanceClock" [seconds]
// moves the core's clock ahead as if the core had run that long (only with a
// test clock, see setClock; false when the worker stopped passing);
// "quit" ends the driver.
//
// Runs on the driver's main thread only.
class CoreCommands {
 public:
  CoreCommands(HeadlessDesktop* desktop, JsonLineWriter* out);

  // Runs one line; writes its answer. Bad JSON or arguments give an error
  // line, never a crash.
  void runLine(const std::string& line);

  bool isQuitRequested() const { return quit_; }

  // The core's clock, which advanceClock moves ahead (not owned; null: the
  // platform's own clock, and advanceClock answers an error).
  void setClock(TestPlatform* clock) { clock_ = clock; }

  // Lets the core run for `milliseconds` while the driver keeps answering the
  // page's part (file URLs).
  void pump(long milliseconds);

 private:
  class Arguments;
  typedef std::function<JKValue(const Arguments&)> Handler;

  void addPageCalls();
  void addAudioCalls();
  void addDownloadCalls();
  void addStorageCalls();
  void addDriverCalls();
  JKValue waitForFileCount(const Arguments& args);
  bool advanceClock(double seconds);

  HeadlessDesktop* desktop_;
  JsonLineWriter* out_;
  std::map<std::string, Handler> handlers_;
  long currentId_;
  long nextInternalId_;
  bool quit_;
  TestPlatform* clock_ = nullptr;
};
