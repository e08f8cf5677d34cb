// The application's start-up and its page objects: chooses the player
// address, makes the web context, the page-object channel and the main
// window, starts the core through the controller, sets the user agent, shows
// the loader page and loads the player page; and gives each player document
// of the main view its objects and scripts, in a fixed order.
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "LogUploadAlerts.h"
#include "LogUploadService.h"
#include "MainWindow.h"
#include "PageChannel.h"
#include "PagePublisher.h"

class VeloraDesktopAppDelegate {
 public:
  // The production player, used unless the preference BetaPlayerURL is set.
  static constexpr const char* kProductionPlayer = "http://player.velora.com/";

  // playerAddress: empty to choose it as initPlayerUrl does.
  explicit VeloraDesktopAppDelegate(std::string playerAddress = "");
  ~VeloraDesktopAppDelegate();
  VeloraDesktopAppDelegate(const VeloraDesktopAppDelegate&) = delete;
  VeloraDesktopAppDelegate& operator=(const VeloraDesktopAppDelegate&) = delete;

  // The preference BetaPlayerURL when it is set, else the production player.
  static std::string initPlayerUrl();

  // The start-up sequence; false when the page-object channel cannot open
  // (the player page then has no native powers, so nothing is loaded).
  // websiteData: WebKit's data manager for the context (null: the default);
  // extensions: the folder of the web-process extension.
  bool start(WebKitWebsiteDataManager* websiteData = nullptr,
             const std::string& extensions = MainWindow::extensionsDirectory());
  // Stops the core and closes the channel.
  void stop();

  const std::string& playerAddress() const { return playerAddress_; }
  MainWindow* window() const { return window_.get(); }
  WebKitWebContext* context() const { return context_; }
  bool hasPlayerBeenLoaded() const { return hasPlayerBeenLoaded_; }
  // The user agent the main view sends.
  std::string userAgent() const;

 private:
  void publishObjects(PagePublication& publication);

  std::string playerAddress_;
  WebKitWebContext* context_ = nullptr;
  std::unique_ptr<PagePublisher> publisher_;
  std::unique_ptr<PageChannel> channel_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<LogUploadAlerts> logAlerts_;
  std::unique_ptr<LogUploadService> logUpload_;
  bool hasPlayerBeenLoaded_ = false;
  bool started_ = false;
};
