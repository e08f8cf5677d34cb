// Loading the player page end to end: real WebKitGTK web processes with our
// extension, our test pages served from 127.0.0.1, servers that refuse, stall
// or answer with error statuses, and the offline start from the saved page.
#include "PlayerPageLoader.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include "MainWindow.h"
#include "SavedPageRecorder.h"
#include "SavedPageServer.h"
#include "SavedPageStore.h"
#include "ShellStrings.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "WebViewProbe.h"

namespace {

const char* kPages = VELORA_SOURCE_DIR "/tools/testsupport/shell/pages";

// One web context for the suite (web processes take a while to start); a
// window, store and loader per test.
class PlayerPageLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init(nullptr, nullptr);
    data_ = new TestFolder();
    WebKitWebsiteDataManager* manager =
        webkit_website_data_manager_new("base-data-directory", data_->folder("data").c_str(), "base-cache-directory",
                                        data_->folder("cache").c_str(), nullptr);
    context_ = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);
    // The extension without a page-object channel: the redirection of the
    // offline start needs none.
    MainWindow::prepareContext(context_, VELORA_BINARY_DIR "/webext", "");
    server_ = new SavedPageServer(context_);
  }

  static void TearDownTestSuite() {
    delete server_;
    g_object_unref(context_);
    delete data_;
  }

  // A player at `player`, saving into `store` (a folder of the test).
  void start(const std::string& player, PlayerPageLoader::Hooks hooks = {}) {
    player_ = player;
    window_ = std::make_unique<MainWindow>(context_);
    store_ = std::make_unique<SavedPageStore>(folder_.path() + "/saved", player);
    recorder_ = std::make_unique<SavedPageRecorder>(window_->mainView(), *store_);
    loader_ = std::make_unique<PlayerPageLoader>(*window_, *store_, *server_, *recorder_, player, std::move(hooks));
    window_->show();
    // As once a player page has its objects: error pages must show it again.
    window_->setPreloadingViewVisible(false);
  }

  // Runs the main loop until everything already due has run.
  static void runPending() {
    bool done = false;
    g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer d) -> gboolean {
          *static_cast<bool*>(d) = true;
          return G_SOURCE_REMOVE;
        },
        &done, nullptr);
    ShellTestServer::runUntil([&done] { return done; });
  }

  void stop() {
    loader_.reset();
    recorder_.reset();
    window_.reset();
  }

  void TearDown() override {
    stop();
    store_.reset();
  }

  bool waitForErrorPage(const std::string& key) {
    std::string text = ShellStrings::text(key);
    return ShellTestServer::runUntil([&] {
      return window_->isPreloadingViewVisible() &&
             WebViewProbe::bodyText(window_->preloadingView()).find(text) != std::string::npos;
    });
  }

  // The saved page holds its document and the resources the test page loads.
  bool waitForWholeSavedPage() {
    return ShellTestServer::runUntil([this] {
      SavedPage page;
      return store_->load(player_, page) && page.find(player_ + "app.js") != nullptr &&
             page.find(player_ + "style.css") != nullptr && page.find(player_ + "cover.png") != nullptr;
    });
  }

  std::string pageResults() { return WebViewProbe::evaluate(window_->mainView(), "window.results"); }

  bool waitForPageDone() {
    return ShellTestServer::runUntil([this] { return pageResults().find("\"done\":true") != std::string::npos; });
  }

  static TestFolder* data_;
  static WebKitWebContext* context_;
  static SavedPageServer* server_;
  TestFolder folder_;
  std::string player_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<SavedPageStore> store_;
  std::unique_ptr<SavedPageRecorder> recorder_;
  std::unique_ptr<PlayerPageLoader> loader_;
};

TestFolder* PlayerPageLoaderTest::data_ = nullptr;
WebKitWebContext* PlayerPageLoaderTest::context_ = nullptr;
SavedPageServer* PlayerPageLoaderTest::server_ = nullptr;

