// The player document's life in the real client, as a hostile page or a bad
// day can make it: history through WebKit's back/forward cache, a call too
// large for the channel, a killed web process. Our test pages are served from
// 127.0.0.1 (the player) and 127.0.0.2 (another site).
#include "VeloraDesktopAppDelegate.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "Binding.h"
#include "PagePublication.h"
#include "ScratchHome.h"
#include "ShellTestServer.h"
#include "VLLogger.h"
#include "VeloraController.h"
#include "VeloraICI.h"
#include "WebViewProbe.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Kills (SIGKILL) every WebKit web process this process started; how many.
int killWebProcesses() {
  const std::string self = std::to_string(getpid());
  int killed = 0;
  GDir* proc = g_dir_open("/proc", 0, nullptr);
  for (const char* name; proc != nullptr && (name = g_dir_read_name(proc)) != nullptr;) {
    if (!g_ascii_isdigit(name[0])) continue;
    gchar* path = g_build_filename("/proc", name, "stat", nullptr);
    gchar* stat = nullptr;
    if (g_file_get_contents(path, &stat, nullptr, nullptr)) {
      // "pid (command) state ppid ...".
      const char* open = strchr(stat, '(');
      const char* end = strrchr(stat, ')');
      char state = 0;
      char parent[32] = {0};
      if (open != nullptr && end != nullptr && sscanf(end + 1, " %c %31s", &state, parent) == 2 && self == parent &&
          std::string(open + 1, end).find("WebKitWebProces") == 0 && kill(atoi(name), SIGKILL) == 0) {
        ++killed;
      }
    }
    g_free(stat);
    g_free(path);
  }
  if (proc != nullptr) g_dir_close(proc);
  return killed;
}

class VeloraDesktopPageLifeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new ScratchHome("page-life-test");
    gtk_init(nullptr, nullptr);
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
    application_ = new VeloraDesktopAppDelegate(server_->playerOrigin() + "/history.html?as=player");
    application_->setQuitHandler([] { ++quits_; });
    ASSERT_TRUE(home_->startApplication(*application_, VELORA_BINARY_DIR "/webext"));
    ASSERT_TRUE(waitForTitle("player shown 1"));
  }

  static void TearDownTestSuite() {
    delete application_;
    delete server_;
    delete home_;
  }

  static WebKitWebView* view() { return application_->window()->mainView(); }

  // Loads our history page from the origin as the named document, and waits
  // until it has shown.
  static bool show(const std::string& origin, const std::string& as) {
    webkit_web_view_load_uri(view(), (origin + "/history.html?as=" + as).c_str());
    return waitForTitle(as + " shown 1");
  }

  static bool waitForTitle(const std::string& title) {
    return ShellTestServer::runUntil([&title] {
      const char* now = webkit_web_view_get_title(view());
      return now != nullptr && title == now;
    });
  }

  // What the document that shows noted when it last showed.
  static std::string lastSeen() { return WebViewProbe::evaluate(view(), "seen[seen.length - 1]"); }

  static ScratchHome* home_;
  static ShellTestServer* server_;
  static VeloraDesktopAppDelegate* application_;
  static int quits_;
};

ScratchHome* VeloraDesktopPageLifeTest::home_ = nullptr;
ShellTestServer* VeloraDesktopPageLifeTest::server_ = nullptr;
VeloraDesktopAppDelegate* VeloraDesktopPageLifeTest::application_ = nullptr;
int VeloraDesktopPageLifeTest::quits_ = 0;

TEST_F(VeloraDesktopPageLifeTest, APlayerPageBackFromTheCacheHasWorkingObjects) {
  ASSERT_TRUE(show(server_->playerOrigin(), "a1"));
  ASSERT_TRUE(show(server_->thirdPartyOrigin(), "b1"));
  // Nothing of the player shows: a quit request is not put to anyone.
  int quitsBefore = quits_;
  EXPECT_TRUE(application_->applicationShouldTerminate());
  EXPECT_EQ(quits_, quitsBefore + 1);

  webkit_web_view_go_back(view());
  ASSERT_TRUE(waitForTitle("a1 shown 2"));
  EXPECT_EQ(lastSeen(), "{\"persisted\":true,\"objects\":\"object\",\"stored\":\"show 2\"}");
  // The page answers the quit question again.
  EXPECT_FALSE(application_->applicationShouldTerminate());
  EXPECT_TRUE(ShellTestServer::runUntil([] { return WebViewProbe::evaluate(view(), "received") == "[\"asked\"]"; }));
}

TEST_F(VeloraDesktopPageLifeTest, AnotherSiteBackFromTheCacheGetsNothingOfTheApplication) {
  ASSERT_TRUE(show(server_->playerOrigin(), "a2"));
  ASSERT_TRUE(show(server_->thirdPartyOrigin(), "b2"));
  ASSERT_TRUE(show(server_->playerOrigin(), "a3"));
  webkit_web_view_go_back(view());
  ASSERT_TRUE(waitForTitle("b2 shown 2"));
  EXPECT_EQ(lastSeen(), "{\"persisted\":true,\"objects\":\"undefined\"}");

  // A location from outside, a media key and a quit request: none reaches
  // the other site, and the quit request ends the application at once.
  EXPECT_TRUE(application_->doOpenVeloraURI("veloraapp://album/1"));
  VeloraController::instance().playTrackButtonPressed();
  EXPECT_TRUE(application_->applicationShouldTerminate());
  // Anything sent would have come before this answer of the same process.
  EXPECT_EQ(WebViewProbe::evaluate(view(), "[received, location.hash]"), "[[],\"\"]");

  // Forward again: the player document that was left works and is talked
  // to, and the location kept for it reaches it.
  webkit_web_view_go_forward(view());
  ASSERT_TRUE(waitForTitle("a3 shown 2"));
  EXPECT_EQ(lastSeen(), "{\"persisted\":true,\"objects\":\"object\",\"stored\":\"show 2\"}");
  VeloraController::instance().playTrackButtonPressed();
  EXPECT_TRUE(ShellTestServer::runUntil([] {
    return WebViewProbe::evaluate(view(), "received.slice().sort()") == "[\"hash #!/album/1\",\"key playpause\"]";
  }));
}

