#include "PlayerPageLoader.h"

#include <libsoup/soup.h>

#include "MainWindow.h"
#include "SavedPage.h"
#include "SavedPageRecorder.h"
#include "SavedPageServer.h"
#include "SavedPageStore.h"
#include "PageScripts.h"
#include "ShellStrings.h"
#include "ShellTrace.h"
#include "VLLogger.h"

namespace {

// The manifest pre-fetch waits for the page to have had its turn.
constexpr guint kManifestDelayMilliseconds = 3000;

}  // namespace

PlayerPageLoader::PlayerPageLoader(MainWindow& window, SavedPageStore& store, SavedPageServer& server,
                                   SavedPageRecorder& recorder, std::string playerAddress, Hooks hooks)
    : window_(window),
      store_(store),
      server_(server),
      recorder_(recorder),
      playerAddress_(std::move(playerAddress)),
      hooks_(std::move(hooks)) {
  window_.setLoadFailedListener([this](const std::string& uri, const GError* error) { loadFailed(uri, error); });
  g_signal_connect(window_.mainView(), "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(window_.mainView(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
}

PlayerPageLoader::~PlayerPageLoader() {
  *alive_ = false;
  stopTimer();
  g_signal_handlers_disconnect_by_data(window_.mainView(), this);
  window_.setLoadFailedListener(nullptr);
}

std::string PlayerPageLoader::startupAddress(const std::string& playerAddress, const std::string& locationHash) {
  if (locationHash.empty()) return playerAddress;
  bool endsInSlash = !playerAddress.empty() && playerAddress.back() == '/';
  return playerAddress + (endsInSlash ? "#" : "/#") + locationHash;
}

std::string PlayerPageLoader::htmlErrorPageStringForMessage(const std::string& message) {
  std::string page = PageScripts::text("error.htm");
  if (page.empty()) page = "<p>%s</p>";
  gchar* escaped = g_markup_escape_text(message.c_str(), static_cast<gssize>(message.size()));
  std::string text(escaped);
  g_free(escaped);
  std::string result;
  size_t from = 0;
  for (size_t at = page.find("%s"); at != std::string::npos; at = page.find("%s", from)) {
    result.append(page, from, at - from);
    result += text;
    from = at + 2;
  }
  result.append(page, from, std::string::npos);
  return result;
}

PlayerPageLoader::Failure PlayerPageLoader::classify(const GError* error) {
  if (error == nullptr) return Failure::kOther;
  if (error->domain == WEBKIT_NETWORK_ERROR) {
    if (error->code == WEBKIT_NETWORK_ERROR_CANCELLED) return Failure::kCancelled;
    if (error->code == WEBKIT_NETWORK_ERROR_TRANSPORT) return Failure::kConnection;
    return Failure::kOther;
  }
  if (error->domain == WEBKIT_POLICY_ERROR &&
      error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) {
    return Failure::kCancelled;
  }
  if (error->domain == G_IO_ERROR) {
    if (error->code == G_IO_ERROR_CANCELLED) return Failure::kCancelled;
    return Failure::kConnection;
  }
  if (error->domain == G_RESOLVER_ERROR) return Failure::kConnection;
  return Failure::kOther;
}

std::string PlayerPageLoader::hostOf(const std::string& address) {
  GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return "";
  const char* host = g_uri_get_host(uri);
  gchar* lower = g_ascii_strdown(host != nullptr ? host : "", -1);
  std::string result(lower);
  g_free(lower);
  g_uri_unref(uri);
  return result;
}

bool PlayerPageLoader::sameHost(const std::string& a, const std::string& b) {
  std::string host = hostOf(a);
  return !host.empty() && host == hostOf(b);
}

bool PlayerPageLoader::isShowingSavedPage() const {
  return server_.isServing();
}

void PlayerPageLoader::defer(std::function<void()> step) {
  struct Deferred {
    std::weak_ptr<bool> alive;
    std::function<void()> step;
  };
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto* deferred = static_cast<Deferred*>(data);
        std::shared_ptr<bool> alive = deferred->alive.lock();
        if (alive != nullptr && *alive) deferred->step();
        return G_SOURCE_REMOVE;
      },
      new Deferred{alive_, std::move(step)}, [](gpointer data) { delete static_cast<Deferred*>(data); });
}

void PlayerPageLoader::loadMainWebViewContent(const std::string& locationHash) {
  std::string address = startupAddress(playerAddress_, locationHash);
  shellTrace("PlayerPageLoader::loadMainWebViewContent", "STARTUP URL: " + address);
  loadFromNetwork(address);
  if (hooks_.prefetchManifest) {
    struct Later {
      std::weak_ptr<bool> alive;
      std::function<void()> prefetch;
    };
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, kManifestDelayMilliseconds,
        [](gpointer data) -> gboolean {
          auto* later = static_cast<Later*>(data);
          std::shared_ptr<bool> alive = later->alive.lock();
          if (alive != nullptr && *alive) later->prefetch();
          return G_SOURCE_REMOVE;
        },
        new Later{alive_, hooks_.prefetchManifest}, [](gpointer data) { delete static_cast<Later*>(data); });
  }
}

