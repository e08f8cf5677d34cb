// Shows the page's notifications on the desktop (libnotify). A notification
// with the title of an earlier one replaces it. The icon is fetched from its
// address without blocking, only over http(s) and up to kMaxIconBytes; when
// that fails the notification is shown without it.
//
// Threads: main thread only.
#pragma once

#include <map>
#include <string>

typedef struct _NotifyNotification NotifyNotification;
typedef struct _SoupSession SoupSession;
typedef struct _GdkPixbuf GdkPixbuf;

class NotificationSender {
 public:
  static constexpr size_t kMaxIconBytes = 1 << 20;

  // The process-wide sender, made on first use; never freed.
  static NotificationSender& instance();

  // The launch's last step: names the application to the desktop's
  // notification service and asks the server who it is, without blocking;
  // the answer is traced as "Using <name> (<version>)". Without a server that
  // is traced too, and show() does nothing from then on.
  void start();

  void show(const std::string& title, const std::string& message, const std::string& iconAddress);

  // Whether an address may be fetched for an icon.
  static bool isFetchable(const std::string& address);

 private:
  NotificationSender();
  struct Fetch;
  static void onIconRead(struct _GObject* source, struct _GAsyncResult* result, void* fetch);
  void display(const std::string& title, const std::string& message, GdkPixbuf* icon);

  SoupSession* session_;
  std::map<std::string, NotifyNotification*> shown_;  // by title
  bool serverReached_ = false;  // libnotify knows the server's protocol version
  bool serverMissing_ = false;  // start() found no server
};
