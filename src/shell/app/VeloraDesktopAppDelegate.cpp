#include "VeloraDesktopAppDelegate.h"

#include <cstring>
#include <set>

#include "ApplicationMenu.h"
#include "Binding.h"
#include "CrashReportSender.h"
#include "CrashReporter.h"
#include "ExternalProgram.h"
#include "HTML5ManifestPrefetch.h"
#include "MainViewNavigationPolicy.h"
#include "PageScripts.h"
#include "PlayerPageLoader.h"
#include "PopupWindowController.h"
#include "SavedPageRecorder.h"
#include "SavedPageServer.h"
#include "SavedPageStore.h"
#include "ShellStrings.h"
#include "ShellTrace.h"
#include "UpdateCheck.h"
#include "UserGestureBudget.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"
#include "VeloraAudio.h"
#include "VeloraController.h"
#include "VeloraICI.h"
#include "VeloraStorage.h"
#include "VeloraURLScheme.h"
#include "VeloraWebKitNotifications.h"

namespace {

VLSettingHelper* settings() {
  return VLPlatformFactory::instance()->getSettingHelper();
}

bool isTrue(const std::string& value) {
  return value == "1" || g_ascii_strcasecmp(value.c_str(), "true") == 0 ||
         g_ascii_strcasecmp(value.c_str(), "yes") == 0;
}

// A modal message with one OK button.
void showMessage(GtkWindow* parent, GtkMessageType type, const std::string& title, const std::string& text) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", title.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), ShellStrings::text("dialog.button.label.ok").c_str(), GTK_RESPONSE_OK);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

bool isMailText(const char* address) {
  return g_ascii_strncasecmp(address, "mailto:", 7) == 0;
}

std::string randomText() {
  gchar* text = g_uuid_string_random();
  std::string result(text);
  g_free(text);
  return result;
}

}  // namespace

VeloraDesktopAppDelegate::VeloraDesktopAppDelegate(std::string playerAddress)
    : playerAddress_(playerAddress.empty() ? initPlayerUrl() : std::move(playerAddress)),
      mailMark_("velora-player=" + randomText()) {}

VeloraDesktopAppDelegate::~VeloraDesktopAppDelegate() {
  stop();
  prefetch_.reset();
  loader_.reset();
  recorder_.reset();
  navigationPolicy_.reset();
  gestureBudget_.reset();
  crashReports_.reset();
  updateCheck_.reset();
  menu_.reset();
  window_.reset();
  if (context_ != nullptr) g_object_unref(context_);
  // The context answered our scheme through the server until now.
  savedPageServer_.reset();
  savedPages_.reset();
}

std::string VeloraDesktopAppDelegate::initPlayerUrl() {
  std::string beta = VLPlatformFactory::instance()->getSettingHelper()->getValue("BetaPlayerURL", "");
  return beta.empty() ? kProductionPlayer : beta;
}

