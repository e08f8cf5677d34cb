// Shows the page's notifications on the desktop (libnotify). A notification
// with the title of one of the last kKeptNotifications titles replaces it
// (older ones are let go: a title per track would otherwise keep an object
// per track for the life of the process). The icon is fetched from its
// address without blocking, only over http(s), up to kMaxIconBytes and
// kMaxIconFetches at a time, each on a connection of its own within
// kIconFetchSeconds; when that fails the notification is shown without it.
// A new notification's icon is never left out for older ones: with every
// fetch under way, the oldest gives way (its notification shows without its
// icon).
//
// Texts are what the page gave, shown as plain text: cut to kLongestTitle
// and kLongestMessage characters, U+0000 and what is no UTF-8 shown as
// U+FFFD, and the message escaped for servers that read markup in it (a
// page's text must not make the server fetch an image or show a link).
//
// libnotify sends each notification with a blocking call: a thread of the
// sender's own makes them, one at a time, so that a slow notification server
// never holds the main loop. It also decodes the icons (NotificationIcon:
// a few hundred pixels a side, one at a time). At most kMaxWaiting
// notifications wait for it; a newer one pushes the oldest waiting one out.
//
// Threads: every operation on the main thread; the sending thread touches
// only the notification objects and its queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>

typedef struct _NotifyNotification NotifyNotification;
typedef struct _SoupSession SoupSession;
typedef struct _GBytes GBytes;
typedef struct _GCancellable GCancellable;

class NotificationSender {
 public:
  static constexpr size_t kMaxIconBytes = 1 << 20;
  // Notification objects kept for replacing, the most recently shown ones.
  static constexpr size_t kKeptNotifications = 32;
  // Notifications waiting for the server, and icons being fetched, at most.
  static constexpr size_t kMaxWaiting = 64;
  static constexpr size_t kMaxIconFetches = 8;
  // A fetch's whole time, however its server trickles.
  static constexpr unsigned kIconFetchSeconds = 20;
  // In characters, with the ellipsis that marks a cut text.
  static constexpr size_t kLongestTitle = 256;
  static constexpr size_t kLongestMessage = 512;

  // The process-wide sender, made on first use; never freed.
  static NotificationSender& instance();

  // The launch's last step: names the application to the desktop's
  // notification service and asks the server who it is, without blocking;
  // the answer is traced as "Using <name> (<version>)". Without a server that
  // is traced too, and show() does nothing from then on.
  void start();

  void show(const std::string& title, const std::string& message, const std::string& iconAddress);
  // How many notification objects are kept (at most kKeptNotifications).
  size_t keptCount() const { return keptCount_; }

  // Whether an address may be fetched for an icon.
  static bool isFetchable(const std::string& address);
  // The text as a notification shows it: valid UTF-8 without U+0000, of at
  // most `longest` characters (the last one an ellipsis when it was cut).
  static std::string shownText(const std::string& text, size_t longest);

  // Another time limit for each icon fetch (tests).
  void setIconFetchSeconds(unsigned seconds) { iconFetchSeconds_ = seconds; }

 private:
  NotificationSender();
  struct Fetch;
  static void onIconRead(struct _GObject* source, struct _GAsyncResult* result, void* fetch);
  static int onIconFetchTimeUp(void* fetch);
  static void endFetch(Fetch* fetch, GBytes* icon);
  // Whether a fetch may start now: a fetch slot is free, or the oldest fetch
  // gave its slot up.
  bool makeRoomForAFetch();
  // Cancels the fetch, which then ends without its icon.
  static void giveUp(Fetch* fetch);
  struct Waiting {
    std::string title;
    std::string message;
    GBytes* icon = nullptr;  // the image file's bytes, owned; may be null
    std::string iconAddress;
  };
  // Queues the notification for the sending thread (the icon is referenced).
  void display(const std::string& title, const std::string& message, GBytes* icon, const std::string& iconAddress);
  void sendLoop();
  // On the sending thread: shows one notification, blocking.
  void send(const Waiting& waiting);
  // On the sending thread: the message as the server's body reads it.
  std::string bodyOf(const std::string& message);
  // The object of the title, made or moved to the most recent place.
  NotifyNotification* notificationFor(const std::string& title, const char* summary, const std::string& message);

  SoupSession* session_;
  // Every fetch that has not ended, the oldest first; at most twice
  // kMaxIconFetches, of which at most kMaxIconFetches not given up.
  std::list<Fetch*> fetches_;
  size_t iconFetches_ = 0;  // fetches under way and not given up
  unsigned iconFetchSeconds_ = kIconFetchSeconds;
  bool serverMissing_ = false;  // start() found no server

  std::mutex mutex_;  // guards waiting_ and sending_
  std::condition_variable wake_;
  std::deque<Waiting> waiting_;
  bool sending_ = false;  // the sending thread runs
  // The sending thread's own.
  std::list<std::pair<std::string, NotifyNotification*>> shown_;  // by title, most recent last
  bool serverReached_ = false;                                    // libnotify knows the server's protocol version
  int bodyMarkup_ = -1;  // whether the server reads markup in messages; -1 until asked
  std::atomic<size_t> keptCount_{0};
};
