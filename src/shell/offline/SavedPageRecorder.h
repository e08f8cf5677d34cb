// Keeps a copy of the player page the main web view loads from the network:
// each resource of the player's origin that the player page loads with GET
// (its document among them) goes into the store with its MIME type and
// bytes once it has finished with a 2xx answer from the player's origin (a
// document: from its own address, not after a redirect).
//
// A saved page is replaced only by a whole load: the page is written once
// its document and every resource of the player's origin started during the
// load have finished (the load ends then, or when WebKit finishes it, as
// comes first; a resource still running a settling time after WebKit's end,
// such as a fetch kept open, is not waited for). What another origin loads
// (an advert whose server never answers) is not waited for. What the page
// loads later is added to the file once, when the next load starts or at
// the end of the run. A load that has not finished is never written: the
// saved page stays as it was. A load over the store's size limit is not
// recorded further and not written.
//
// Threads: main thread only (WebKit's); the store writes on its own thread.
#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <set>
#include <string>

class SavedPageStore;

class SavedPageRecorder {
 public:
  // After the load has finished, how long resources it started may still
  // run before the page is written without them.
  static constexpr unsigned kSettleMilliseconds = 1500;
  // How long every resource of the page must have been done, with no new
  // one started, before the load counts as ended without WebKit's end: a
  // script that has just finished may start the next resource.
  static constexpr unsigned kQuietMilliseconds = 300;
  // At the end of the run, how long the store's writes are waited for: on a
  // disk slow to sync the end must not wait for them without end (a session
  // that logs out kills what lingers). A recording still waiting for the
  // writer then is not written; the write under way goes on, and the store's
  // destruction waits for it.
  static constexpr unsigned kWriteWaitMilliseconds = 5000;

  // view and store must outlive the recorder; the page recorded is the
  // store's player page.
  SavedPageRecorder(WebKitWebView* view, SavedPageStore& store);
  ~SavedPageRecorder();
  SavedPageRecorder(const SavedPageRecorder&) = delete;
  SavedPageRecorder& operator=(const SavedPageRecorder&) = delete;

  // Off while the view shows a saved page (which must not be saved over
  // itself); on at start. Loads started while off are not recorded.
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }
  // For the end of the run: waits (running the main loop, at most the guard
  // time, which should exceed kSettleMilliseconds) for the player page's
  // load to finish whole and for the data of resources that have finished,
  // then saves, and waits for the store's writes, at most
  // kWriteWaitMilliseconds. A page still loading when the guard ends is not
  // saved: the page saved before stays.
  void finish(unsigned guardMilliseconds);

 private:
  struct Watch;
  // The view's current load.
  struct Load {
    unsigned number = 0;
    std::string page;                       // the player page's address when recorded, else empty
    WebKitWebResource* document = nullptr;  // weak: cleared when the resource goes
    bool documentRecorded = false;          // its document's answer is in the recording
    bool finished = false;                  // WebKit finished the load, or its resources are done
    bool settled = false;                   // kSettleMilliseconds have passed since
    bool saved = false;                     // the load was written whole
    bool dropped = false;                   // over the size limit: nothing more recorded
    std::set<unsigned> outstanding;         // resources started during the load, not yet done
  };

  static void onResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource, WebKitURIRequest* request,
                                    gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static void onFinished(WebKitWebResource* resource, gpointer watch);
  static void onWatchGone(gpointer watch, GClosure* closure);
  static void onData(GObject* resource, GAsyncResult* result, gpointer watch);
  static gboolean onQuietTimer(gpointer self);
  static gboolean onSettleTimer(gpointer self);

  void startLoad(WebKitWebResource* document, const std::string& requested);
  void loadFinished();
  void watch(WebKitWebResource* resource, const std::string& page, const std::string& requested, bool document);
  void done(const Watch& watch);
  void recorded(const Watch& watch, const std::string& mimeType, std::string bytes);
  bool isComplete() const;
  // Writes what was recorded when the load is complete, in the background.
  void saveNow();
  void stopTimer(guint& timer);
  void forgetDocument();
  bool isPlayerOrigin(const std::string& address) const;
  bool isAnswerOf(const Watch& watch, const char* answered) const;

  WebKitWebView* view_;
  SavedPageStore& store_;
  std::string playerOrigin_;
  bool enabled_ = true;
  Load load_;
  unsigned nextWatch_ = 0;
  bool unsaved_ = false;  // recorded since the last save
  int pendingData_ = 0;   // data asked of WebKit and not yet answered
  guint quietTimer_ = 0;
  guint settleTimer_ = 0;
  std::shared_ptr<SavedPageRecorder*> self_;  // cleared when destroyed: late answers find no recorder
};
