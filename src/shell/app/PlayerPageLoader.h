// Loads the player page into the main web view and decides what to show when
// that fails: the page's own reload, the saved page (offline start), or an
// error page in the preloading view laid over it.
//
// Decisions, for failures of a page of the player's host in the main view:
// - cancelled loads (ours or the user's) and loads turned into something else
//   by a policy decision are no failures: nothing is shown;
// - a connection failure (refused, unreachable, host not found, time-out,
//   including our own 10-second time-out of the player page) of the player
//   page itself: the first one reloads (the page's own VeloraAPI.reload()
//   when its scripts are ready, else the saved page, the store being the
//   cache), every later one shows the saved page, and with no usable saved
//   page (none, damaged, or not a regular file) the "no connection" error
//   page; so does one of the page the saved page's player left for (see
//   leaveSavedPage); a connection failure of another page is left alone;
// - any other failure shows the error page with the error's own text.
// A main-frame document answered with an HTTP status outside 200-299 (and
// not 0) shows the maintenance page for 503 and the "unavailable" page
// otherwise. Frames other than the main frame decide nothing.
//
// When the main view's web process ends unasked (a crash, or over its memory
// limit) the player page is loaded again, which offline ends with the saved
// page; after three such ends without a finished load in between, the error
// page shows instead.
//
// Every change of what the views show is made on a later turn of the main
// loop, never inside a WebKit callback. An error page makes the preloading
// view visible; it is hidden again when a player page gets its objects.
//
// Threads: main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

class MainWindow;
class SavedPageRecorder;
class SavedPageServer;
class SavedPageStore;

class PlayerPageLoader {
 public:
  struct Hooks {
    // Whether the page's scripts are ready (the core's flag).
    std::function<bool()> isJSReady;
    // Runs "VeloraAPI.reload()" in the player page.
    std::function<void()> reloadPage;
    // The manifest pre-fetch, asked for 3 seconds after the player page.
    std::function<void()> prefetchManifest;
    // The page's web process ended: its document is gone.
    std::function<void()> pageGone;
    // The loader loads the address into the main view now (the player page
    // or its saved copy), also when the view shows that address already.
    std::function<void(const std::string& address)> loading;
  };

  static constexpr int kMaxCrashesInARow = 3;

  enum class Failure { kConnection, kCancelled, kOther };

  // Everything given must outlive the loader. The loader listens to the
  // window's main view (load failures, commits, finished loads).
  PlayerPageLoader(MainWindow& window, SavedPageStore& store, SavedPageServer& server, SavedPageRecorder& recorder,
                   std::string playerAddress, Hooks hooks);
  ~PlayerPageLoader();
  PlayerPageLoader(const PlayerPageLoader&) = delete;
  PlayerPageLoader& operator=(const PlayerPageLoader&) = delete;

  // Loads the player page, at the location hash when one is given, and asks
  // for the manifest pre-fetch 3 seconds later.
  void loadMainWebViewContent(const std::string& locationHash);

  // How long the player page may take to answer, from the start of its load
  // in the web process to its first data; 10 seconds unless a test wants a
  // shorter wait.
  void setTimeoutMilliseconds(unsigned milliseconds) { timeoutMilliseconds_ = milliseconds; }

  // The player of the saved page moves its window to `address`, of its own
  // origin: the address is loaded from the network, and the saved page is
  // no longer served (the service may be back). Without the service the
  // saved page shows again. Nothing happens while no saved page shows.
  // `byScript`: the player's script moves it by itself (no user's gesture,
  // no load of the application's); after such a move found no service, the
  // next one by script is ignored (logged) until the user's move or
  // mayLeaveSavedPageAgain, so that a player moving itself as it starts
  // does not leave and show the saved page again without end.
  void leaveSavedPage(const std::string& address, bool byScript);
  // The application handed the page an address from outside: its script
  // may leave the saved page again.
  void mayLeaveSavedPageAgain();

  // The connection failures of the player page so far (never reset).
  int cacheReloadCount() const { return cacheReloadCount_; }
  // Whether the main view shows the saved page.
  bool isShowingSavedPage() const;

  // The address of the player page at the location hash (none when empty).
  static std::string startupAddress(const std::string& playerAddress, const std::string& locationHash);
  // The error page with every "%s" replaced by the message, HTML-escaped.
  static std::string htmlErrorPageStringForMessage(const std::string& message);
  static Failure classify(const GError* error);
  // Whether two addresses name the same host (the player host test).
  static bool sameHost(const std::string& a, const std::string& b);
  // The address's host in lower case; empty when it has none.
  static std::string hostOf(const std::string& address);

 private:
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer self);
  void webProcessTerminated(WebKitWebProcessTerminationReason reason);
  static gboolean onTimeout(gpointer self);

  void loadFailed(const std::string& uri, const GError* error);
  std::string pageOf(const std::string& uri) const;
  void connectionFailure(const std::string& pageAddress, const std::string& failingAddress, const std::string& error);
  void reloadFromCache(const std::string& pageAddress);
  void showSavedPageOrError(const std::string& pageAddress);
  // Shows the saved page of the address when there is a usable one; false when not.
  bool showSavedPage(const std::string& pageAddress, const std::string& caller);
  void checkStatus();
  void showErrorPage(const std::string& message);
  void loadFromNetwork(const std::string& address);
  void stopTimer();
  // Runs the step on the next turn of the main loop, if the loader still lives.
  void defer(std::function<void()> step);

  MainWindow& window_;
  SavedPageStore& store_;
  SavedPageServer& server_;
  SavedPageRecorder& recorder_;
  const std::string playerAddress_;
  Hooks hooks_;
  unsigned timeoutMilliseconds_ = 10000;
  int cacheReloadCount_ = 0;
  std::string requestedAddress_;    // the player page address asked for last
  std::string savedAddress_;        // the address of the saved page shown last
  std::string leftFor_;             // the address the saved page was left for, while it loads
  bool leftByScript_ = false;       // leftFor_ is the player's script's move
  bool scriptLeaveFailed_ = false;  // the script's last move found no service, and nothing else moved since
  guint timeout_ = 0;
  bool timedOut_ = false;
  bool awaitingStart_ = false;  // a player page load asked for, not yet started
  int crashesInARow_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