TEST_F(PlayerPageLoaderTest, StartupAddressCarriesTheLocationHash) {
  EXPECT_EQ(PlayerPageLoader::startupAddress("http://p.example.com/", ""), "http://p.example.com/");
  EXPECT_EQ(PlayerPageLoader::startupAddress("http://p.example.com/", "!/album/123"),
            "http://p.example.com/#!/album/123");
  EXPECT_EQ(PlayerPageLoader::startupAddress("http://p.example.com/app", "!/album/123"),
            "http://p.example.com/app/#!/album/123");
}

TEST_F(PlayerPageLoaderTest, ErrorPageEscapesTheMessage) {
  std::string page = PlayerPageLoader::htmlErrorPageStringForMessage("<script>alert('x')</script> & \"%s\"");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(&apos;x&apos;)&lt;/script&gt; &amp; &quot;%s&quot;"), std::string::npos);
  // The message's own "%s" is not replaced again.
  EXPECT_EQ(PlayerPageLoader::htmlErrorPageStringForMessage("").find("%s"), std::string::npos);
}

TEST_F(PlayerPageLoaderTest, FailuresAreClassifiedByWhatTheyMeanForThePage) {
  auto kind = [](GQuark domain, int code) {
    GError* error = g_error_new_literal(domain, code, "x");
    PlayerPageLoader::Failure failure = PlayerPageLoader::classify(error);
    g_error_free(error);
    return failure;
  };
  using F = PlayerPageLoader::Failure;
  EXPECT_EQ(kind(G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED), F::kConnection);
  EXPECT_EQ(kind(G_IO_ERROR, G_IO_ERROR_TIMED_OUT), F::kConnection);
  EXPECT_EQ(kind(G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE), F::kConnection);
  EXPECT_EQ(kind(G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND), F::kConnection);
  EXPECT_EQ(kind(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_TRANSPORT), F::kConnection);
  EXPECT_EQ(kind(G_IO_ERROR, G_IO_ERROR_CANCELLED), F::kCancelled);
  EXPECT_EQ(kind(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED), F::kCancelled);
  EXPECT_EQ(kind(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE), F::kCancelled);
  EXPECT_EQ(kind(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST), F::kOther);
  EXPECT_EQ(kind(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI), F::kOther);
  EXPECT_EQ(PlayerPageLoader::classify(nullptr), F::kOther);
}

TEST_F(PlayerPageLoaderTest, ServerDownAtFirstStartShowsTheNoConnectionPage) {
  start(refusedOrigin() + "/offline/");
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForErrorPage("html.error.message.no_connection.first_time"));
  // The page's address, then the cache-only load (nothing saved): two failures.
  EXPECT_EQ(loader_->cacheReloadCount(), 2);
  EXPECT_FALSE(loader_->isShowingSavedPage());
}

TEST_F(PlayerPageLoaderTest, APageWhoseScriptsAreReadyReloadsItself) {
  int reloads = 0;
  PlayerPageLoader::Hooks hooks;
  hooks.isJSReady = [] { return true; };
  hooks.reloadPage = [&reloads] { ++reloads; };
  start(refusedOrigin() + "/offline/", hooks);
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return reloads == 1; }));
  EXPECT_EQ(loader_->cacheReloadCount(), 1);
}

TEST_F(PlayerPageLoaderTest, AStalledServerTimesOut) {
  SilentListener silent;
  ASSERT_FALSE(silent.origin().empty());
  start(silent.origin() + "/offline/");
  loader_->setTimeoutMilliseconds(500);
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForErrorPage("html.error.message.no_connection.first_time"));
  EXPECT_EQ(loader_->cacheReloadCount(), 2);
}

