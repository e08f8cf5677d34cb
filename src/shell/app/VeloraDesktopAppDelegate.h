// The application's start-up and its page objects: chooses the player
// address, installs crash reporting, makes the web context, the page-object
// channel and the main window with its menu, starts the core through the
// controller, sets the user agent, shows the loader page and loads the player
// page (PlayerPageLoader: failures, the saved page for an offline start),
// checks for updates in the background and offers the last run's crash
// report; and gives each player document of the main view its objects and
// scripts, in a fixed order.
//
// Also: the window's title (player pages only), navigations of the main view
// that pages start to other origins (refused: MainViewNavigationPolicy), new
// windows (scripts' ones as pop-ups, on a user gesture and kMaxPopups at
// most; clicked links to the desktop's browser, http, https and mailto only,
// those of frames of other origins on a user gesture only and a few a
// gesture (UserGestureBudget), mail addresses without fields that could
// attach files; refusals logged at the 1st, 10th, 100th...), the context
// menu, addresses from outside (URL scheme, address dialog), and quitting in
// agreement with the page: once a player page has its objects, a quit request
// or a close of the window is put to the page, which agrees by calling
// VeloraICI.terminate() (or closing its window within the grace time); a
// close that the page does not answer within the grace time quits all the
// same. While the main view shows no player document (another page, one in
// the back/forward cache, or a crashed web process), quitting is immediate.
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

#include "ConsoleLogLimit.h"
#include "LogUploadAlerts.h"
#include "LogUploadService.h"
#include "MainWindow.h"
#include "PageChannel.h"
#include "PagePublisher.h"
#include "RepeatedRefusalLog.h"

class ApplicationMenu;
class CrashReportSender;
class HTML5ManifestPrefetch;
class MainViewNavigationPolicy;
class PlayerPageLoader;
class SavedPageRecorder;
class SavedPageServer;
class SavedPageStore;
class UpdateCheck;
class UserGestureBudget;
class VeloraICI;

class VeloraDesktopAppDelegate {
 public:
  // The production player, used unless the preference BetaPlayerURL is set.
  static constexpr const char* kProductionPlayer = "http://www.velora.example/";
  // Pop-up windows open at once, at most.
  static constexpr size_t kMaxPopups = 5;
  // The beta player, which the context menu's switch stores in BetaPlayerURL.
  static constexpr const char* kBetaPlayer = "http://beta.velora.example/";

  // playerAddress: empty to choose it as initPlayerUrl does.
  explicit VeloraDesktopAppDelegate(std::string playerAddress = "");
  ~VeloraDesktopAppDelegate();
  VeloraDesktopAppDelegate(const VeloraDesktopAppDelegate&) = delete;
  VeloraDesktopAppDelegate& operator=(const VeloraDesktopAppDelegate&) = delete;

  // The preference BetaPlayerURL when it is set, else the production player.
  static std::string initPlayerUrl();

  // The start-up sequence; false when the page-object channel cannot open
  // (the player page then has no native powers, so nothing is loaded, and
  // the core started before it is stopped again).
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
  // The update feed: the player address and "apps/velora-desktop/osx/update_2.xml".
  std::string updaterFeedURL() const;
  // The start's update check; null before the start.
  UpdateCheck* updateCheck() const { return updateCheck_.get(); }
  // The user agent the main view sends.
  std::string userAgent() const;
  PlayerPageLoader* pageLoader() const { return loader_.get(); }
  // What keeps the main window for the player; null before the start.
  MainViewNavigationPolicy* navigationPolicy() const { return navigationPolicy_.get(); }
  SavedPageStore* savedPages() const { return savedPages_.get(); }
  // The main window's menu (address dialog, preferences, quit).
  ApplicationMenu* menu() const { return menu_.get(); }
  // What offers the last run's crash report; null before the start.
  CrashReportSender* crashReports() const { return crashReports_.get(); }

  // --- addresses from outside ---------------------------------------------
  // Moves the player page to the location the address stands for
  // ("veloraapp://album/1", or a player web address with "/#"): at once when
  // the page has its objects, else when a player document next shows (the
  // first load, one still loading, or one loaded again after its web process
  // went). False when not recognised.
  bool doOpenVeloraURI(const std::string& address);
  // The location kept for the next player document; empty when none.
  const std::string& urlCalledAtStartup() const { return urlCalledAtStartup_; }
  // The address dialog: asks for an address and opens it, or says why not.
  void openVeloraURI();

