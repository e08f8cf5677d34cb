#include "CoreCommands.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "HeadlessDesktop.h"
#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONKitDeserializing.h"
#include "JsonLineWriter.h"
#include "TestPlatform.h"
#include "VLPlayer.h"
#include "VLDesktopKeyValue.h"

namespace {

// A command whose arguments do not fit; answered with an error line.
struct CommandError : std::runtime_error {
  explicit CommandError(const std::string& message) : std::runtime_error(message) {}
};

const long kPumpStepMs = 10;
// advanceClock moves the clock in steps this long (seconds), each taken in by
// a worker pass before the next: far below the most that one pass counts
// toward a listener's patience, so that every step counts whole.
const double kClockStepSeconds = 0.25;
// The longest wait for the worker passes of one step (a guard against a
// worker that no longer runs, not a measure).
const long kPassesTimeoutMs = 10000;

}  // namespace

// Typed access to a command's "args" array.
class CoreCommands::Arguments {
 public:
  explicit Arguments(const JKValue* args) : args_(args && args->isArray() ? args->array().get() : nullptr) {}

  size_t count() const { return args_ ? args_->count() : 0; }

  const JKValue& at(size_t index, const char* what) const {
    if (index >= count())
      throw CommandError(std::string("missing argument ") + std::to_string(index + 1) + " (" + what + ")");
    return args_->objectAtIndex(index);
  }
  std::string text(size_t index) const {
    const JKValue& value = at(index, "string");
    if (!value.isString()) throw CommandError("argument " + std::to_string(index + 1) + " must be a string");
    return value.stringValue();
  }
  long integer(size_t index) const {
    const JKValue& value = at(index, "number");
    if (!value.isNumber()) throw CommandError("argument " + std::to_string(index + 1) + " must be a number");
    return long(value.int64Value());
  }
  double number(size_t index) const {
    const JKValue& value = at(index, "number");
    if (!value.isNumber()) throw CommandError("argument " + std::to_string(index + 1) + " must be a number");
    return value.doubleValue();
  }
  bool flag(size_t index) const {
    const JKValue& value = at(index, "boolean");
    if (!value.isBool() && !value.isNumber())
      throw CommandError("argument " + std::to_string(index + 1) + " must be a boolean");
    return value.boolValue();
  }
  std::vector<std::string> texts(size_t index) const {
    const JKValue& value = at(index, "array of strings");
    if (!value.isArray()) throw CommandError("argument " + std::to_string(index + 1) + " must be an array of strings");
    std::vector<std::string> result;
    for (const JKValue& element : *value.array()) {
      if (!element.isString()) throw CommandError("argument " + std::to_string(index + 1) + " must hold strings only");
      result.push_back(element.stringValue());
    }
    return result;
  }

 private:
  const JKArray* args_;
};

CoreCommands::CoreCommands(HeadlessDesktop* desktop, JsonLineWriter* out)
    : desktop_(desktop), out_(out), currentId_(0), nextInternalId_(-1), quit_(false) {
  addPageCalls();
  addAudioCalls();
  addDownloadCalls();
  addStorageCalls();
  addDriverCalls();
}

void CoreCommands::runLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  JKValue answer = jsonObject();
  JKError parseError;
  std::optional<JKValue> command = objectFromJSONString(line, 0, &parseError);
  if (!command || !command->isDictionary()) {
    jsonSet(answer, "error", command ? "a command must be a JSON object" : "bad JSON: " + parseError.message);
    out_->write(answer);
    return;
  }
  const JKValue* id = command->dictionary()->objectForKey("id");
  const JKValue* call = command->dictionary()->objectForKey("call");
  currentId_ = id && id->isNumber() ? long(id->int64Value()) : 0;
  if (id) jsonSet(answer, "id", *id);
  if (!call || !call->isString()) {
    jsonSet(answer, "error", "a command needs \"call\"");
    out_->write(answer);
    return;
  }
  auto handler = handlers_.find(call->stringValue());
  if (handler == handlers_.end()) {
    jsonSet(answer, "error", "unknown call: " + call->stringValue());
    out_->write(answer);
    return;
  }
  try {
    Arguments args(command->dictionary()->objectForKey("args"));
    jsonSet(answer, "result", handler->second(args));
  } catch (const CommandError& error) {
    jsonSet(answer, "error", std::string(call->stringValue()) + ": " + error.what());
  }
  out_->write(answer);
}