TEST_F(PlayerPageLoaderTest, ServerDownAfterAFirstLoadStartsFromTheSavedPage) {
  auto server = std::make_unique<ShellTestServer>(kPages);
  ASSERT_TRUE(server->start());
  std::string player = server->playerOrigin() + "/offline/";
  start(player);
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForPageDone());
  EXPECT_NE(pageResults().find("\"storage\":1"), std::string::npos) << pageResults();
  ASSERT_TRUE(waitForWholeSavedPage());
  SavedPage saved;
  ASSERT_TRUE(store_->load(player, saved));
  EXPECT_EQ(saved.find(player + "style.css")->mimeType, "text/css");
  // What the page's scripts fetch is not kept by WebKit: the manifest
  // pre-fetch stores it.
  EXPECT_EQ(saved.find(player + "data.json"), nullptr);
  ASSERT_TRUE(store_->storeResource(player + "data.json", "application/json",
                                    TestFolder::read(std::string(kPages) + "/offline/data.json")));
  ASSERT_TRUE(store_->load(player, saved));
  for (const char* name : {"index.html", "app.js", "style.css", "cover.png", "data.json"}) {
    std::string address = player + (std::string(name) == "index.html" ? "" : name);
    EXPECT_EQ(saved.find(address)->bytes, TestFolder::read(std::string(kPages) + "/offline/" + name)) << name;
  }

  // The service goes away; the application starts again at a location.
  server.reset();
  stop();
  start(player);
  loader_->loadMainWebViewContent("!/album/1");
  ASSERT_TRUE(waitForPageDone()) << pageResults();
  std::string results = pageResults();
  EXPECT_TRUE(loader_->isShowingSavedPage());
  EXPECT_EQ(loader_->cacheReloadCount(), 1);
  // Scripts ran, styles and images came from the saved page, fetches too,
  // and the page kept the player's origin with its local storage.
  EXPECT_NE(results.find("\"script\":true"), std::string::npos) << results;
  EXPECT_NE(results.find("\"style\":\"rgb(1, 2, 3)\""), std::string::npos) << results;
  EXPECT_NE(results.find("\"image\":1"), std::string::npos) << results;
  EXPECT_NE(results.find("\"fetch\":3"), std::string::npos) << results;
  EXPECT_NE(results.find("\"storage\":2"), std::string::npos) << results;
  EXPECT_NE(results.find("\"location\":\"" + player + "#!/album/1\""), std::string::npos) << results;
  EXPECT_FALSE(window_->isPreloadingViewVisible());
  // The saved page is not saved over itself.
  SavedPage after;
  ASSERT_TRUE(store_->load(player, after));
  EXPECT_EQ(after.resources().size(), saved.resources().size());
}

// What stands at the saved page's place and cannot be used (cut short,
// empty, another page's, a FIFO, a link to an endless device) shows the
// no-connection page at an offline start, without blocking or reading on.
TEST_F(PlayerPageLoaderTest, AnUnusableSavedPageShowsTheNoConnectionPage) {
  std::string player = refusedOrigin() + "/offline/";
  SavedPage whole(player);
  whole.keep(player, "text/html", "<html><body>saved</body></html>");
  whole.keep(player + "app.js", "application/javascript", std::string(4096, ' '));
  std::string file = whole.serialize();
  SavedPage foreign("http://other.example.com/");
  foreign.keep("http://other.example.com/", "text/html", "<html><body>other</body></html>");
  const std::vector<std::pair<std::string, std::function<bool(const std::string&)>>> unusable = {
      {"cut short", [&](const std::string& path) { return TestFolder::write(path, file.substr(0, file.size() / 2)); }},
      {"empty", [](const std::string& path) { return TestFolder::write(path, ""); }},
      {"another page's", [&](const std::string& path) { return TestFolder::write(path, foreign.serialize()); }},
      {"a FIFO", [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }},
      {"a link to /dev/zero", [](const std::string& path) { return symlink("/dev/zero", path.c_str()) == 0; }},
  };
  for (const auto& saved : unusable) {
    SCOPED_TRACE(saved.first);
    stop();
    start(player);
    ASSERT_EQ(g_mkdir_with_parents(store_->folder().c_str(), 0700), 0);
    g_remove(store_->pathFor(player).c_str());
    ASSERT_TRUE(saved.second(store_->pathFor(player)));
    loader_->loadMainWebViewContent("");
    ASSERT_TRUE(waitForErrorPage("html.error.message.no_connection.first_time"));
    EXPECT_FALSE(loader_->isShowingSavedPage());
  }
}

