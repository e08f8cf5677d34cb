#include "SPMediaKeyTap.h"

#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <future>
#include <sstream>

#include "GUnixFdWatch.h"
#include "SPInvocationGrabber.h"
#include "SPMediaKeySourceChain.h"
#include "SPX11FrontApplicationSource.h"
#include "SystemLog.h"
#include "ThreadHandoff.h"

namespace {

bool isTrue(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text == "1" || text == "true" || text == "yes";
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool classMatches(const std::string& className, const std::vector<std::string>& listed) {
  std::istringstream names(className);  // instance and class names, one per line
  std::string name;
  while (std::getline(names, name)) {
    if (std::find(listed.begin(), listed.end(), name) != listed.end()) return true;
  }
  return false;
}

}  // namespace

SPMediaKeyPreferences SPMediaKeyPreferences::fromStrings(const std::string& ignore, const std::string& applications) {
  SPMediaKeyPreferences preferences;
  preferences.ignoreMediaKeys = isTrue(trimmed(ignore));
  std::string list = applications;
  std::replace(list.begin(), list.end(), '\n', ',');
  std::istringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    item = trimmed(item);
    if (!item.empty()) preferences.applicationsNeedingMediaKeys.push_back(item);
  }
  return preferences;
}

SPMediaKeyTap::SPMediaKeyTap(SPMediaKeyTapDelegate* delegate, PreferenceReader preferences,
                             const std::string& applicationName)
    : SPMediaKeyTap(delegate, std::move(preferences), SPMediaKeySourceChain::desktop(applicationName),
                    std::make_unique<SPX11FrontApplicationSource>()) {}

SPMediaKeyTap::SPMediaKeyTap(SPMediaKeyTapDelegate* delegate, PreferenceReader preferences,
                             std::unique_ptr<SPMediaKeySource> keys, std::unique_ptr<SPFrontApplicationSource> front)
    : delegate_(delegate),
      preferences_(std::move(preferences)),
      keys_(std::move(keys)),
      front_(std::move(front)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  // Keys reach the main thread (GLib's default context) through this watch.
  if (wakeFd_ >= 0) wakeWatch_ = g_unix_fd_add(wakeFd_, G_IO_IN, deliverOnMainThread, this);
  startWatchingAppSwitching();
}