void CoreCommands::pump(long milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  do {
    desktop_->answerFileUrls();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPumpStepMs));
  } while (std::chrono::steady_clock::now() < end);
  desktop_->answerFileUrls();
}

void CoreCommands::addPageCalls() {
  HeadlessDesktop* d = desktop_;
  handlers_["setJSReady"] = [d](const Arguments& a) {
    d->setJSReady(a.flag(0));
    return JKValue(true);
  };
  handlers_["isJSReady"] = [d](const Arguments&) { return JKValue(d->isJSReady()); };
  handlers_["setUserId"] = [d](const Arguments& a) {
    d->setUserId(a.text(0));
    return JKValue(true);
  };
  handlers_["setSetting"] = [d](const Arguments& a) {
    d->setSetting(a.text(0), a.text(1));
    return JKValue(true);
  };
  handlers_["getSetting"] = [d](const Arguments& a) { return JKValue(d->getSetting(a.text(0))); };
  handlers_["resetSettings"] = [d](const Arguments&) {
    d->resetSettings();
    return JKValue(true);
  };
  handlers_["getDeviceInfo"] = [d](const Arguments& a) {
    std::string* text = nullptr;
    double* number = nullptr;
    std::vector<VLDesktopKeyValue*>* list = nullptr;
    d->getDeviceInfo(a.text(0), text, number, list);
    JKValue result;
    if (text)
      result = JKValue(*text);
    else if (number)
      result = JKValue(*number);
    else if (list) {
      result = jsonArray();
      for (VLDesktopKeyValue* pair : *list) {
        JKValue entry = jsonObject();
        jsonSet(entry, "key", pair->getKey());
        jsonSet(entry, "value", pair->getValue());
        jsonAppend(result, entry);
        delete pair;
      }
    }
    delete text;
    delete number;
    delete list;
    return result;
  };
  handlers_["getFiles"] = [this](const Arguments& a) {
    std::vector<std::string> repositories = a.texts(0);
    desktop_->getFiles(repositories, int(a.integer(1)), unsigned(a.integer(2)),
                       HeadlessDesktop::callbackFromId(currentId_));
    return JKValue("queued");
  };
  handlers_["getFileCount"] = [this](const Arguments& a) {
    std::vector<std::string> repositories = a.texts(0);
    desktop_->getFileCount(repositories, int(a.integer(1)), unsigned(a.integer(2)),
                           HeadlessDesktop::callbackFromId(currentId_));
    return JKValue("queued");
  };
  handlers_["setFileUrl"] = [d](const Arguments& a) {
    d->setFileUrl(a.text(0), a.text(1), unsigned(a.integer(2)), a.text(3), unsigned(a.integer(4)), a.text(5));
    return JKValue(true);
  };
  handlers_["setOnline"] = [d](const Arguments&) {
    d->setOnline();
    return JKValue(true);
  };
  handlers_["setOffline"] = [d](const Arguments&) {
    d->setOffline();
    return JKValue(true);
  };
  handlers_["clearCache"] = [d](const Arguments&) {
    d->clearCache();
    return JKValue(true);
  };
  handlers_["triggerKeyboardShortcut"] = [d](const Arguments& a) {
    d->triggerKeyboardShortcut(a.text(0));
    return JKValue(true);
  };
}