bool VeloraDesktopAppDelegate::start(WebKitWebsiteDataManager* websiteData, const std::string& extensions) {
  VeloraController& controller = VeloraController::instance();
  // The system proxy is read once, here on the main thread: GLib's settings
  // backend, which that reads, deadlocks when a thread (a transfer, a crash
  // report's send) makes it while the main thread's GIO makes it too.
  std::string proxy;
  VLPlatformFactory::instance()->getProxyConfig(playerAddress_, proxy);
  VLPlatformFactory::instance()->getNoProxyHosts();
  // Crash reporting first: from here on a crash leaves a report.
  std::string stateFolder = VLLogger::instance()->getLogFilePath("");
  // Without a state folder (one that cannot be made) crashes leave no report.
  if (!stateFolder.empty() && CrashReporter::install(stateFolder, VeloraController::getVeloraDesktopVersion())) {
    shellTrace("VeloraDesktopAppDelegate::start", "--- CrashReporter started for release version ---");
  }
  publisher_ = std::make_unique<PagePublisher>([this] { return window_ != nullptr ? window_->mainPageId() : 0; },
                                               playerAddress_, [this](PagePublication& p) { publishObjects(p); });
  publisher_->setConsole(
      [this, &controller](unsigned level, const std::string& text, const std::string& source, unsigned line) {
        unsigned long heldBack = 0;
        if (!consoleLimit_.admit(text.size() + source.size(), &heldBack)) return;
        if (heldBack > 0) {
          controller.logWarning("The page logged too much: " + std::to_string(heldBack) +
                                " console messages were not written");
        }
        controller.logMessage(
            VeloraController::ConsoleMessage{VeloraController::consoleLevelName(level), text, source, line});
      });
  publisher_->setWarning([&controller](const std::string& text) { controller.logWarning("PageChannel " + text); });
  publisher_->setShown([this](PagePublication& publication, bool shown) { publicationShown(publication, shown); });
  channel_ = std::make_unique<PageChannel>(*publisher_);

  // The core first: its log takes the channel's warnings.
  controller.initBinding();
  if (!channel_->start()) {
    // The core runs from here on: a start that goes no further stops it
    // again, so that its stores close and its indexes are saved.
    controller.cleanBinding();
    return false;
  }
  context_ =
      websiteData != nullptr ? webkit_web_context_new_with_website_data_manager(websiteData) : webkit_web_context_new();
  MainWindow::prepareContext(context_, extensions, channel_->address());
  window_ = std::make_unique<MainWindow>(context_);
  navigationPolicy_ = std::make_unique<MainViewNavigationPolicy>(window_->mainView(), publisher_->playerOrigin());
  gestureBudget_ = std::make_unique<UserGestureBudget>(GTK_WIDGET(window_->mainView()));
  started_ = true;

  // The page's log upload.
  logAlerts_ = std::make_unique<LogUploadAlerts>(window_->window());
  LogBundleSettings bundleSettings =
      LogBundleSettings::forThisUser(VeloraController::getVeloraDesktopVersion(), Binding::instance()->getSystemUid());
  bundleSettings.storageFolders = [] {
    Binding* core = Binding::instance();
    return std::vector<std::string>{core->getSetting("cache_repository_path"),
                                    core->getSetting("import_repository_path"),
                                    core->getSetting("download_repository_path")};
  };
  logUpload_ = std::make_unique<LogUploadService>(std::move(bundleSettings), *logAlerts_);
  controller.setLogUploader([this](const std::string& userId, const std::string& login, const std::string& version) {
    logUpload_->sendLogForUserId(userId, login, version);
  });

  // The saved player pages, for an offline start; served on our scheme,
  // which the context must know before its first load.
  savedPageServer_ = std::make_unique<SavedPageServer>(context_);
  savedPages_ = std::make_unique<SavedPageStore>(settings()->getAndCreateLocalPath(VLSettingHelper::LOCAL_FOLDER_CACHE),
                                                 playerAddress_);
  recorder_ = std::make_unique<SavedPageRecorder>(window_->mainView(), *savedPages_);
  PlayerPageLoader::Hooks hooks;
  hooks.isJSReady = [] { return VeloraController::instance().isJSReady(); };
  hooks.reloadPage = [] {
    if (auto ici = VeloraController::instance().ici()) ici->sendJs("VeloraAPI.reload()");
  };
  hooks.pageGone = [] { Binding::instance()->setJSReady(false); };
  hooks.loading = [this](const std::string& address) { navigationPolicy_->expectLoad(address); };
  hooks.prefetchManifest = [this] {
    std::string manifest = HTML5ManifestPrefetch::manifestAddressFor(playerAddress_);
    if (manifest.empty()) {
      VL_LOG_WARN("No manifest pre-fetch: the player address " + playerAddress_ + " is no web address");
      return;
    }
    prefetch_ = std::make_unique<HTML5ManifestPrefetch>(manifest, userAgent(), *savedPages_);
    prefetch_->start();
  };
  loader_ = std::make_unique<PlayerPageLoader>(*window_, *savedPages_, *savedPageServer_, *recorder_, playerAddress_,
                                               std::move(hooks));
  navigationPolicy_->setLeaveSavedPage(
      [this](const std::string& address, bool byScript) { loader_->leaveSavedPage(address, byScript); });
  connectViews();

  // The user agent: WebKit's own, then our name and version.
  WebKitSettings* settings = webkit_web_view_get_settings(window_->mainView());
  std::string agent = std::string(webkit_settings_get_user_agent(settings)) + " VeloraDesktop/" +
                      VeloraController::getVeloraDesktopVersion();
  webkit_settings_set_user_agent(settings, agent.c_str());

  std::string loader = PageScripts::text("loader.html");
  webkit_web_view_load_html(window_->preloadingView(), loader.c_str(), nullptr);
  loader_->loadMainWebViewContent(urlCalledAtStartup_);
  checkForUpdates();
  window_->show();

  // The last run's crash report, when it left one.
  if (stateFolder.empty()) return true;
  CrashReportSender::Settings crashReports;
  crashReports.reportPath = CrashReporter::reportPath(stateFolder);
  crashReports.address = ::settings()->getValue("CrashReportURL", playerAddress_ + "apps/velora-desktop/crash_report");
  crashReports.logFolder = stateFolder;
  crashReports.version = VeloraController::getVeloraDesktopVersion();
  crashReports_ = std::make_unique<CrashReportSender>(crashReports);
  crashReports_->offer(window_->window());
  return true;
}

