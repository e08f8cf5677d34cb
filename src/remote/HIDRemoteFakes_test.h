#pragma once
// Fakes shared by the remote-control and media-key tests: a device layer
// whose receivers and events the test scripts, an in-process notification
// center, timers on a test clock, and helpers to run the main loop and read
// the system log.

#include <glib.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SystemLog.h"

#include "HIDRemoteDeviceLayer.h"
#include "HIDRemoteNotificationCenter.h"
#include "HIDRemoteTimers.h"
#include "SPMediaKeyTap.h"

class FakeDeviceLayer : public HIDRemoteDeviceLayer {
 public:
  struct Device {
    HIDRemoteService service;
    std::vector<uint32_t> cookies;
    int openStatus = 0;
    bool open = false;
    bool seized = false;
    std::deque<HIDRemoteQueueEvent> queue;
  };

  bool startWatching(Listener* listener) override {
    if (refuseWatching) return false;
    listener_ = listener;
    for (auto& entry : devices) listener_->serviceMatched(entry.second.service);
    return true;
  }
  void stopWatching() override { listener_ = nullptr; }
  int open(unsigned number, bool seize, std::vector<uint32_t>* cookies) override {
    Device& d = devices.at(number);
    if (d.openStatus) return d.openStatus;
    d.open = true;
    d.seized = seize;
    *cookies = d.cookies;
    return 0;
  }
  int startQueue(unsigned) override { return 0; }
  bool nextEvent(unsigned number, HIDRemoteQueueEvent* event) override {
    Device& d = devices.at(number);
    if (d.queue.empty()) return false;
    *event = d.queue.front();
    d.queue.pop_front();
    return true;
  }
  void close(unsigned number) override {
    Device& d = devices.at(number);
    d.open = false;
    d.seized = false;
  }

  // Test controls.
  void add(const HIDRemoteService& service, std::vector<uint32_t> cookies, bool announce = true) {
    Device& d = devices[service.number];
    d.service = service;
    d.cookies = std::move(cookies);
    if (announce && listener_) listener_->serviceMatched(service);
  }
  void remove(unsigned number) {
    if (listener_) listener_->serviceTerminated(number);
  }
  void send(unsigned number, std::vector<HIDRemoteQueueEvent> events) {
    for (const auto& e : events) devices.at(number).queue.push_back(e);
    if (listener_) listener_->queueHasEvents(number);
  }

  std::map<unsigned, Device> devices;
  bool refuseWatching = false;

 private:
  Listener* listener_ = nullptr;
};

class FakeNotificationCenter : public HIDRemoteNotificationCenter {
 public:
  void post(const std::string& name, const std::string& object, const HIDRemoteInfo& info) override {
    Notification n{name, object, info};
    posted.push_back(n);
    auto copy = observers_;  // observers may change while they run
    for (auto& [id, o] : copy) {
      if (observers_.count(id) && o.name == name && (o.any || o.object == object)) o.observer(n);
    }
  }
  unsigned observe(const std::string& name, const std::string& object, bool any, Observer observer) override {
    observers_[++next_] = Entry{name, object, any, std::move(observer)};
    return next_;
  }
  void removeObserver(unsigned id) override { observers_.erase(id); }

  std::vector<Notification> posted;

 private:
  struct Entry {
    std::string name, object;
    bool any;
    Observer observer;
  };
  std::map<unsigned, Entry> observers_;
  unsigned next_ = 0;
};

// Timers on a clock the test moves.
class FakeTimers : public HIDRemoteTimers {
 public:
  unsigned start(unsigned milliseconds, std::function<void()> fired) override {
    pending_[++next_] = {now_ + milliseconds, std::move(fired)};
    return next_;
  }
  void cancel(unsigned id) override { pending_.erase(id); }
  // Moves the clock on, firing what falls due in order.
  void advance(unsigned milliseconds) {
    uint64_t target = now_ + milliseconds;
    for (;;) {
      auto due = pending_.end();
      for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (it->second.first <= target && (due == pending_.end() || it->second.first < due->second.first)) due = it;
      if (due == pending_.end()) break;
      now_ = due->second.first;
      auto fired = std::move(due->second.second);
      pending_.erase(due);
      fired();
    }
    now_ = target;
  }

 private:
  std::map<unsigned, std::pair<uint64_t, std::function<void()>>> pending_;
  uint64_t now_ = 0;
  unsigned next_ = 0;
};

// The media keys a tap delivered, with the thread they came on.
struct ReceivedKey {
  int code;
  bool down;
  bool operator==(const ReceivedKey& o) const { return code == o.code && down == o.down; }
};
class RecordingMediaKeyDelegate : public SPMediaKeyTapDelegate {
 public:
  void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap*, const SPMediaKeyEvent& event) override {
    events.push_back({event.keyCode(), event.isKeyDown()});
    onMainThread = onMainThread && g_main_context_is_owner(g_main_context_default());
  }
  std::vector<ReceivedKey> events;
  bool onMainThread = true;
};

// Runs the default main context for about the given time.
inline void runMainLoopFor(unsigned milliseconds) {
  gint64 end = g_get_monotonic_time() + gint64{milliseconds} * 1000;
  while (g_get_monotonic_time() < end) {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
}

// Runs the default main context until done() holds or a generous guard expires.
template <typename Done>
bool runUntil(Done done) {
  gint64 guard = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (!done() && g_get_monotonic_time() < guard) runMainLoopFor(5);
  return done();
}

// The system log's lines while it lives; any thread may write them.
class SystemLogCapture {
 public:
  SystemLogCapture() : handler_(g_log_set_handler(kSystemLogDomain, G_LOG_LEVEL_MASK, capture, this)) {}
  ~SystemLogCapture() { g_log_remove_handler(kSystemLogDomain, handler_); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool contains(const std::string& text) const {
    for (const std::string& line : lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  static void capture(const gchar*, GLogLevelFlags, const gchar* message, gpointer self) {
    auto* capture = static_cast<SystemLogCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.push_back(message);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  guint handler_;
};