void PlayerPageLoader::loadFromNetwork(const std::string& address) {
  server_.stop(window_.mainView());
  leftFor_.clear();
  recorder_.setEnabled(true);
  requestedAddress_ = address;
  stopTimer();
  timedOut_ = false;
  // The time-out is the request's: it runs from the load's start in the web
  // process, not from here, where a web process that is still starting (a
  // cold one on a busy machine takes seconds) would eat into it.
  awaitingStart_ = true;
  if (hooks_.loading) hooks_.loading(address);
  webkit_web_view_load_uri(window_.mainView(), address.c_str());
}

void PlayerPageLoader::leaveSavedPage(const std::string& address, bool byScript) {
  if (!isShowingSavedPage()) return;
  // A player that moves itself as it starts (to its home address, say) would
  // otherwise leave the saved page, find no service, show it again and leave
  // again without end: after a move of its script that found no service,
  // the next one waits for the user's or the application's.
  if (byScript && scriptLeaveFailed_) {
    VL_LOG_INFO("PlayerPageLoader::leaveSavedPage the saved page stays: its player moved again by itself to " +
                address + " right after a move that found no service");
    return;
  }
  shellTrace("PlayerPageLoader::leaveSavedPage", "the saved page's player goes to " + address);
  scriptLeaveFailed_ = false;
  defer([this, address, byScript] {
    loadFromNetwork(address);
    leftFor_ = SavedPage::withoutFragment(address);
    leftByScript_ = byScript;
  });
}

void PlayerPageLoader::mayLeaveSavedPageAgain() {
  scriptLeaveFailed_ = false;
}

void PlayerPageLoader::stopTimer() {
  if (timeout_ != 0) g_source_remove(timeout_);
  timeout_ = 0;
}

gboolean PlayerPageLoader::onTimeout(gpointer data) {
  auto* self = static_cast<PlayerPageLoader*>(data);
  self->timeout_ = 0;
  self->timedOut_ = true;
  shellTrace("PlayerPageLoader::onTimeout", "no answer for " + self->requestedAddress_);
  // The cancelled load this gives is this time-out, handled here.
  webkit_web_view_stop_loading(self->window_.mainView());
  self->connectionFailure(self->pageOf(self->requestedAddress_), self->requestedAddress_, "The request timed out.");
  return G_SOURCE_REMOVE;
}

void PlayerPageLoader::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<PlayerPageLoader*>(data);
  if (event == WEBKIT_LOAD_STARTED && self->awaitingStart_) {
    self->awaitingStart_ = false;
    self->stopTimer();
    self->timeout_ = g_timeout_add(self->timeoutMilliseconds_, onTimeout, self);
  }
  if (event == WEBKIT_LOAD_COMMITTED) {
    self->leftFor_.clear();  // what shows now is the page it was left for, or the saved page again
    self->awaitingStart_ = false;
    self->stopTimer();
  }
  if (event == WEBKIT_LOAD_FINISHED) {
    self->crashesInARow_ = 0;
    const char* uri = webkit_web_view_get_uri(view);
    shellTrace("PlayerPageLoader::onLoadChanged", std::string("page loaded: ") + (uri != nullptr ? uri : ""));
    self->checkStatus();
  }
}

void PlayerPageLoader::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
  static_cast<PlayerPageLoader*>(data)->webProcessTerminated(reason);
}

void PlayerPageLoader::webProcessTerminated(WebKitWebProcessTerminationReason reason) {
  if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;  // asked for
  const char* why = reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "went over its memory limit" : "crashed";
  stopTimer();
  if (hooks_.pageGone) hooks_.pageGone();
  if (++crashesInARow_ > kMaxCrashesInARow) {
    VL_LOG_WARN(std::string("PlayerPageLoader::webProcessTerminated the page's web process ") + why +
                " again: showing the error page");
    showErrorPage(ShellStrings::text("html.error.message.unavailable"));
    return;
  }
  VL_LOG_WARN(std::string("PlayerPageLoader::webProcessTerminated the page's web process ") + why +
              ": loading the player page again");
  defer([this] { loadFromNetwork(playerAddress_); });
}

void PlayerPageLoader::loadFailed(const std::string& uri, const GError* error) {
  if (!sameHost(uri, playerAddress_)) return;
  Failure failure = classify(error);
  std::string message = error != nullptr ? error->message : "";
  if (failure == Failure::kCancelled) {
    // A time-out is handled when it fires; other cancellations were asked for.
    shellTrace("PlayerPageLoader::loadFailed", "cancelled: " + uri);
    return;
  }
  stopTimer();
  if (failure == Failure::kOther) {
    VL_LOG_WARN("PlayerPageLoader::loadFailed " + uri + ": " + message);
    showErrorPage(message);
    return;
  }
  // Only a failure of the player page itself counts, or of the page the
  // saved page was left for.
  std::string page = pageOf(uri);
  if (page.empty()) {
    shellTrace("PlayerPageLoader::loadFailed", "connection failure of another page: " + uri);
    return;
  }
  connectionFailure(page, uri, message);
}