std::string VeloraDesktopAppDelegate::updaterFeedURL() const {
  return playerAddress_ + "apps/velora-desktop/osx/update_2.xml";
}

// In the background: the start goes on, and a failure is a warning only.
void VeloraDesktopAppDelegate::checkForUpdates() {
  UpdateCheck::Hooks hooks;
  hooks.openLink = [this](const std::string& link) {
    if (isForTheDesktop(link)) {
      openInBrowser(link);
    } else {
      VL_LOG_WARN("VeloraDesktopAppDelegate::checkForUpdates refused to open " + link);
    }
  };
  hooks.warn = [](const std::string& message) {
    VeloraController::instance().logWarning("VeloraDesktopAppDelegate::checkForUpdates " + message);
  };
  updateCheck_ =
      std::make_unique<UpdateCheck>(window_->window(), UpdateCheck::feedAddress(updaterFeedURL(), time(nullptr)),
                                    g_ascii_strtoll(VELORA_BUILD_NUMBER, nullptr, 10), userAgent(), std::move(hooks));
  updateCheck_->start();
}

void VeloraDesktopAppDelegate::stop() {
  if (!started_) return;
  started_ = false;
  shellTrace("VeloraDesktopAppDelegate::stop", "applicationWillTerminate: ");
  if (graceTimer_ != 0) g_source_remove(graceTimer_);
  graceTimer_ = 0;
  if (prefetch_ != nullptr) prefetch_->cancel();
  // What the last page loaded is saved whole, also right after its load.
  if (recorder_ != nullptr) recorder_->finish(2000);
  VeloraController::instance().setIci(nullptr);
  VeloraController::instance().setLogUploader(nullptr);
  logUpload_.reset();
  logAlerts_.reset();
  // The page's readers run off the main thread and read the core.
  channel_->stopDirectCalls();
  VeloraController::instance().cleanBinding();
  channel_->stop();
}

std::string VeloraDesktopAppDelegate::userAgent() const {
  return window_ != nullptr ? webkit_settings_get_user_agent(webkit_web_view_get_settings(window_->mainView())) : "";
}

void VeloraDesktopAppDelegate::publishObjects(PagePublication& publication) {
  hasPlayerBeenLoaded_ = true;
  auto ici = std::make_shared<VeloraICI>(window_->window());
  ici->setPublication(publication.weak_from_this());
  publication.addScript("var MACOS = true;");
  publication.addObject(ici);
  publication.addObject(std::make_shared<VeloraStorage>(), PageScripts::text("storage.js"));
  publication.addObject(std::make_shared<VeloraWebKitNotifications>(), PageScripts::text("notifications.js"));
  publication.addObject(std::make_shared<VeloraAudio>(), PageScripts::text("audio.js"));
  publication.addScript(PageScripts::text("appcache.js"));
  publication.addScript(mailMarkScript());
  // Only the page's own document talks for the page: a frame of the player's
  // origin inside it gets objects too, but not the controller's ear.
  if (publication.frame().mainFrame) {
    terminationAsked_ = false;  // a new document was never asked
    // The location asked for while no player document showed: one that went
    // with the load is there already (setting it again does nothing); one
    // that came while the page loaded, or after its web process had gone,
    // is set before the page's own scripts run.
    std::string location = VeloraICI::locationHashScript(urlCalledAtStartup_);
    if (!urlCalledAtStartup_.empty() && !location.empty()) publication.addScript(location);
    urlCalledAtStartup_.clear();
    VeloraController::instance().setIci(ici);
    window_->releasePreloadingView();
  }
}

