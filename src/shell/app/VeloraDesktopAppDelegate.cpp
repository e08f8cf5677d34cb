#include "VeloraDesktopAppDelegate.h"

#include "Binding.h"
#include "PageScripts.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"
#include "VeloraAudio.h"
#include "VeloraController.h"
#include "VeloraICI.h"
#include "VeloraStorage.h"
#include "VeloraWebKitNotifications.h"

VeloraDesktopAppDelegate::VeloraDesktopAppDelegate(std::string playerAddress)
    : playerAddress_(playerAddress.empty() ? initPlayerUrl() : std::move(playerAddress)) {}

VeloraDesktopAppDelegate::~VeloraDesktopAppDelegate() {
  stop();
  window_.reset();
  if (context_ != nullptr) g_object_unref(context_);
}

std::string VeloraDesktopAppDelegate::initPlayerUrl() {
  std::string beta = VLPlatformFactory::instance()->getSettingHelper()->getValue("BetaPlayerURL", "");
  return beta.empty() ? kProductionPlayer : beta;
}

bool VeloraDesktopAppDelegate::start(WebKitWebsiteDataManager* websiteData, const std::string& extensions) {
  VeloraController& controller = VeloraController::instance();
  publisher_ = std::make_unique<PagePublisher>([this] { return window_ != nullptr ? window_->mainPageId() : 0; },
                                               playerAddress_, [this](PagePublication& p) { publishObjects(p); });
  publisher_->setConsole([&controller](unsigned level, const std::string& text, const std::string& source, unsigned line) {
    controller.logMessage(VeloraController::ConsoleMessage{VeloraController::consoleLevelName(level), text, source, line});
  });
  publisher_->setWarning([&controller](const std::string& text) { controller.logWarning("PageChannel " + text); });
  channel_ = std::make_unique<PageChannel>(*publisher_);

  // The core first: its log takes the channel's warnings.
  controller.initBinding();
  if (!channel_->start()) return false;
  context_ = websiteData != nullptr ? webkit_web_context_new_with_website_data_manager(websiteData)
                                    : webkit_web_context_new();
  MainWindow::prepareContext(context_, extensions, channel_->address());
  window_ = std::make_unique<MainWindow>(context_);
  started_ = true;

  // The page's log upload.
  logAlerts_ = std::make_unique<LogUploadAlerts>(window_->window());
  logUpload_ = std::make_unique<LogUploadService>(
      LogBundleSettings::forThisUser(VeloraController::getVeloraDesktopVersion(), Binding::instance()->getSystemUid()),
      *logAlerts_);
  controller.setLogUploader([this](const std::string& userId, const std::string& login, const std::string& version) {
    logUpload_->sendLogForUserId(userId, login, version);
  });

  // The user agent: WebKit's own, then our name and version.
  WebKitSettings* settings = webkit_web_view_get_settings(window_->mainView());
  std::string agent = std::string(webkit_settings_get_user_agent(settings)) + " VeloraDesktop/" +
                      VeloraController::getVeloraDesktopVersion();
  webkit_settings_set_user_agent(settings, agent.c_str());

  std::string loader = PageScripts::text("loader.html");
  webkit_web_view_load_html(window_->preloadingView(), loader.c_str(), nullptr);
  webkit_web_view_load_uri(window_->mainView(), playerAddress_.c_str());
  window_->show();
  return true;
}

void VeloraDesktopAppDelegate::stop() {
  if (!started_) return;
  started_ = false;
  VeloraController::instance().setIci(nullptr);
  VeloraController::instance().setLogUploader(nullptr);
  logUpload_.reset();
  logAlerts_.reset();
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
  // Only the page's own document talks for the page: a frame of the player's
  // origin inside it gets objects too, but not the controller's ear.
  if (publication.frame().mainFrame) {
    VeloraController::instance().setIci(ici);
    window_->setPreloadingViewVisible(false);
  }
}