// Only the player page is saved: the player's origin loaded at other
// addresses (a query a frame keeps changing, say) leaves no file, and the
// page's recording goes once it is written.
TEST_F(PlayerPageLoaderTest, OnlyThePlayerPageIsSaved) {
  ShellTestServer server(kPages);
  ASSERT_TRUE(server.start());
  std::string player = server.playerOrigin() + "/offline/";
  start(player);
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForPageDone());
  ASSERT_TRUE(waitForWholeSavedPage());
  EXPECT_FALSE(store_->hasRecording());
  for (int n = 1; n <= 3; ++n) {
    std::string again = player + "?again=" + std::to_string(n);
    webkit_web_view_load_uri(window_->mainView(), again.c_str());
    ASSERT_TRUE(ShellTestServer::runUntil([&] {
      return pageResults().find("again=" + std::to_string(n) + "\"") != std::string::npos &&
             pageResults().find("\"done\":true") != std::string::npos;
    }));
  }
  recorder_->finish(2000);
  EXPECT_FALSE(store_->hasRecording());
  GDir* folder = g_dir_open(store_->folder().c_str(), 0, nullptr);
  ASSERT_NE(folder, nullptr);
  std::vector<std::string> names;
  for (const char* name; (name = g_dir_read_name(folder)) != nullptr;) names.push_back(name);
  g_dir_close(folder);
  EXPECT_EQ(names, std::vector<std::string>{SavedPageStore::fileNameFor(player)});
}

// A captive portal answers the player address with a redirect: neither a
// page of another origin nor another page of the player's origin is kept as
// the player page, and the page saved before stays whole.
TEST_F(PlayerPageLoaderTest, ARedirectedPlayerAddressNeverReplacesTheSavedPage) {
  ShellTestServer server(kPages);
  ASSERT_TRUE(server.start());
  std::string player = server.playerOrigin() + "/offline/";
  start(player);
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForPageDone());
  ASSERT_TRUE(waitForWholeSavedPage());
  SavedPage before;
  ASSERT_TRUE(store_->load(player, before));
  for (const std::string& portal :
       {server.thirdPartyOrigin() + "/app/other.html", server.playerOrigin() + "/app/other.html"}) {
    SCOPED_TRACE(portal);
    server.redirect("/offline/", portal);
    stop();
    start(player);
    loader_->loadMainWebViewContent("");
    ASSERT_TRUE(ShellTestServer::runUntil(
        [this] { return g_strcmp0(webkit_web_view_get_title(window_->mainView()), "Other page") == 0; }));
    WebViewProbe::waitForLoad(window_->mainView());
    runPending();
    recorder_->finish(2000);
    SavedPage after;
    ASSERT_TRUE(store_->load(player, after));
    EXPECT_EQ(after.find(player)->bytes, before.find(player)->bytes);
    EXPECT_EQ(after.resources().size(), before.resources().size());
  }
}

TEST_F(PlayerPageLoaderTest, HttpErrorStatusesOfTheMainFrameShowTheirPages) {
  ShellTestServer server(kPages);
  ASSERT_TRUE(server.start());
  start(server.playerOrigin() + "/status?code=503");
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForErrorPage("html.error.message.maintenance"));
  stop();
  start(server.playerOrigin() + "/status?code=404");
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(waitForErrorPage("html.error.message.unavailable"));
  // Nothing of an error answer is saved.
  EXPECT_FALSE(store_->exists(player_));
}

TEST_F(PlayerPageLoaderTest, AThirdPartyFramesErrorStatusChangesNothing) {
  ShellTestServer server(kPages);
  ASSERT_TRUE(server.start());
  start(server.playerOrigin() + "/offline/frames.html?third=" + server.thirdPartyOrigin());
  loader_->loadMainWebViewContent("");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server.hasReport("frames-loaded"); }));
  WebViewProbe::waitForLoad(window_->mainView());
  runPending();
  EXPECT_FALSE(window_->isPreloadingViewVisible());
}

}  // namespace