// A player document of the main view went into the back/forward cache, or
// came back from it: the controller talks to the document that shows, and to
// none while another one does.
void VeloraDesktopAppDelegate::publicationShown(PagePublication& publication, bool shown) {
  if (!publication.frame().mainFrame) return;
  VeloraController& controller = VeloraController::instance();
  if (shown) {
    auto ici = std::dynamic_pointer_cast<VeloraICI>(publication.sharedObject("VeloraICI"));
    if (ici == nullptr) return;
    controller.setIci(ici);
    terminationAsked_ = false;  // a new document was never asked
    window_->setPreloadingViewVisible(false);
    if (!urlCalledAtStartup_.empty()) {
      loader_->mayLeaveSavedPageAgain();
      ici->changeLocationHash(urlCalledAtStartup_);
    }
    urlCalledAtStartup_.clear();
  } else if (controller.ici() != nullptr && controller.ici()->publication().get() == &publication) {
    controller.setIci(nullptr);
  }
}

// The player document the controller talks to, when the main view shows one.
std::shared_ptr<VeloraICI> VeloraDesktopAppDelegate::shownIci() const {
  std::shared_ptr<VeloraICI> ici = VeloraController::instance().ici();
  if (ici == nullptr) return nullptr;
  std::shared_ptr<PagePublication> publication = ici->publication();
  if (publication == nullptr || !publication->isActive() || !publication->isShown()) return nullptr;
  return ici;
}

// --- the views -----------------------------------------------------------------

void VeloraDesktopAppDelegate::connectViews() {
  WebKitWebView* main = window_->mainView();
  g_signal_connect(main, "notify::title", G_CALLBACK(onTitle), this);
  g_signal_connect(main, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(main, "close", G_CALLBACK(onClose), this);
  for (WebKitWebView* view : {main, window_->preloadingView()}) {
    g_signal_connect(view, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view, "context-menu", G_CALLBACK(onContextMenu), this);
    // Pages open their sign-in and sharing windows from their own scripts.
    webkit_settings_set_javascript_can_open_windows_automatically(webkit_web_view_get_settings(view), TRUE);
    if (isTrue(settings()->getValue("WebKitDeveloperExtras", ""))) {
      webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view), TRUE);
    }
  }
  g_signal_connect(window_->window(), "delete-event", G_CALLBACK(onDeleteEvent), this);
  ApplicationMenu::Actions actions;
  actions.openAddress = [this] { openVeloraURI(); };
  actions.preferences = [] { VeloraController::instance().openPreferences(); };
  actions.quit = [this] { applicationShouldTerminate(); };
  menu_ = std::make_unique<ApplicationMenu>(window_->window(), window_->content(), std::move(actions));
}

void VeloraDesktopAppDelegate::onTitle(GObject* view, GParamSpec*, gpointer data) {
  auto* self = static_cast<VeloraDesktopAppDelegate*>(data);
  const char* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(view));
  const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
  // Only the player's pages name the window: those of its origin, not of its
  // host on another port or scheme.
  if (uri == nullptr || title == nullptr || PagePublisher::originOf(uri) != self->publisher_->playerOrigin()) return;
  gtk_window_set_title(self->window_->window(), title);
}

bool VeloraDesktopAppDelegate::isMailAddress(WebKitNavigationAction* action) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  return uri != nullptr && isMailText(uri);
}

bool VeloraDesktopAppDelegate::isForTheDesktop(const std::string& address) {
  gchar* scheme = g_uri_parse_scheme(address.c_str());
  bool allowed =
      scheme != nullptr && (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0 ||
                            g_ascii_strcasecmp(scheme, "mailto") == 0);
  g_free(scheme);
  return allowed;
}