void CoreCommands::addAudioCalls() {
  HeadlessDesktop* d = desktop_;
  handlers_["createSound"] = [d](const Arguments& a) { return JKValue(d->createSound(a.text(0))); };
  handlers_["resetSound"] = [d](const Arguments& a) { return JKValue(d->resetSound(int(a.integer(0)), a.text(1))); };
  handlers_["deleteSound"] = [d](const Arguments& a) { return JKValue(d->deleteSound(int(a.integer(0)))); };
  handlers_["play"] = [d](const Arguments& a) {
    bool gapless = a.count() > 1 && a.flag(1);
    int previous = a.count() > 2 ? int(a.integer(2)) : -1;
    return JKValue(d->play(int(a.integer(0)), gapless, previous));
  };
  handlers_["pause"] = [d](const Arguments& a) { return JKValue(d->pause(int(a.integer(0)))); };
  handlers_["getState"] = [d](const Arguments& a) { return JKValue(d->getState(int(a.integer(0)))); };
  handlers_["getPlaying"] = [d](const Arguments& a) { return JKValue(d->getPlaying(int(a.integer(0)))); };
  handlers_["getPaused"] = [d](const Arguments& a) { return JKValue(d->getPaused(int(a.integer(0)))); };
  handlers_["getStarving"] = [d](const Arguments& a) { return JKValue(d->getStarving(int(a.integer(0)))); };
  handlers_["getPosition"] = [d](const Arguments& a) { return JKValue(d->getPosition(int(a.integer(0)))); };
  handlers_["setPosition"] = [d](const Arguments& a) {
    return JKValue(d->setPosition(int(a.integer(0)), unsigned(a.integer(1))));
  };
  handlers_["getLength"] = [d](const Arguments& a) { return JKValue(d->getLength(int(a.integer(0)))); };
  handlers_["getVolume"] = [d](const Arguments& a) { return JKValue(double(d->getVolume(int(a.integer(0))))); };
  handlers_["setVolume"] = [d](const Arguments& a) {
    d->setVolume(int(a.integer(0)), float(a.number(1)));
    return JKValue(true);
  };
  handlers_["getMuted"] = [d](const Arguments& a) { return JKValue(d->getMuted(int(a.integer(0)))); };
  handlers_["setMuted"] = [d](const Arguments& a) {
    d->setMuted(int(a.integer(0)), a.flag(1));
    return JKValue(true);
  };
  handlers_["getRanges"] = [d](const Arguments& a) {
    std::list<float> ranges;
    d->getRanges(int(a.integer(0)), &ranges);
    JKValue result = jsonArray();
    for (float value : ranges) jsonAppend(result, JKValue(double(value)));
    return result;
  };
  handlers_["getPendingData"] = [d](const Arguments& a) { return JKValue(d->getPendingData(int(a.integer(0)))); };
}

void CoreCommands::addDownloadCalls() {
  HeadlessDesktop* d = desktop_;
  handlers_["addFile"] = [d](const Arguments& a) {
    d->addFile(a.text(0), a.text(1), unsigned(a.integer(2)), a.count() > 3 ? a.text(3) : std::string());
    return JKValue(true);
  };
  handlers_["removeFile"] = [d](const Arguments& a) {
    d->removeFile(a.text(0), a.text(1), unsigned(a.integer(2)));
    return JKValue(true);
  };
  handlers_["resumeDownload"] = [d](const Arguments& a) {
    d->resumeDownload(a.text(0), a.text(1), unsigned(a.integer(2)));
    return JKValue(true);
  };
  handlers_["pauseDownload"] = [d](const Arguments& a) {
    d->pauseDownload(a.text(0), a.text(1), unsigned(a.integer(2)));
    return JKValue(true);
  };
  handlers_["hideDownload"] = [d](const Arguments& a) {
    d->hideDownload(a.text(0), a.text(1), unsigned(a.integer(2)));
    return JKValue(true);
  };
  handlers_["setDownloadPosition"] = [d](const Arguments& a) {
    d->setDownloadPosition(a.text(0), a.text(1), unsigned(a.integer(2)), int(a.integer(3)));
    return JKValue(true);
  };
  handlers_["removeFiles"] = [d](const Arguments&) {
    d->removeFiles();
    return JKValue(true);
  };
  handlers_["resumeDownloads"] = [d](const Arguments&) {
    d->resumeDownloads();
    return JKValue(true);
  };
  handlers_["pauseDownloads"] = [d](const Arguments&) {
    d->pauseDownloads();
    return JKValue(true);
  };
  handlers_["hideDownloads"] = [d](const Arguments&) {
    d->hideDownloads();
    return JKValue(true);
  };
}