SPMediaKeyTap::~SPMediaKeyTap() {
  delegate_ = nullptr;
  stopWatchingMediaKeys();  // the tap thread has ended: nothing more is queued
  stopWatchingAppSwitching();
  if (wakeWatch_) g_source_remove(wakeWatch_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool SPMediaKeyTap::usesGlobalMediaKeyTap(const SPMediaKeyPreferences& preferences) {
  if (preferences.ignoreMediaKeys) return false;
  const char* display = std::getenv("DISPLAY");
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return (display && *display) || (bus && *bus);
}

std::string SPMediaKeyTap::defaultApplicationName() {
  const char* name = g_get_prgname();
  return name && *name ? name : "velora";
}

// --- The tap thread -------------------------------------------------------

bool SPMediaKeyTap::startWatchingMediaKeys() {
  stopWatchingMediaKeys();
  setShouldInterceptMediaKeyEvents(true);  // no tap thread yet: only sets the field
  std::promise<bool> started;
  std::future<bool> result = started.get_future();
  tapThread_ = std::thread(&SPMediaKeyTap::eventTapThread, this, &started);
  if (!result.get()) {  // the keys could not be taken; the thread has ended
    tapThread_.join();
    return false;
  }
  return true;
}

void SPMediaKeyTap::eventTapThread(std::promise<bool>* started) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  bool opened = keys_->open([this](const SPMediaKeyEvent& event) { tapEventCallback(event); },
                            [this](SPMediaKeySource::State state) { sourceStateChanged(state); });
  if (!opened) {
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    started->set_value(false);
    return;
  }
  GSource* watch = nullptr;
  if (keys_->fd() >= 0) {
    watch = attachFdWatch(
        context, keys_->fd(),
        [](gint, GIOCondition, gpointer self) -> gboolean {
          SPMediaKeySource& keys = *static_cast<SPMediaKeyTap*>(self)->keys_;
          keys.dispatch();
          return keys.fd() >= 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;  // gone with its connection
        },
        this);
  }
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tapContext_ = context;
    tapLoop_ = loop;
    keys_->setPlaybackStatus(playbackStatus_);  // later changes come through the loop
  }
  keys_->dispatch();  // events that arrived while the grabs were made
  // Report the start from inside the running loop: a quit asked for before
  // g_main_loop_run would be forgotten by it, and the thread would never end.
  GSource* running = g_idle_source_new();
  g_source_set_callback(
      running,
      [](gpointer promise) -> gboolean {
        static_cast<std::promise<bool>*>(promise)->set_value(true);
        return G_SOURCE_REMOVE;
      },
      started, nullptr);
  g_source_attach(running, context);
  g_source_unref(running);
  g_main_loop_run(loop);

  {
    std::lock_guard<std::mutex> lock(mutex_);
    tapContext_ = nullptr;
  }
  if (watch) {
    g_source_destroy(watch);
    g_source_unref(watch);
  }
  keys_->close();
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

void SPMediaKeyTap::stopWatchingMediaKeys() {
  if (!tapThread_.joinable()) return;
  GMainLoop* loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop = tapLoop_;
    tapLoop_ = nullptr;
  }
  g_main_loop_quit(loop);
  tapThread_.join();  // the keys are released by the thread before it ends
  g_main_loop_unref(loop);
}

bool SPMediaKeyTap::isWatchingMediaKeys() const {
  return tapThread_.joinable();
}

void SPMediaKeyTap::tapEventCallback(const SPMediaKeyEvent& event) {
  if (event.type != SPMediaKeyEvent::kType || event.subtype != SPMediaKeyEvent::kSubtype) return;
  int code = event.keyCode();
  if (code != SPMediaKeyEvent::kKeyPlay && code != SPMediaKeyEvent::kKeyNext && code != SPMediaKeyEvent::kKeyPrevious) {
    return;
  }
  if (!shouldInterceptMediaKeyEvents()) return;
  // Hand the key to the main thread without waiting: queued under our own
  // lock, so the hand-over is plain to see, and the main loop woken.
  {
    std::lock_guard<std::mutex> lock(deliveryMutex_);
    deliveries_.push_back(event);
  }
  uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is full only if the main loop has stalled for 2^64 keys.
  }
}

gboolean SPMediaKeyTap::deliverOnMainThread(gint fd, GIOCondition, gpointer self) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) {
    // Nothing to clear: another wake-up already drained the queue.
  }
  auto* tap = static_cast<SPMediaKeyTap*>(self);
  std::deque<SPMediaKeyEvent> events;
  {
    std::lock_guard<std::mutex> lock(tap->deliveryMutex_);
    events.swap(tap->deliveries_);
  }
  for (const SPMediaKeyEvent& event : events) tap->handleMediaKeyEvent(event);
  return G_SOURCE_CONTINUE;
}

void SPMediaKeyTap::handleMediaKeyEvent(const SPMediaKeyEvent& event) {
  if (delegate_) delegate_->mediaKeyTapReceivedMediaKeyEvent(this, event);
}

void SPMediaKeyTap::pauseTapOnTapThread(bool enabled) {
  keys_->setEnabled(enabled);
}

void SPMediaKeyTap::sourceStateChanged(SPMediaKeySource::State state) {
  SPMediaKeySource::State previous = sourceState_.exchange(state);
  if (state == previous) return;
  if (state == SPMediaKeySource::kKeysHeldElsewhere) {
    writeSystemLog("SPMediaKeyTap", "Media keys are held by another application; trying again");
  } else if (state == SPMediaKeySource::kUnusable) {
    writeSystemLog("SPMediaKeyTap", "Media keys unusable: the connection to the desktop was lost");
  } else if (state == SPMediaKeySource::kKeysTaken && previous == SPMediaKeySource::kKeysHeldElsewhere) {
    writeSystemLog("SPMediaKeyTap", "Media keys taken after all");
  }
}