// True when the new window is a pop-up of ours; a clicked link's (or a
// form's...) goes to the desktop's browser instead, when it may: one that a
// frame of another origin asks for (an advert, say) only on the user's
// gesture, as pop-ups, and a few a gesture at most. A page that names itself
// not at all (a data: or blob: frame, one that sends no Referer) counts as
// another origin.
bool VeloraDesktopAppDelegate::decideNewWindow(WebKitNavigationAction* action) {
  if (webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_OTHER) return true;
  handToTheDesktop(action);
  return false;
}

// A clicked link's (or a form's...) address for the desktop's browser or
// mail program, as decideNewWindow tells.
void VeloraDesktopAppDelegate::handToTheDesktop(WebKitNavigationAction* action) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  std::string uri =
      request != nullptr && webkit_uri_request_get_uri(request) != nullptr ? webkit_uri_request_get_uri(request) : "";
  if (!isForTheDesktop(uri)) {
    notForTheDesktop_.refused(uri);
    return;
  }
  bool byPlayer = takeMailMark(uri);
  if (byPlayer || MainViewNavigationPolicy::starterOrigin(action) == publisher_->playerOrigin()) {
    openInBrowser(uri);
    return;
  }
  if (!webkit_navigation_action_is_user_gesture(action)) {
    withoutGesture_.refused(uri);
    return;
  }
  if (!gestureBudget_->take()) {
    beyondGesture_.refused(uri);
    return;
  }
  openInBrowser(uri);
}

// Run in the player's own documents before their scripts: a mail link that
// is activated there (clicked by the user or by the player's script) gets
// the mark as its last field until the click has been handled. Documents of
// other origins cannot read it.
std::string VeloraDesktopAppDelegate::mailMarkScript() const {
  return "(function (listen) { listen.call(self, 'click', function (event) {"
         "  var link = event.target instanceof Element ? event.target.closest('a[href]') : null;"
         "  if (!link || link.protocol !== 'mailto:') return;"
         "  var href = link.getAttribute('href');"
         "  link.href += (link.href.indexOf('?') < 0 ? '?' : '&') + '" +
         mailMark_ +
         "';"
         "  setTimeout(function () { link.setAttribute('href', href); }, 0);"
         "}, true); })(EventTarget.prototype.addEventListener);";
}

// True when the mail address ends in the player's mark, which is taken off.
// Our script marks only mail links: on another address the mark is a page's
// that got hold of it (the player's document can hand it to a frame), and
// stays on, so that the address is judged as that page's.
bool VeloraDesktopAppDelegate::takeMailMark(std::string& address) const {
  if (!isMailText(address.c_str()) || address.size() <= mailMark_.size() + 1 ||
      address.compare(address.size() - mailMark_.size(), mailMark_.size(), mailMark_) != 0) {
    return false;
  }
  char before = address[address.size() - mailMark_.size() - 1];
  if (before != '?' && before != '&') return false;
  address.resize(address.size() - mailMark_.size() - 1);
  return true;
}

void VeloraDesktopAppDelegate::openInBrowser(const std::string& address) {
  std::string uri = forTheMailProgram(address);
  if (uri.empty()) {
    VL_LOG_WARN("VeloraDesktopAppDelegate::openInBrowser refused a mail address it cannot read: "
                << RepeatedRefusalLog::shortened(address));
    return;
  }
  if (openInBrowser_) {
    openInBrowser_(uri);
    return;
  }
  std::string error;
  if (!ExternalProgram::openAddress(window_->window(), uri, error)) {
    VL_LOG_WARN("VeloraDesktopAppDelegate::openInBrowser cannot open " << RepeatedRefusalLog::shortened(uri) << ": "
                                                                       << error);
  }
}