void CoreCommands::addStorageCalls() {
  HeadlessDesktop* d = desktop_;
  handlers_["storageKey"] = [d](const Arguments& a) {
    bool isNull = true;
    std::string key = d->storageKey(a.text(0), int(a.integer(1)), &isNull);
    return isNull ? JKValue() : JKValue(key);
  };
  handlers_["storageGetItem"] = [d](const Arguments& a) {
    bool isNull = true;
    std::string value = d->storageGetItem(a.text(0), a.text(1), &isNull);
    return isNull ? JKValue() : JKValue(value);
  };
  handlers_["storageSetItem"] = [d](const Arguments& a) {
    return JKValue(d->storageSetItem(a.text(0), a.text(1), a.text(2)));
  };
  handlers_["storageRemoveItem"] = [d](const Arguments& a) {
    d->storageRemoveItem(a.text(0), a.text(1));
    return JKValue(true);
  };
  handlers_["storageClear"] = [d](const Arguments& a) {
    d->storageClear(a.text(0));
    return JKValue(true);
  };
  handlers_["storageLength"] = [d](const Arguments& a) { return JKValue(d->storageLength(a.text(0))); };
}

void CoreCommands::addDriverCalls() {
  handlers_["mapFileUrl"] = [this](const Arguments& a) {
    HeadlessDesktop::FileUrl answer;
    answer.url = a.text(1);
    answer.format = a.count() > 2 ? unsigned(a.integer(2)) : 0;
    answer.data = a.count() > 3 ? a.text(3) : std::string();
    desktop_->mapFileUrl(a.text(0), answer);
    return JKValue(true);
  };
  handlers_["sleep"] = [this](const Arguments& a) {
    pump(a.integer(0));
    return JKValue(true);
  };
  handlers_["waitForFileCount"] = [this](const Arguments& a) { return waitForFileCount(a); };
  handlers_["advanceClock"] = [this](const Arguments& a) {
    if (!clock_) throw CommandError("the driver runs on the platform's clock (start it with --test-clock)");
    return JKValue(advanceClock(a.number(0)));
  };
  handlers_["quit"] = [this](const Arguments&) {
    quit_ = true;
    return JKValue(true);
  };
}

// The core counts a listener's patience only for time in which its passes
// ran: one jump of the whole time would look like a process that was stopped
// meanwhile. So the clock moves a step at a time, each followed by the end of
// the pass under way and of a whole pass after it, which counts the step.
bool CoreCommands::advanceClock(double seconds) {
  for (double left = seconds; left > 0; left -= kClockStepSeconds) {
    clock_->jumpAhead(std::min(left, kClockStepSeconds));
    const unsigned long target = desktop_->passCount() + 2;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPassesTimeoutMs);
    while (desktop_->passCount() < target) {
      if (std::chrono::steady_clock::now() > end) return false;
      VLPlayer::instance()->wake();
      desktop_->answerFileUrls();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

// Asks the core for the count again and again (each answer comes on a later
// worker pass) until it reaches the target or the time is up.
JKValue CoreCommands::waitForFileCount(const Arguments& args) {
  std::vector<std::string> repositories = args.texts(0);
  int fileFlags = int(args.integer(1));
  unsigned downloadState = unsigned(args.integer(2));
  unsigned target = unsigned(args.integer(3));
  long timeoutMs = args.integer(4);
  if (!desktop_->isJSReady()) throw CommandError("the page is not ready (setJSReady first)");
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned count = 0;
  for (;;) {
    long id = nextInternalId_--;
    desktop_->getFileCount(repositories, fileFlags, downloadState, HeadlessDesktop::callbackFromId(id));
    while (!desktop_->takeInternalCount(id, &count)) {
      if (std::chrono::steady_clock::now() >= end) return JKValue(false);
      pump(kPumpStepMs);
    }
    if (count >= target) return JKValue(true);
    if (std::chrono::steady_clock::now() >= end) return JKValue(false);
    pump(50);
  }
}