TEST_F(VeloraDesktopPageLifeTest, ACallTooLargeForTheChannelFailsAloneAndIsLogged) {
  ASSERT_TRUE(show(server_->playerOrigin(), "large"));
  // 140 keys of 1 MiB each: more than one message carries.
  EXPECT_EQ(WebViewProbe::evaluate(view(),
                                   "(() => {"
                                   "  const value = {};"
                                   "  for (let i = 0; i < 140; i++) value[String(i).padEnd(1 << 20, 'k')] = i;"
                                   "  const refused = VeloraStorage.setItem('localStorage', 'large', value);"
                                   "  VeloraStorage.setItem('localStorage', 'after', 'still here');"
                                   "  return [refused, VeloraStorage.getItem('localStorage', 'large'),"
                                   "          VeloraStorage.getItem('localStorage', 'after')];"
                                   "})()"),
            "[null,null,\"still here\"]");
  std::string log = VLLogger::instance()->getLogFilePath("desktop");
  EXPECT_TRUE(ShellTestServer::runUntil(
      [&log] { return readFile(log).find("refused the call VeloraStorage.setItem") != std::string::npos; }));
  // The next document has its objects.
  ASSERT_TRUE(show(server_->playerOrigin(), "after-large"));
  EXPECT_EQ(lastSeen(), "{\"persisted\":false,\"objects\":\"object\",\"stored\":\"show 1\"}");
}

TEST_F(VeloraDesktopPageLifeTest, AKilledWebProcessLoadsThePlayerPageAgain) {
  ASSERT_TRUE(show(server_->playerOrigin(), "before-kill"));
  ASSERT_GT(killWebProcesses(), 0);
  // The player page again, with its objects.
  ASSERT_TRUE(waitForTitle("player shown 1"));
  EXPECT_EQ(lastSeen(), "{\"persisted\":false,\"objects\":\"object\",\"stored\":\"show 1\"}");
  std::string log = VLLogger::instance()->getLogFilePath("desktop");
  EXPECT_NE(readFile(log).find("the page's web process crashed: loading the player page again"), std::string::npos);
  EXPECT_FALSE(application_->applicationShouldTerminate());
  EXPECT_TRUE(ShellTestServer::runUntil([] { return WebViewProbe::evaluate(view(), "received") == "[\"asked\"]"; }));
}

// An address from outside while the player page loads again after its web
// process went (the server holds the page here) reaches the page. The page
// that went was the player page itself: loading it again is no navigation
// of a page to the address it shows.
TEST_F(VeloraDesktopPageLifeTest, AnAddressWhileThePlayerLoadsAgainAfterACrashReachesIt) {
  ASSERT_TRUE(show(server_->playerOrigin(), "before-address"));
  ASSERT_TRUE(show(server_->playerOrigin(), "player"));
  auto requests = [] {
    const std::vector<std::string>& all = server_->requests();
    return std::count(all.begin(), all.end(), "/history.html");
  };
  auto before = requests();
  server_->delay("/history.html", 600000);
  ASSERT_GT(killWebProcesses(), 0);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return requests() > before; }));
  ASSERT_TRUE(ShellTestServer::runUntil([] {
    std::shared_ptr<VeloraICI> ici = VeloraController::instance().ici();
    return ici == nullptr || ici->publication() == nullptr || !ici->publication()->isActive();
  }));
  ASSERT_TRUE(application_->doOpenVeloraURI("veloraapp://album/5"));
  server_->release("/history.html");
  EXPECT_TRUE(ShellTestServer::runUntil([] {
    return WebViewProbe::evaluate(view(), "[location.hash, typeof VeloraICI]") == "[\"#!/album/5\",\"object\"]";
  }));
  ASSERT_TRUE(waitForTitle("player shown 1"));
  EXPECT_EQ(webkit_web_view_get_uri(view()), server_->playerOrigin() + "/history.html?as=player#!/album/5");
}

// The preloading view gives up its web process once the player shows; an
// error page later still shows in it.
TEST_F(VeloraDesktopPageLifeTest, AnErrorPageAfterThePlayerShowsInThePreloadingView) {
  ASSERT_TRUE(show(server_->playerOrigin(), "before-error"));
  EXPECT_FALSE(application_->window()->isPreloadingViewVisible());
  webkit_web_view_load_uri(view(), (server_->playerOrigin() + "/status?code=503").c_str());
  EXPECT_TRUE(ShellTestServer::runUntil([] {
    return application_->window()->isPreloadingViewVisible() &&
           WebViewProbe::bodyText(application_->window()->preloadingView()).find("down for maintenance") !=
               std::string::npos;
  }));
}

}  // namespace
