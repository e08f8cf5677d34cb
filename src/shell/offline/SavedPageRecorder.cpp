#include "SavedPageRecorder.h"

#include "PagePublisher.h"
#include "SavedPage.h"
#include "SavedPageStore.h"
#include "ShellTrace.h"
#include "VLLogger.h"

struct SavedPageRecorder::Watch {
  std::weak_ptr<SavedPageRecorder*> recorder;
  unsigned load;        // the load it belongs to
  unsigned number;      // its own, within the recorder
  std::string page;     // the page's address, without fragment
  std::string address;  // the resource as requested
  bool document;        // the page's own document
  bool dataAsked = false;
};

SavedPageRecorder::SavedPageRecorder(WebKitWebView* view, SavedPageStore& store)
    : view_(view),
      store_(store),
      playerOrigin_(PagePublisher::originOf(store.playerAddress())),
      self_(std::make_shared<SavedPageRecorder*>(this)) {
  g_signal_connect(view_, "resource-load-started", G_CALLBACK(onResourceLoadStarted), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
}

SavedPageRecorder::~SavedPageRecorder() {
  *self_ = nullptr;
  g_signal_handlers_disconnect_by_data(view_, this);
  forgetDocument();
  stopTimer(quietTimer_);
  stopTimer(settleTimer_);
}

void SavedPageRecorder::stopTimer(guint& timer) {
  if (timer != 0) g_source_remove(timer);
  timer = 0;
}

bool SavedPageRecorder::isPlayerOrigin(const std::string& address) const {
  return !playerOrigin_.empty() && PagePublisher::originOf(address) == playerOrigin_;
}

void SavedPageRecorder::forgetDocument() {
  if (load_.document != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(load_.document), reinterpret_cast<gpointer*>(&load_.document));
  }
  load_.document = nullptr;
}

void SavedPageRecorder::onResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource,
                                              WebKitURIRequest* request, gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  const char* requested = webkit_uri_request_get_uri(request);
  bool document = webkit_web_view_get_main_resource(view) == resource;
  if (document) self->startLoad(resource, requested != nullptr ? requested : "");
  if (!self->enabled_ || self->load_.page.empty() || self->load_.dropped) return;
  if (requested == nullptr || !self->isPlayerOrigin(requested)) return;
  // What a page sends (a form, a report) is no part of it.
  const char* method = webkit_uri_request_get_http_method(request);
  if (method != nullptr && g_ascii_strcasecmp(method, "GET") != 0) return;
  // The page the resource is loaded with: itself for the page's document.
  const char* viewAddress = webkit_web_view_get_uri(view);
  std::string page = document || viewAddress == nullptr ? requested : viewAddress;
  if (SavedPage::withoutFragment(page) != self->load_.page) return;
  self->watch(resource, self->load_.page, requested, document);
}

// A new document in the view: a load of the player page is recorded anew.
void SavedPageRecorder::startLoad(WebKitWebResource* document, const std::string& requested) {
  // What the load before added once saved goes into its file first.
  saveNow();
  // An earlier load that did not finish: its document and resources go.
  if (!load_.page.empty() && !load_.saved) store_.dropRecording(load_.page);
  forgetDocument();
  stopTimer(quietTimer_);
  stopTimer(settleTimer_);
  unsigned number = load_.number + 1;
  load_ = Load();
  load_.number = number;
  unsaved_ = false;
  if (!enabled_ || !store_.isPlayerPage(requested)) return;
  load_.page = SavedPage::withoutFragment(requested);
  load_.document = document;
  g_object_add_weak_pointer(G_OBJECT(document), reinterpret_cast<gpointer*>(&load_.document));
}

void SavedPageRecorder::watch(WebKitWebResource* resource, const std::string& page, const std::string& requested,
                              bool document) {
  auto* watch = new Watch{self_, load_.number, ++nextWatch_, page, requested, document};
  // Until it is done, the load is not whole.
  if (!load_.finished) {
    load_.outstanding.insert(watch->number);
    stopTimer(quietTimer_);
  }
  g_signal_connect_data(resource, "finished", G_CALLBACK(onFinished), watch, onWatchGone, G_CONNECT_DEFAULT);
}

void SavedPageRecorder::onFinished(WebKitWebResource* resource, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  std::shared_ptr<SavedPageRecorder*> recorder = watch->recorder.lock();
  if (recorder == nullptr || *recorder == nullptr) return;
  SavedPageRecorder* self = *recorder;
  WebKitURIResponse* response = webkit_web_resource_get_response(resource);
  guint status = response != nullptr ? webkit_uri_response_get_status_code(response) : 0;
  // An error page of the server must never replace the page that worked.
  if (status < 200 || status > 299 || !self->isAnswerOf(*watch, webkit_uri_response_get_uri(response))) {
    self->done(*watch);
    return;
  }
  watch->dataAsked = true;
  ++self->pendingData_;
  webkit_web_resource_get_data(resource, nullptr, onData, new Watch(*watch));
}

// The resource went without finishing (its load was dropped).
void SavedPageRecorder::onWatchGone(gpointer data, GClosure*) {
  std::unique_ptr<Watch> watch(static_cast<Watch*>(data));
  std::shared_ptr<SavedPageRecorder*> recorder = watch->recorder.lock();
  if (!watch->dataAsked && recorder != nullptr && *recorder != nullptr) (*recorder)->done(*watch);
}

// What a redirect answered (a captive portal's sign-in page, say) is not the
// player's: at an offline start it would run at the player's origin with the
// player's objects and stored data. Only answers from the player's origin are
// kept, and for a page's document only the answer of the page's own address.
bool SavedPageRecorder::isAnswerOf(const Watch& watch, const char* answered) const {
  std::string final = answered != nullptr ? answered : "";
  bool kept = isPlayerOrigin(final) && (!watch.document || SavedPage::withoutFragment(final) == watch.page);
  if (!kept) VL_LOG_INFO("SavedPageRecorder::isAnswerOf not kept: " + watch.address + " answered from " + final);
  return kept;
}