namespace {

// The fields of a mail address that only fill in the message; others (a
// mail program's "attach" or "attachment", say) could send the user's files.
bool isMessageField(const std::string& name) {
  for (const char* field : {"to", "cc", "bcc", "subject", "body", "in-reply-to"}) {
    if (g_ascii_strcasecmp(name.c_str(), field) == 0) return true;
  }
  return false;
}

// The text with every escape undone, escaped again with only `allowed`
// left as they are; false when an escape is broken or stands for NUL.
bool escapedAgain(const std::string& text, const char* allowed, std::string& out) {
  gchar* plain = g_uri_unescape_string(text.c_str(), nullptr);
  if (plain == nullptr) return false;
  gchar* escaped = g_uri_escape_string(plain, allowed, FALSE);
  out = escaped;
  g_free(escaped);
  g_free(plain);
  return true;
}

// The fields of the query that fill in the message, escaped anew ("?a=b&c=d",
// or empty when none); false when an escape cannot be read. The names of
// those left out are logged once for the address: a clicked link can hold
// thousands of them.
bool messageFields(const std::string& query, const std::string& address, std::string& fields) {
  gchar** pairs = g_strsplit(query.c_str(), "&", -1);
  bool readable = true;
  std::set<std::string> leftOut;
  std::string leftOutNames;
  for (gchar** pair = pairs; readable && *pair != nullptr; ++pair) {
    if (**pair == '\0') continue;
    const char* equals = strchr(*pair, '=');
    std::string name;
    std::string value;
    readable = escapedAgain(std::string(*pair, equals != nullptr ? equals - *pair : strlen(*pair)), nullptr, name) &&
               escapedAgain(equals != nullptr ? equals + 1 : "", "@,", value);
    if (readable && !isMessageField(name)) {
      if (leftOut.insert(name).second) leftOutNames += (leftOutNames.empty() ? "" : ", ") + name;
    } else if (readable) {
      fields += (fields.empty() ? "?" : "&") + name + "=" + value;
    }
  }
  g_strfreev(pairs);
  if (!leftOutNames.empty()) {
    VL_LOG_WARN("VeloraDesktopAppDelegate::forTheMailProgram left out the fields "
                << RepeatedRefusalLog::shortened(leftOutNames) << " of " << RepeatedRefusalLog::shortened(address));
  }
  return readable;
}

}  // namespace

std::string VeloraDesktopAppDelegate::forTheMailProgram(const std::string& address) {
  gchar* scheme = g_uri_parse_scheme(address.c_str());
  bool mail = scheme != nullptr && g_ascii_strcasecmp(scheme, "mailto") == 0;
  g_free(scheme);
  if (!mail) return address;
  // Rebuilt from what it says, so that no mail program reads more into it
  // than we did (an escaped "?" or "&", a field name written in escapes).
  std::string rest = address.substr(address.find(':') + 1);
  size_t question = rest.find('?');
  std::string recipients;
  std::string fields;
  bool readable = escapedAgain(rest.substr(0, question), "@,", recipients) &&
                  (question == std::string::npos || messageFields(rest.substr(question + 1), address, fields));
  return readable ? "mailto:" + recipients + fields : "";
}

gboolean VeloraDesktopAppDelegate::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                                  WebKitPolicyDecisionType type, gpointer data) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    return FALSE;
  }
  auto* self = static_cast<VeloraDesktopAppDelegate*>(data);
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    // A mail address does not load in a frame (WebKit would show nothing and
    // say nothing): it goes to the mail program as a link's new window does.
    if (!isMailAddress(action)) return FALSE;
    self->handToTheDesktop(action);
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (self->decideNewWindow(action)) {
    webkit_policy_decision_use(decision);
  } else {
    webkit_policy_decision_ignore(decision);
  }
  return TRUE;
}

GtkWidget* VeloraDesktopAppDelegate::onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
  auto* self = static_cast<VeloraDesktopAppDelegate*>(data);
  // The preloading view's pages (loader, error pages) get pop-ups for any window.
  if (view == self->window_->mainView() && !self->decideNewWindow(action)) return nullptr;
  if (!self->mayOpenPopup(action)) return nullptr;
  return GTK_WIDGET(PopupWindowController::create(view)->popupWebView());
}

// Each pop-up costs a web view (tens of megabytes): one opens only when the
// user asked for it, and a page holds a few at most.
bool VeloraDesktopAppDelegate::mayOpenPopup(WebKitNavigationAction* action) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  std::string address = uri != nullptr ? uri : "";
  if (!webkit_navigation_action_is_user_gesture(action)) {
    popupWithoutGesture_.refused(address);
    return false;
  }
  if (PopupWindowController::openCount() >= kMaxPopups) {
    popupBeyondCap_.refused(address);
    return false;
  }
  return true;
}

