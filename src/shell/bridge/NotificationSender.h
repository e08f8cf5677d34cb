// Shows the page's notifications on the desktop (libnotify). A notification
// with the title of one of the last kKeptNotifications titles replaces it
// (older ones are let go: a title per track would otherwise keep an object
// per track for the life of the process). The icon is fetched from its
// address without blocking, only over http(s), up to kMaxIconBytes and
// kMaxIconFetches at a time; when that fails, or too many are being fetched,
// the notification is shown without it.
//
// libnotify sends each notification with a blocking call: a thread of the
// sender's own makes them, one at a time, so that a slow notification server
// never holds the main loop. At most kMaxWaiting notifications wait for it;
// a newer one pushes the oldest waiting one out.
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
typedef struct _GdkPixbuf GdkPixbuf;

class NotificationSender {
 public:
  static constexpr size_t kMaxIconBytes = 1 << 20;
  // Notification objects kept for replacing, the most recently shown ones.
  static constexpr size_t kKeptNotifications = 32;
  // Notifications waiting for the server, and icons being fetched, at most.
  static constexpr size_t kMaxWaiting = 64;
  static constexpr size_t kMaxIconFetches = 8;

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

 private:
  NotificationSender();
  struct Fetch;
  static void onIconRead(struct _GObject* source, struct _GAsyncResult* result, void* fetch);
  struct Waiting {
    std::string title;
    std::string message;
    GdkPixbuf* icon = nullptr;  // owned; may be null
  };
  // Queues the notification for the sending thread (the icon is referenced).
  void display(const std::string& title, const std::string& message, GdkPixbuf* icon);
  void sendLoop();
  // On the sending thread: shows one notification, blocking.
  void send(const Waiting& waiting);
  // The object of the title, made or moved to the most recent place.
  NotifyNotification* notificationFor(const std::string& title, const char* summary, const std::string& message);

  SoupSession* session_;
  size_t iconFetches_ = 0;      // fetches under way
  bool serverMissing_ = false;  // start() found no server

  std::mutex mutex_;  // guards waiting_ and sending_
  std::condition_variable wake_;
  std::deque<Waiting> waiting_;
  bool sending_ = false;  // the sending thread runs
  // The sending thread's own.
  std::list<std::pair<std::string, NotifyNotification*>> shown_;  // by title, most recent last
  bool serverReached_ = false;                                    // libnotify knows the server's protocol version
  std::atomic<size_t> keptCount_{0};
};
