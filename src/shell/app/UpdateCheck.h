// The update check: fetches the update feed in the background and, when it
// lists a newer build for this platform than ours, shows a dialog that does
// not block the window: Download opens the release's link in the user's
// browser, Later does nothing. Packages stay the way to install; the check
// only tells the user.
//
// The feed (ours, in the manner of an appcast):
//   <releases>
//     <release version="1.1.0" build="42" platform="linux-x86_64"
//              link="https://…/velora-desktop_1.1.0_amd64.deb"/>
//   </releases>
// A feed that is no such document, or holds a release without the four
// attributes (build in decimal digits), with a version that is not digits
// and dots (at most 32 characters) or with a link that is no http(s)
// address, does not parse.
//
// Any failure (network, HTTP status, a feed that does not parse) is told to
// the warning hook as "Error while checking for updates: <reason>".
//
// Threads: main thread only; the fetch runs on the main loop without blocking.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

typedef struct _SoupMessage SoupMessage;
typedef struct _SoupSession SoupSession;

class UpdateCheck {
 public:
  struct Release {
    std::string version;
    int64_t build = 0;
    std::string platform;
    std::string link;
  };
  struct Hooks {
    std::function<void(const std::string& link)> openLink;  // the user's browser
    std::function<void(const std::string& message)> warn;   // the log front-end
  };

  // The feed's address for this run: the feed, "?ts=" and the time in whole seconds.
  static std::string feedAddress(const std::string& feed, time_t now);
  // This build's platform in the feed: "linux-" and the machine ("x86_64").
  static std::string platform();
  // The releases of a feed; false, with a reason, when it does not parse.
  static bool parseFeed(const std::string& text, std::vector<Release>& releases, std::string& error);

  // address: the feed's address (feedAddress); ourBuild: this program's build.
  UpdateCheck(GtkWindow* parent, std::string address, int64_t ourBuild, std::string userAgent, Hooks hooks);
  ~UpdateCheck();
  UpdateCheck(const UpdateCheck&) = delete;
  UpdateCheck& operator=(const UpdateCheck&) = delete;

  // Starts the fetch, once.
  void start();
  // Whether the check has ended (whatever its outcome).
  bool ended() const { return ended_; }
  // The newer release's dialog while it shows; null otherwise.
  GtkWidget* dialog() const { return dialog_; }

 private:
  static void onSent(GObject* source, GAsyncResult* result, void* self);
  static void onRead(GObject* source, GAsyncResult* result, void* self);
  static void stepFailed(void* self, GError* error, const char* otherwise);
  void readMore();
  void finish(const std::string& body, unsigned status, const std::string& transportError);
  void offer(const Release& release);

  GtkWindow* parent_;
  std::string address_;
  int64_t ourBuild_;
  std::string userAgent_;
  Hooks hooks_;
  SoupSession* session_ = nullptr;
  SoupMessage* request_ = nullptr;
  GInputStream* body_ = nullptr;  // the answer's body while it is read
  std::string received_;          // what of it has come
  GCancellable* cancel_ = nullptr;
  bool started_ = false;
  bool ended_ = false;
  GtkWidget* dialog_ = nullptr;
  std::string link_;
};