// The page closed its window by script: it agrees to quit.
void VeloraDesktopAppDelegate::onClose(WebKitWebView*, gpointer data) {
  auto* self = static_cast<VeloraDesktopAppDelegate*>(data);
  if (!self->terminationAsked_) {
    VeloraController::instance().logWarning(
        "VeloraDesktopAppDelegate::onClose ignored a script's close of the player's window: no quit was asked for");
    return;
  }
  self->terminationAsked_ = false;  // answered
  self->terminateFromPage();
}

gboolean VeloraDesktopAppDelegate::onContextMenu(WebKitWebView*, WebKitContextMenu* menu, GdkEvent* event,
                                                 WebKitHitTestResult*, gpointer data) {
  auto* self = static_cast<VeloraDesktopAppDelegate*>(data);
  bool inspector = isTrue(settings()->getValue("WebKitDeveloperExtras", ""));
  GList* items = g_list_copy(webkit_context_menu_get_items(menu));
  for (GList* item = items; item != nullptr; item = item->next) {
    auto* menuItem = static_cast<WebKitContextMenuItem*>(item->data);
    bool keep =
        inspector && webkit_context_menu_item_get_stock_action(menuItem) == WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT;
    if (!keep) webkit_context_menu_remove(menu, menuItem);
  }
  g_list_free(items);
  GdkModifierType state = static_cast<GdkModifierType>(0);
  if (event != nullptr && gdk_event_get_state(event, &state) && (state & GDK_MOD1_MASK) != 0) {
    bool beta = !settings()->getValue("BetaPlayerURL", "").empty();
    GSimpleAction* toggle = g_simple_action_new("toggle-beta-mode", nullptr);
    g_signal_connect_swapped(toggle, "activate",
                             G_CALLBACK(+[](VeloraDesktopAppDelegate* delegate) { delegate->toggleBetaMode(); }), self);
    std::string label = ShellStrings::text(beta ? "menu.contextual.beta_mode_off" : "menu.contextual.beta_mode_on");
    webkit_context_menu_append(menu,
                               webkit_context_menu_item_new_from_gaction(G_ACTION(toggle), label.c_str(), nullptr));
    g_object_unref(toggle);
  }
  // No item: no menu at all.
  return webkit_context_menu_get_n_items(menu) == 0;
}

void VeloraDesktopAppDelegate::toggleBetaMode() {
  GtkWindow* parent = window_->window();
  std::string title = ShellStrings::text("dialog.message.beta_mode.title");
  if (!settings()->getValue("BetaPlayerURL", "").empty()) {
    settings()->removeValue("BetaPlayerURL");
  } else {
    GtkWidget* dialog =
        gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog), "%s",
        ShellStrings::text("dialog.message.beta_mode_on.confirmation.message").c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), ShellStrings::text("dialog.button.label.ok").c_str(), GTK_RESPONSE_OK);
    gtk_dialog_add_button(GTK_DIALOG(dialog), ShellStrings::text("dialog.button.label.cancel").c_str(),
                          GTK_RESPONSE_CANCEL);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    if (response != GTK_RESPONSE_OK) return;
    settings()->setValue("BetaPlayerURL", kBetaPlayer);
  }
  // The running player stays: the switch counts from the next start.
  showMessage(parent, GTK_MESSAGE_INFO, title, ShellStrings::text("dialog.message.beta_mode_toggled.info.message"));
}

// --- addresses from outside --------------------------------------------------------