// --- Interception ---------------------------------------------------------

bool SPMediaKeyTap::shouldInterceptMediaKeyEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shouldIntercept_;
}

void SPMediaKeyTap::setShouldInterceptMediaKeyEvents(bool intercept) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool old = shouldIntercept_;
  shouldIntercept_ = intercept;
  if (!tapContext_ || old == intercept) return;
  // Take or give back the keys on the tap thread, in a timer of its loop.
  runOnTapThread([this, intercept] { pauseTapOnTapThread(intercept); });
}

void SPMediaKeyTap::setPlaybackStatus(SPMediaKeySource::PlaybackStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status == playbackStatus_) return;
  playbackStatus_ = status;
  if (tapContext_) runOnTapThread([this, status] { keys_->setPlaybackStatus(status); });
}

// REQUIRES: mutex_ held and the tap thread's loop running.
void SPMediaKeyTap::runOnTapThread(std::function<void()> call) {
  auto grabber = SPInvocationGrabber::grab();
  grabber->forward(std::move(call));
  GSource* timer = g_timeout_source_new(0);
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        receiveFromAnotherThread();
        (*static_cast<std::shared_ptr<SPInvocationGrabber>*>(data))->invoke();
        return G_SOURCE_REMOVE;
      },
      new std::shared_ptr<SPInvocationGrabber>(grabber),
      [](gpointer data) {
        receiveFromAnotherThread();
        delete static_cast<std::shared_ptr<SPInvocationGrabber>*>(data);
      });
  publishToAnotherThread();
  g_source_attach(timer, tapContext_);
  g_source_unref(timer);
}

// --- Application switching ------------------------------------------------

void SPMediaKeyTap::startWatchingAppSwitching() {
  if (watchingAppSwitching_ || !front_) return;
  watchingAppSwitching_ = front_->start(
      [this](const SPFrontApplicationSource::Application& application) { appIsNowFrontmost(application); },
      [this](pid_t pid) { appTerminated(pid); });
}

void SPMediaKeyTap::stopWatchingAppSwitching() {
  if (!watchingAppSwitching_) return;
  front_->stop();
  watchingAppSwitching_ = false;
}

void SPMediaKeyTap::appIsNowFrontmost(const SPFrontApplicationSource::Application& application) {
  if (application.pid == getpid()) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tapContext_) runOnTapThread([this] { keys_->applicationCameToFront(); });
  }
  SPMediaKeyPreferences preferences = preferences_ ? preferences_() : SPMediaKeyPreferences();
  if (!classMatches(application.className, preferences.applicationsNeedingMediaKeys)) return;
  mediaKeyAppList_.erase(std::remove(mediaKeyAppList_.begin(), mediaKeyAppList_.end(), application.pid),
                         mediaKeyAppList_.end());
  mediaKeyAppList_.insert(mediaKeyAppList_.begin(), application.pid);
  mediaKeyAppListChanged();
}

void SPMediaKeyTap::applicationCameToFront(const std::string& className) {
  appIsNowFrontmost(SPFrontApplicationSource::Application{getpid(), className});
}

void SPMediaKeyTap::appTerminated(pid_t pid) {
  mediaKeyAppList_.erase(std::remove(mediaKeyAppList_.begin(), mediaKeyAppList_.end(), pid), mediaKeyAppList_.end());
  mediaKeyAppListChanged();
}

void SPMediaKeyTap::mediaKeyAppListChanged() {
  if (mediaKeyAppList_.empty()) return;
  setShouldInterceptMediaKeyEvents(mediaKeyAppList_.front() == getpid());
}