// The player page address whose saved page stands for a failed load of
// `uri`, with its location hash; empty for another page.
std::string PlayerPageLoader::pageOf(const std::string& uri) const {
  std::string failed = SavedPage::withoutFragment(uri);
  if (!leftFor_.empty() && failed == leftFor_) return savedAddress_;
  if (failed != SavedPage::withoutFragment(playerAddress_)) return "";
  // The page address as asked for.
  return SavedPage::withoutFragment(requestedAddress_) == failed ? requestedAddress_ : uri;
}

void PlayerPageLoader::connectionFailure(const std::string& pageAddress, const std::string& failingAddress,
                                         const std::string& error) {
  // The page the saved page was left for found no service.
  if (!leftFor_.empty()) scriptLeaveFailed_ = leftByScript_;
  int count = cacheReloadCount_++;
  if (count == 0) {
    shellTrace("PlayerPageLoader::connectionFailure",
               "*** TRYING TO USE CACHE for initialURL: " + pageAddress + " ***");
    bool ready = hooks_.isJSReady && hooks_.isJSReady();
    shellTrace("PlayerPageLoader::connectionFailure", std::string(" ======> is js ready? => ") + (ready ? "1" : "0"));
    if (ready) {
      shellTrace("PlayerPageLoader::connectionFailure", " ======> JS IS READY => Reload from VeloraAPI.");
      if (hooks_.reloadPage) hooks_.reloadPage();
    } else {
      shellTrace("PlayerPageLoader::connectionFailure", " ======> JS IS NOT READY => Reload from cache.");
      defer([this, pageAddress] { reloadFromCache(pageAddress); });
    }
    return;
  }
  shellTrace("PlayerPageLoader::connectionFailure", "*** NO CACHE FOUND, failing_url = " + failingAddress);
  shellTrace("PlayerPageLoader::connectionFailure",
             "*** CACHE LOADING FAILED? for initialURL: " + pageAddress + " ***");
  shellTrace("PlayerPageLoader::connectionFailure", " -> error: " + error);
  shellTrace("PlayerPageLoader::connectionFailure", " -> cacheReloadCount: " + std::to_string(cacheReloadCount_));
  defer([this, pageAddress] { showSavedPageOrError(pageAddress); });
}

// The store is the cache: a cache-only load is the saved page, and without
// one the cache-only load fails at once, as a connection failure would.
void PlayerPageLoader::reloadFromCache(const std::string& pageAddress) {
  if (!showSavedPage(pageAddress, "PlayerPageLoader::reloadFromCache")) {
    connectionFailure(pageAddress, pageAddress, "No saved page.");
  }
}

// A saved page that cannot be used (damaged, cut short, of another page, or
// no file at all) is no saved page: the user is told there is no connection
// rather than left with the loader.
void PlayerPageLoader::showSavedPageOrError(const std::string& pageAddress) {
  if (!showSavedPage(pageAddress, "PlayerPageLoader::showSavedPageOrError")) {
    showErrorPage(ShellStrings::text("html.error.message.no_connection.first_time"));
  }
}

bool PlayerPageLoader::showSavedPage(const std::string& pageAddress, const std::string& caller) {
  SavedPage page;
  if (!store_.load(pageAddress, page)) return false;
  shellTrace(caller.c_str(), "Trying to load web-archive: " + store_.pathFor(pageAddress));
  recorder_.setEnabled(false);
  savedAddress_ = pageAddress;
  if (hooks_.loading) hooks_.loading(pageAddress);
  server_.show(window_.mainView(), std::move(page), pageAddress);
  return true;
}

void PlayerPageLoader::checkStatus() {
  WebKitWebResource* resource = webkit_web_view_get_main_resource(window_.mainView());
  WebKitURIResponse* response = resource != nullptr ? webkit_web_resource_get_response(resource) : nullptr;
  if (response == nullptr) return;
  const char* uri = webkit_uri_response_get_uri(response);
  // Only HTTP answers carry a status.
  if (uri == nullptr || (!g_str_has_prefix(uri, "http:") && !g_str_has_prefix(uri, "https:"))) return;
  guint status = webkit_uri_response_get_status_code(response);
  if (status == 0 || (status >= 200 && status <= 299)) return;
  VL_LOG_WARN("PlayerPageLoader::checkStatus  *** response status: " + std::to_string(status));
  std::string headers;
  SoupMessageHeaders* fields = webkit_uri_response_get_http_headers(response);
  if (fields != nullptr) {
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, fields);
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value)) headers += std::string(name) + ": " + value + "; ";
  }
  VL_LOG_WARN("PlayerPageLoader::checkStatus  *** response headers: " + headers);
  showErrorPage(
      ShellStrings::text(status == 503 ? "html.error.message.maintenance" : "html.error.message.unavailable"));
}

void PlayerPageLoader::showErrorPage(const std::string& message) {
  shellTrace("PlayerPageLoader::showErrorPage", message);
  std::string page = htmlErrorPageStringForMessage(message);
  defer([this, page] {
    webkit_web_view_load_html(window_.preloadingView(), page.c_str(), nullptr);
    window_.setPreloadingViewVisible(true);
  });
}