  // --- quitting ---------------------------------------------------------------
  // What ends the application (set by the process entry); called once.
  void setQuitHandler(std::function<void()> quit) { quit_ = std::move(quit); }
  // A quit request: quits now (true) before the player page has its objects
  // and once the page has agreed; otherwise asks the page (false).
  bool applicationShouldTerminate();
  // The window's close button: as a quit request, but the window stays until
  // the page agrees or the grace time has passed, then the application quits.
  void windowCloseRequested();
  // How long the page's answer to a quit request is awaited: a close of the
  // window quits at its end; the page's own close() of its window counts as
  // agreeing only until then.
  void setTerminationGraceMilliseconds(unsigned milliseconds) { graceMilliseconds_ = milliseconds; }
  // Where a clicked link's new window goes; by default the desktop's browser.
  void setBrowserOpener(std::function<void(const std::string&)> opener) { openInBrowser_ = std::move(opener); }

  // Whether an address may be handed to the desktop (http, https, mailto).
  static bool isForTheDesktop(const std::string& address);
  // The address as the desktop gets it: a mail address with only the fields
  // that fill in the message (to, cc, bcc, subject, body, in-reply-to), its
  // escapes made anew; empty when its escapes cannot be read. Others as given.
  static std::string forTheMailProgram(const std::string& address);

 private:
  void publishObjects(PagePublication& publication);
  void publicationShown(PagePublication& publication, bool shown);
  std::shared_ptr<VeloraICI> shownIci() const;
  void connectViews();
  void quitNow();
  void terminateFromPage();
  void awaitAnswer();
  void answerAwaitedInVain();
  bool decideNewWindow(WebKitNavigationAction* action);
  void handToTheDesktop(WebKitNavigationAction* action);
  std::string mailMarkScript() const;
  bool takeMailMark(std::string& address) const;
  static bool isMailAddress(WebKitNavigationAction* action);
  bool mayOpenPopup(WebKitNavigationAction* action);
  void openInBrowser(const std::string& address);
  void checkForUpdates();
  void toggleBetaMode();
  static void onTitle(GObject* view, GParamSpec*, gpointer self);
  static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer self);
  static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer self);
  static void onClose(WebKitWebView* view, gpointer self);
  static gboolean onContextMenu(WebKitWebView* view, WebKitContextMenu* menu, GdkEvent* event, WebKitHitTestResult* hit,
                                gpointer self);
  static gboolean onDeleteEvent(GtkWidget* window, GdkEvent* event, gpointer self);

  std::string playerAddress_;
  WebKitWebContext* context_ = nullptr;
  std::unique_ptr<PagePublisher> publisher_;
  ConsoleLogLimit consoleLimit_;
  std::unique_ptr<PageChannel> channel_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<MainViewNavigationPolicy> navigationPolicy_;
  std::unique_ptr<UserGestureBudget> gestureBudget_;  // of the main view
  std::unique_ptr<ApplicationMenu> menu_;
  std::unique_ptr<CrashReportSender> crashReports_;
  std::unique_ptr<UpdateCheck> updateCheck_;
  std::unique_ptr<LogUploadAlerts> logAlerts_;
  std::unique_ptr<LogUploadService> logUpload_;
  bool hasPlayerBeenLoaded_ = false;
  bool started_ = false;

  std::unique_ptr<SavedPageStore> savedPages_;
  std::unique_ptr<SavedPageServer> savedPageServer_;
  std::unique_ptr<SavedPageRecorder> recorder_;
  std::unique_ptr<PlayerPageLoader> loader_;
  std::unique_ptr<HTML5ManifestPrefetch> prefetch_;
  std::string urlCalledAtStartup_;
  // Marks the mail addresses that the player's own documents open: a mail
  // address carries no Referer to tell who asked for it.
  const std::string mailMark_;
  std::function<void()> quit_;
  std::function<void(const std::string&)> openInBrowser_;
  // New windows refused, which a page can ask for without end.
  RepeatedRefusalLog notForTheDesktop_{"VeloraDesktopAppDelegate::decideNewWindow refused to open"};
  RepeatedRefusalLog withoutGesture_{
      "VeloraDesktopAppDelegate::decideNewWindow refused to open, without a user gesture, what a page of another "
      "origin asked for"};
  RepeatedRefusalLog beyondGesture_{
      "VeloraDesktopAppDelegate::decideNewWindow refused to open, beyond what one user gesture may, what a page of "
      "another origin asked for"};
  RepeatedRefusalLog popupWithoutGesture_{"VeloraDesktopAppDelegate::mayOpenPopup no pop-up without a user gesture"};
  RepeatedRefusalLog popupBeyondCap_{"VeloraDesktopAppDelegate::mayOpenPopup " + std::to_string(kMaxPopups) +
                                     " pop-ups are open already"};
  bool quitting_ = false;
  // The player was asked to agree to quit and has not answered, for the
  // grace time at most: only then may its window close by script (the
  // page's own answer); a pop-up's opener.close() or a frame's top.close()
  // must not end the application.
  bool terminationAsked_ = false;
  // The window's close waits for the answer: at the grace time it quits.
  bool quitWhenUnanswered_ = false;
  unsigned graceMilliseconds_ = 20000;
  guint graceTimer_ = 0;  // the wait for the page's answer
};
