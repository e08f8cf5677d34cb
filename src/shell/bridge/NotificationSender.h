// Shows the page's notifications on the desktop (libnotify). A notification
// with the title of one of the last kKeptNotifications titles replaces it
// (older ones are let go: a title per track would otherwise keep an object
// per track for the life of the process). The icon is fetched from its
// address without blocking, only over http(s) and up to kMaxIconBytes; when
// that fails the notification is shown without it.
//
// Threads: main thread only.
#pragma once

#include <list>
#include <string>

typedef struct _NotifyNotification NotifyNotification;
typedef struct _SoupSession SoupSession;
typedef struct _GdkPixbuf GdkPixbuf;

class NotificationSender {
 public:
  static constexpr size_t kMaxIconBytes = 1 << 20;
  // Notification objects kept for replacing, the most recently shown ones.
  static constexpr size_t kKeptNotifications = 32;

  // The process-wide sender, made on first use; never freed.
  static NotificationSender& instance();

  // The launch's last step: names the application to the desktop's
  // notification service and asks the server who it is, without blocking;
  // the answer is traced as "Using <name> (<version>)". Without a server that
  // is traced too, and show() does nothing from then on.
  void start();

  void show(const std::string& title, const std::string& message, const std::string& iconAddress);
  // How many notification objects are kept (at most kKeptNotifications).
  size_t keptCount() const { return shown_.size(); }

  // Whether an address may be fetched for an icon.
  static bool isFetchable(const std::string& address);

 private:
  NotificationSender();
  struct Fetch;
  static void onIconRead(struct _GObject* source, struct _GAsyncResult* result, void* fetch);
  void display(const std::string& title, const std::string& message, GdkPixbuf* icon);
  // The object of the title, made or moved to the most recent place.
  NotifyNotification* notificationFor(const std::string& title, const char* summary, const std::string& message);

  SoupSession* session_;
  std::list<std::pair<std::string, NotifyNotification*>> shown_;  // by title, most recent last
  bool serverReached_ = false;  // libnotify knows the server's protocol version
  bool serverMissing_ = false;  // start() found no server
};
