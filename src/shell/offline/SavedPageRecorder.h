// Keeps a copy of every player page the main web view loads from the
// network: each resource of the player's origin that a page of the player's
// origin loads with GET (its document among them) goes into the store with its MIME
// type and bytes once it has finished with a 2xx answer from the player's
// origin (a document: from its own address, not after a redirect), and the page is
// written a moment after the last one (and when the page has finished
// loading), so that the last save holds everything loaded so far.
//
// Threads: main thread only (WebKit's).
#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <set>
#include <string>

class SavedPageStore;

class SavedPageRecorder {
 public:
  // view and store must outlive the recorder. playerOrigin as
  // PagePublisher::originOf gives it.
  SavedPageRecorder(WebKitWebView* view, SavedPageStore& store, std::string playerOrigin);
  ~SavedPageRecorder();
  SavedPageRecorder(const SavedPageRecorder&) = delete;
  SavedPageRecorder& operator=(const SavedPageRecorder&) = delete;

  // Off while the view shows a saved page (which must not be saved over
  // itself); on at start.
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }
  // Writes every page with resources recorded since its last write, now.
  void saveNow();
  // For the end of the run: waits (running the main loop, at most the guard
  // time) for the data of resources that have finished loading, then saves.
  // A quit right after a load so still saves the whole page.
  void finish(unsigned guardMilliseconds);

 private:
  struct Watch;
  static void onResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource, WebKitURIRequest* request,
                                    gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static void onFinished(WebKitWebResource* resource, gpointer watch);
  static void onData(GObject* resource, GAsyncResult* result, gpointer watch);
  static gboolean onSaveTimer(gpointer self);

  void recorded(const std::string& page);
  bool isPlayerOrigin(const std::string& address) const;
  bool isAnswerOf(const Watch& watch, const char* answered) const;

  WebKitWebView* view_;
  SavedPageStore& store_;
  std::string playerOrigin_;
  bool enabled_ = true;
  std::set<std::string> unsaved_;
  int pendingData_ = 0;  // data asked of WebKit and not yet answered
  guint saveTimer_ = 0;
  std::shared_ptr<SavedPageRecorder*> self_;  // cleared when destroyed: late answers find no recorder
};