bool VeloraDesktopAppDelegate::doOpenVeloraURI(const std::string& address) {
  VeloraController::instance().logDebug("VeloraDesktopAppDelegate::doOpenVeloraURI Handling extern call wih url:'" +
                                        address + "'");
  std::string hash;
  std::vector<std::string> hosts = {PlayerPageLoader::hostOf(kProductionPlayer),
                                    PlayerPageLoader::hostOf(playerAddress_)};
  if (!VeloraURLScheme::locationHash(address, hosts, hash)) return false;
  std::shared_ptr<VeloraICI> ici = hasPlayerBeenLoaded_ ? shownIci() : nullptr;
  if (ici != nullptr) {
    if (loader_ != nullptr) loader_->mayLeaveSavedPageAgain();
    ici->changeLocationHash(hash);
  } else {
    urlCalledAtStartup_ = hash;
  }
  return true;
}

void VeloraDesktopAppDelegate::openVeloraURI() {
  GtkWindow* parent = window_ != nullptr ? window_->window() : nullptr;
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                             ShellStrings::text("openuri.dialog.message").c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), ShellStrings::text("dialog.button.label.cancel").c_str(),
                        GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog), ShellStrings::text("dialog.button.label.ok").c_str(), GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  GtkWidget* entry = gtk_entry_new();
  gtk_widget_set_size_request(entry, 500, 24);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  gtk_container_add(GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))), entry);
  gtk_widget_show(entry);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  std::string address = gtk_entry_get_text(GTK_ENTRY(entry));
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_OK || doOpenVeloraURI(address)) return;
  // The typed address is shown as typed.
  showMessage(parent, GTK_MESSAGE_WARNING, ShellStrings::text("openuri.error.dialog.title"),
              ShellStrings::formatted("openuri.error.dialog.message.format", address));
}

// --- quitting ------------------------------------------------------------------------

bool VeloraDesktopAppDelegate::applicationShouldTerminate() {
  shellTrace("VeloraDesktopAppDelegate::applicationShouldTerminate", "");
  VeloraController& controller = VeloraController::instance();
  // No player document shows (another page does, or the page's process has
  // gone): none could answer, so nothing is asked.
  std::shared_ptr<VeloraICI> ici = shownIci();
  if (controller.applicationTerminated() || !hasPlayerBeenLoaded_ || ici == nullptr) {
    quitNow();
    return true;
  }
  awaitAnswer();
  ici->askTermination();
  return false;
}

// The page's answer is awaited for the grace time, from the first question
// it left unanswered: its own close of the window counts as agreeing only
// meanwhile (a page that declined, or never answers, must not leave a
// frame's or pop-up's close() quitting for the life of its document).
void VeloraDesktopAppDelegate::awaitAnswer() {
  terminationAsked_ = true;
  if (graceTimer_ != 0) return;
  graceTimer_ = g_timeout_add(
      graceMilliseconds_,
      [](gpointer data) -> gboolean {
        static_cast<VeloraDesktopAppDelegate*>(data)->answerAwaitedInVain();
        return G_SOURCE_REMOVE;
      },
      this);
}

void VeloraDesktopAppDelegate::answerAwaitedInVain() {
  graceTimer_ = 0;
  terminationAsked_ = false;
  VeloraController& controller = VeloraController::instance();
  if (!quitWhenUnanswered_) {
    controller.logWarning(
        "VeloraDesktopAppDelegate::awaitAnswer the page did not agree to quit in time: a script's "
        "close of its window no longer counts as its answer");
    return;
  }
  controller.logWarning(
      "VeloraDesktopAppDelegate::windowCloseRequested the page did not agree to quit in time: quitting");
  quitNow();
}

void VeloraDesktopAppDelegate::windowCloseRequested() {
  // A page that never answers must not keep the application running unseen:
  // the window stays until the page agrees or the grace time has passed.
  if (!applicationShouldTerminate()) quitWhenUnanswered_ = true;
}

gboolean VeloraDesktopAppDelegate::onDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<VeloraDesktopAppDelegate*>(data)->windowCloseRequested();
  return TRUE;  // the window stays until the application quits
}

void VeloraDesktopAppDelegate::terminateFromPage() {
  Binding::instance()->setJSReady(false);
  VeloraController::instance().setApplicationTerminated(true);
  VeloraController::instance().requestTermination();
}

void VeloraDesktopAppDelegate::quitNow() {
  if (quitting_) return;
  quitting_ = true;
  if (graceTimer_ != 0) g_source_remove(graceTimer_);
  graceTimer_ = 0;
  if (quit_) quit_();
}
