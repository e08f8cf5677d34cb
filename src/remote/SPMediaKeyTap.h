#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <memory>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "SPFrontApplicationSource.h"
#include "SPMediaKeyEvent.h"
#include "SPMediaKeySource.h"

class SPMediaKeyTap;

// Receives the taken media keys, key-down and key-up, on the main thread.
class SPMediaKeyTapDelegate {
 public:
  virtual ~SPMediaKeyTapDelegate() = default;
  virtual void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap* tap, const SPMediaKeyEvent& event) = 0;
};

// The user's preferences that govern the tap.
struct SPMediaKeyPreferences {
  bool ignoreMediaKeys = false;                           // "SPIgnoreMediaKeys"
  std::vector<std::string> applicationsNeedingMediaKeys;  // "SPApplicationsNeedingMediaKeys": window classes

  // From the stored texts: a true value ("1", "true", "yes"), and a list of
  // window class names separated by commas or new lines.
  static SPMediaKeyPreferences fromStrings(const std::string& ignore, const std::string& applications);
};

// Takes the keyboard's play/pause, next and previous keys away from the rest
// of the session while this application is entitled to them, and hands each
// taken key to the delegate on the main thread. Among the applications the
// user lists as needing the media keys, the one that came to the front most
// recently gets them: when that is another one, the keys are given back.
//
// The keys are held on a tap thread of its own with its own GLib main
// context. Everything else, and every public operation, belongs to the main
// thread (the thread running GLib's default main context).
class SPMediaKeyTap {
 public:
  using PreferenceReader = std::function<SPMediaKeyPreferences()>;

  // The tap over the desktop's sources (SPMediaKeySourceChain::desktop, for
  // the application named applicationName) and the X11 front window. The
  // delegate is not owned and must outlive the tap or be cleared with
  // setDelegate(nullptr).
  SPMediaKeyTap(SPMediaKeyTapDelegate* delegate, PreferenceReader preferences,
                const std::string& applicationName = defaultApplicationName());
  SPMediaKeyTap(SPMediaKeyTapDelegate* delegate, PreferenceReader preferences, std::unique_ptr<SPMediaKeySource> keys,
                std::unique_ptr<SPFrontApplicationSource> front);
  ~SPMediaKeyTap();

  SPMediaKeyTap(const SPMediaKeyTap&) = delete;
  SPMediaKeyTap& operator=(const SPMediaKeyTap&) = delete;

  // False when the user turned the tap off, or there is neither an X display
  // nor a session bus.
  static bool usesGlobalMediaKeyTap(const SPMediaKeyPreferences& preferences);
  // The program's name (g_get_prgname), or "velora".
  static std::string defaultApplicationName();

  // Starts the tap thread and takes the keys; returns once the thread's loop
  // runs. A running tap is stopped first. False when the keys cannot be taken.
  bool startWatchingMediaKeys();
  // Quits the tap thread's loop and joins the thread, then releases the keys.
  void stopWatchingMediaKeys();
  bool isWatchingMediaKeys() const;
  // What the source last reported; kKeysGivenBack before the first start.
  // Changes are also written to the system log. Any thread.
  SPMediaKeySource::State mediaKeySourceState() const { return sourceState_; }

  void setShouldInterceptMediaKeyEvents(bool intercept);
  bool shouldInterceptMediaKeyEvents() const;

  // What the application plays, handed to the source on the tap thread (now,
  // or when the tap starts).
  void setPlaybackStatus(SPMediaKeySource::PlaybackStatus status);
  // How the source reads what plays when it acts on it (on the tap thread).
  // REQUIRES: the tap is not watching.
  void setPlaybackStatusReader(SPMediaKeySource::PlaybackStatusReader reader) {
    keys_->setPlaybackStatusReader(std::move(reader));
  }

  void startWatchingAppSwitching();
  void stopWatchingAppSwitching();
  // One of this application's windows became active: a front switch to this
  // process, for desktops whose news of the front window never names ours
  // (Wayland's). className: our windows' instance and class names joined by
  // '\n', matched against the listed applications like any other.
  void applicationCameToFront(const std::string& className);

  void setDelegate(SPMediaKeyTapDelegate* delegate) { delegate_ = delegate; }

 private:
  void appIsNowFrontmost(const SPFrontApplicationSource::Application& application);
  void appTerminated(pid_t pid);
  void mediaKeyAppListChanged();
  void eventTapThread(std::promise<bool>* started);
  void pauseTapOnTapThread(bool enabled);
  void runOnTapThread(std::function<void()> call);
  void sourceStateChanged(SPMediaKeySource::State state);
  void tapEventCallback(const SPMediaKeyEvent& event);
  static gboolean deliverOnMainThread(gint fd, GIOCondition condition, gpointer self);
  void handleMediaKeyEvent(const SPMediaKeyEvent& event);

  SPMediaKeyTapDelegate* delegate_;
  PreferenceReader preferences_;
  std::unique_ptr<SPMediaKeySource> keys_;           // used on the tap thread only
  std::unique_ptr<SPFrontApplicationSource> front_;  // main thread
  bool watchingAppSwitching_ = false;
  std::vector<pid_t> mediaKeyAppList_;  // element 0 came to the front most recently

  mutable std::mutex mutex_;  // guards the three fields below
  bool shouldIntercept_ = false;
  SPMediaKeySource::PlaybackStatus playbackStatus_ = SPMediaKeySource::kPlaybackStopped;
  GMainContext* tapContext_ = nullptr;  // set while the tap thread's loop runs

  std::atomic<SPMediaKeySource::State> sourceState_{SPMediaKeySource::kKeysGivenBack};  // written on the tap thread

  GMainLoop* tapLoop_ = nullptr;
  std::thread tapThread_;

  // Keys taken on the tap thread, waiting for the main thread; the tap thread
  // wakes the main loop through the event descriptor.
  std::mutex deliveryMutex_;
  std::deque<SPMediaKeyEvent> deliveries_;
  int wakeFd_ = -1;
  guint wakeWatch_ = 0;
};
