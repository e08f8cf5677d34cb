#include "SavedPageRecorder.h"

#include "PagePublisher.h"
#include "SavedPage.h"
#include "SavedPageStore.h"
#include "ShellTrace.h"
#include "VLLogger.h"

namespace {

// Resources finish in bursts: one write for a burst.
constexpr guint kSaveDelayMilliseconds = 300;

}  // namespace

struct SavedPageRecorder::Watch {
  std::weak_ptr<SavedPageRecorder*> recorder;
  std::string page;     // the page's address, without fragment
  std::string address;  // the resource as requested
  bool document;        // the page's own document
};

SavedPageRecorder::SavedPageRecorder(WebKitWebView* view, SavedPageStore& store, std::string playerOrigin)
    : view_(view),
      store_(store),
      playerOrigin_(std::move(playerOrigin)),
      self_(std::make_shared<SavedPageRecorder*>(this)) {
  g_signal_connect(view_, "resource-load-started", G_CALLBACK(onResourceLoadStarted), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
}

SavedPageRecorder::~SavedPageRecorder() {
  *self_ = nullptr;
  g_signal_handlers_disconnect_by_data(view_, this);
  if (saveTimer_ != 0) g_source_remove(saveTimer_);
}

bool SavedPageRecorder::isPlayerOrigin(const std::string& address) const {
  return !playerOrigin_.empty() && PagePublisher::originOf(address) == playerOrigin_;
}

void SavedPageRecorder::onResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource,
                                              WebKitURIRequest* request, gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  if (!self->enabled_) return;
  const char* requested = webkit_uri_request_get_uri(request);
  if (requested == nullptr || !self->isPlayerOrigin(requested)) return;
  // What a page sends (a form, a report) is no part of it.
  const char* method = webkit_uri_request_get_http_method(request);
  if (method != nullptr && g_ascii_strcasecmp(method, "GET") != 0) return;
  // The page the resource is loaded with: itself for the page's document.
  const char* viewAddress = webkit_web_view_get_uri(view);
  std::string page =
      webkit_web_view_get_main_resource(view) == resource || viewAddress == nullptr ? requested : viewAddress;
  if (!self->isPlayerOrigin(page)) return;
  auto* watch = new Watch{self->self_, SavedPage::withoutFragment(page), requested,
                          webkit_web_view_get_main_resource(view) == resource};
  g_signal_connect_data(
      resource, "finished", G_CALLBACK(onFinished), watch, [](gpointer w, GClosure*) { delete static_cast<Watch*>(w); },
      G_CONNECT_DEFAULT);
}

void SavedPageRecorder::onFinished(WebKitWebResource* resource, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  WebKitURIResponse* response = webkit_web_resource_get_response(resource);
  guint status = response != nullptr ? webkit_uri_response_get_status_code(response) : 0;
  // An error page of the server must never replace the page that worked.
  if (status < 200 || status > 299) return;
  std::shared_ptr<SavedPageRecorder*> recorder = watch->recorder.lock();
  if (recorder == nullptr || *recorder == nullptr) return;
  if (!(*recorder)->isAnswerOf(*watch, webkit_uri_response_get_uri(response))) return;
  ++(*recorder)->pendingData_;
  webkit_web_resource_get_data(resource, nullptr, onData, new Watch(*watch));
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
  if (recorder != nullptr && *recorder != nullptr) --(*recorder)->pendingData_;
  if (bytes == nullptr) {
    if (recorder != nullptr && *recorder != nullptr) {
      VL_LOG_INFO("SavedPageRecorder::onData no data for " + watch->address + ": " +
                  (error != nullptr ? error->message : ""));
    }
    if (error != nullptr) g_error_free(error);
    return;
  }
  WebKitURIResponse* response = webkit_web_resource_get_response(resource);
  // WebKit keeps no data of what scripts fetch: it answers a single zero
  // byte for those. (A length check against Content-Length would refuse
  // every compressed answer, which WebKit hands over decoded.)
  if (length == 1 && bytes[0] == 0) {
    shellTrace("SavedPageRecorder::onData", "no data kept for " + watch->address);
  } else if (recorder != nullptr && *recorder != nullptr && (*recorder)->enabled_) {
    const char* mimeType = response != nullptr ? webkit_uri_response_get_mime_type(response) : nullptr;
    (*recorder)->store_.record(watch->page, watch->address, mimeType != nullptr ? mimeType : "",
                               std::string(reinterpret_cast<const char*>(bytes), length));
    (*recorder)->recorded(watch->page);
  }
  g_free(bytes);
}

void SavedPageRecorder::recorded(const std::string& page) {
  unsaved_.insert(page);
  if (saveTimer_ != 0) g_source_remove(saveTimer_);
  saveTimer_ = g_timeout_add(kSaveDelayMilliseconds, onSaveTimer, this);
}

gboolean SavedPageRecorder::onSaveTimer(gpointer data) {
  auto* self = static_cast<SavedPageRecorder*>(data);
  self->saveTimer_ = 0;
  self->saveNow();
  return G_SOURCE_REMOVE;
}

void SavedPageRecorder::saveNow() {
  if (saveTimer_ != 0) {
    g_source_remove(saveTimer_);
    saveTimer_ = 0;
  }
  for (const std::string& page : unsaved_) store_.saveRecording(page);
  unsaved_.clear();
}

void SavedPageRecorder::finish(unsigned guardMilliseconds) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(guardMilliseconds) * 1000;
  // A wake-up now and then, so that the guard is looked at while idle.
  guint tick = g_timeout_add(
      20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (pendingData_ > 0 && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  saveNow();
}

void SavedPageRecorder::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  if (event == WEBKIT_LOAD_FINISHED) static_cast<SavedPageRecorder*>(data)->saveNow();
}