void SavedPageRecorder::onData(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Watch> watch(static_cast<Watch*>(data));
  WebKitWebResource* resource = WEBKIT_WEB_RESOURCE(source);
  gsize length = 0;
  GError* error = nullptr;
  guchar* bytes = webkit_web_resource_get_data_finish(resource, result, &length, &error);
  std::shared_ptr<SavedPageRecorder*> recorder = watch->recorder.lock();
  SavedPageRecorder* self = recorder != nullptr ? *recorder : nullptr;
  if (self == nullptr) {
    if (error != nullptr) g_error_free(error);
    g_free(bytes);
    return;
  }
  --self->pendingData_;
  if (bytes == nullptr) {
    VL_LOG_INFO("SavedPageRecorder::onData no data for " + watch->address + ": " +
                (error != nullptr ? error->message : ""));
    if (error != nullptr) g_error_free(error);
  } else if (length == 1 && bytes[0] == 0) {
    // WebKit keeps no data of what scripts fetch: it answers a single zero
    // byte for those. (A length check against Content-Length would refuse
    // every compressed answer, which WebKit hands over decoded.)
    shellTrace("SavedPageRecorder::onData", "no data kept for " + watch->address);
  } else {
    WebKitURIResponse* response = webkit_web_resource_get_response(resource);
    const char* mimeType = response != nullptr ? webkit_uri_response_get_mime_type(response) : nullptr;
    self->recorded(*watch, mimeType != nullptr ? mimeType : "",
                   std::string(reinterpret_cast<const char*>(bytes), length));
  }
  g_free(bytes);
  self->done(*watch);
}

void SavedPageRecorder::recorded(const Watch& watch, const std::string& mimeType, std::string bytes) {
  // A resource of an earlier load, or one that came while a saved page shows.
  if (!enabled_ || watch.load != load_.number || load_.dropped) return;
  if (!store_.record(watch.page, watch.address, mimeType, bytes)) {
    // Over the size limit: neither this load nor what it loads later is kept.
    load_.dropped = true;
    unsaved_ = false;
    return;
  }
  if (watch.document) load_.documentRecorded = true;
  unsaved_ = true;
}

void SavedPageRecorder::done(const Watch& watch) {
  if (watch.load != load_.number || load_.outstanding.erase(watch.number) == 0) return;
  // The page's own resources are all in: the load ends unless another
  // starts soon, whatever other origins still load.
  if (!load_.finished && load_.outstanding.empty()) {
    stopTimer(quietTimer_);
    quietTimer_ = g_timeout_add(kQuietMilliseconds, onQuietTimer, this);
  }
  if (isComplete() && !load_.saved) saveNow();
}

gboolean SavedPageRecorder::onQuietTimer(gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  self->quietTimer_ = 0;
  if (!self->load_.finished && self->load_.outstanding.empty()) self->loadFinished();
  return G_SOURCE_REMOVE;
}

void SavedPageRecorder::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  // The end of the load whose document was recorded, not of one before it.
  if (event != WEBKIT_LOAD_FINISHED || self->load_.document == nullptr ||
      webkit_web_view_get_main_resource(view) != self->load_.document) {
    return;
  }
  self->loadFinished();
}

void SavedPageRecorder::loadFinished() {
  if (load_.finished) return;
  load_.finished = true;
  stopTimer(quietTimer_);
  if (!load_.outstanding.empty()) {
    shellTrace("SavedPageRecorder::loadFinished",
               std::to_string(load_.outstanding.size()) + " resources still loading for " + load_.page);
    settleTimer_ = g_timeout_add(kSettleMilliseconds, onSettleTimer, this);
  }
  if (isComplete()) saveNow();
}

gboolean SavedPageRecorder::onSettleTimer(gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  self->settleTimer_ = 0;
  self->load_.settled = true;
  if (!self->load_.saved) self->saveNow();
  return G_SOURCE_REMOVE;
}

bool SavedPageRecorder::isComplete() const {
  return load_.finished && (load_.outstanding.empty() || load_.settled);
}

// Once per load, and once more for what it loaded later (at the next load or
// the end of the run): a page that keeps loading images is not written again
// for each of them.
void SavedPageRecorder::saveNow() {
  if (load_.page.empty() || load_.dropped || !isComplete()) return;
  // What came after the write, the manifest's resources among them.
  if (load_.saved) {
    unsaved_ = false;
    store_.saveRecordingInBackground(load_.page);
    return;
  }
  if (!unsaved_) return;
  unsaved_ = false;
  // A load whose document was not kept (an error answer) is no page: what
  // it loaded must not join the page saved before.
  if (!load_.documentRecorded) {
    store_.dropRecording(load_.page);
    return;
  }
  load_.saved = store_.saveRecordingInBackground(load_.page);
}

void SavedPageRecorder::finish(unsigned guardMilliseconds) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(guardMilliseconds) * 1000;
  // A wake-up now and then, so that the guard is looked at while idle.
  guint tick = g_timeout_add(
      20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  auto waiting = [this] { return !load_.page.empty() && (!isComplete() || pendingData_ > 0); };
  while (waiting() && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  if (!load_.page.empty() && !isComplete()) {
    VL_LOG_INFO("SavedPageRecorder::finish " + load_.page +
                " was still loading: the page saved before stays as it was");
  } else {
    saveNow();
  }
  store_.waitForWrites(std::chrono::milliseconds(kWriteWaitMilliseconds));
}
