// The application's windows in one process: the window's title, where new
// windows go (pop-ups for scripts, the desktop's browser for clicked links of
// http, https and mailto, nowhere for other schemes), pop-ups that title and
// close themselves, a pop-up of another origin that tries to close the main
// window, and closing the main window with and without the page.
#include "VeloraDesktopAppDelegate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ApplicationMenu.h"
#include "MainViewNavigationPolicy.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "UserGestureBudget.h"
#include "VLTestLog.h"
#include "VeloraController.h"
#include "WebViewProbe.h"

namespace {

class VeloraDesktopWindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new TestFolder();
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      g_setenv(variable, home_->folder(variable).c_str(), TRUE);
    }
    g_setenv("HOME", home_->path().c_str(), TRUE);
    gtk_init(nullptr, nullptr);
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
    std::string data = home_->folder("webkit");
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                        "base-cache-directory", data.c_str(), nullptr);
    application_ = new VeloraDesktopAppDelegate(server_->playerOrigin() + "/app/windows.html");
    application_->setBrowserOpener([](const std::string& uri) { opened_.push_back(uri); });
    application_->setQuitHandler([] { ++quits_; });
    VeloraController::instance().setTerminateHandler([] { application_->applicationShouldTerminate(); });
    ASSERT_TRUE(application_->start(manager, VELORA_BINARY_DIR "/webext"));
    g_object_unref(manager);
    ASSERT_TRUE(ShellTestServer::runUntil([] { return server_->hasReport("loaded"); }));
  }

  static void TearDownTestSuite() {
    delete application_;
    delete server_;
    delete home_;
  }

  static WebKitWebView* mainView() { return application_->window()->mainView(); }
  static void evaluate(const std::string& script) { WebViewProbe::evaluate(mainView(), script + ", true"); }

  // The pop-up windows open now (toplevels other than the main window, shown).
  static std::vector<GtkWindow*> popups() {
    std::vector<GtkWindow*> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* item = all; item != nullptr; item = item->next) {
      auto* window = GTK_WINDOW(item->data);
      if (window != application_->window()->window() && gtk_widget_get_visible(GTK_WIDGET(window)) &&
          gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL) {
        found.push_back(window);
      }
    }
    g_list_free(all);
    return found;
  }

  static TestFolder* home_;
  static ShellTestServer* server_;
  static VeloraDesktopAppDelegate* application_;
  static std::vector<std::string> opened_;
  static int quits_;
};

TestFolder* VeloraDesktopWindowsTest::home_ = nullptr;
ShellTestServer* VeloraDesktopWindowsTest::server_ = nullptr;
VeloraDesktopAppDelegate* VeloraDesktopWindowsTest::application_ = nullptr;
std::vector<std::string> VeloraDesktopWindowsTest::opened_;
int VeloraDesktopWindowsTest::quits_ = 0;

TEST_F(VeloraDesktopWindowsTest, OnlyThePlayersPagesTitleTheWindow) {
  ASSERT_TRUE(ShellTestServer::runUntil(
      [] { return g_strcmp0(gtk_window_get_title(application_->window()->window()), "Windows player") == 0; }));
  evaluate("document.title = 'Renamed by the player'");
  ASSERT_TRUE(ShellTestServer::runUntil(
      [] { return g_strcmp0(gtk_window_get_title(application_->window()->window()), "Renamed by the player") == 0; }));
}

TEST_F(VeloraDesktopWindowsTest, ClickedLinksGoToTheBrowserForWebAndMailOnly) {
  opened_.clear();
  for (const char* id : {"file", "data", "web", "mail"})
    evaluate(std::string("document.getElementById('") + id + "').click()");
  ASSERT_TRUE(ShellTestServer::runUntil([] { return opened_.size() >= 2; }));
  // Give refused ones the same chance to have arrived.
  WebViewProbe::evaluate(mainView(), "1");
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[0], server_->playerOrigin() + "/app/other.html");
  EXPECT_EQ(opened_[1], "mailto:someone@velora.example");
  EXPECT_TRUE(popups().empty());
}

// The application's script clicks a link that sends no Referer, as
// assistive technology would, a gesture the view never receives: each
// click, the quiet time after the one before, reaches the browser, more
// often than one gesture's budget.
TEST_F(VeloraDesktopWindowsTest, LinksClickedWithoutThePressesOfTheViewReachTheBrowserEachTime) {
  opened_.clear();
  for (size_t click = 1; click <= UserGestureBudget::kAddressesPerGesture + 1; ++click) {
    evaluate(
        "document.body.appendChild(Object.assign(document.createElement('a'), {"
        "  href: '/app/other.html?quiet', target: '_blank', referrerPolicy: 'no-referrer' })).click()");
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return opened_.size() >= click; })) << click;
    const gint64 quiet = g_get_monotonic_time() + static_cast<gint64>(UserGestureBudget::kQuietSeconds * 1.1e6);
    ShellTestServer::runUntil([&] { return g_get_monotonic_time() >= quiet; });
  }
  EXPECT_EQ(std::count(opened_.begin(), opened_.end(), server_->playerOrigin() + "/app/other.html?quiet"),
            static_cast<long>(UserGestureBudget::kAddressesPerGesture + 1));
}

TEST_F(VeloraDesktopWindowsTest, ScriptsOpenPopUpsThatTitleAndCloseThemselves) {
  size_t before = server_->reports("popup-opened").size();
  evaluate("window.open('/app/popup.html', 'first')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("popup-opened").size() > before; }));
  EXPECT_NE(server_->reports("popup-opened").back().find("\"opener\":true"), std::string::npos);
  ASSERT_TRUE(ShellTestServer::runUntil([] {
    for (GtkWindow* window : popups()) {
      if (g_strcmp0(gtk_window_get_title(window), "Popup page") == 0) return true;
    }
    return false;
  }));
  size_t open = popups().size();
  // A pop-up that closes itself by script goes away.
  evaluate("window.open('/app/popup.html?close=1', 'second')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("popup-opened").size() > before + 1; }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return popups().size() == open; }));
  // The main window's title stays the player's.
  EXPECT_STRNE(gtk_window_get_title(application_->window()->window()), "Popup page");
  for (GtkWindow* window : popups()) gtk_widget_destroy(GTK_WIDGET(window));
}

TEST_F(VeloraDesktopWindowsTest, PopUpsOpenOnlyOnAGestureAndAFewAtMost) {
  // Every window made for a pop-up, shown or not yet.
  auto made = [] {
    size_t count = 0;
    GList* all = gtk_window_list_toplevels();
    for (GList* item = all; item != nullptr; item = item->next) {
      auto* window = GTK_WINDOW(item->data);
      if (window != application_->window()->window() && gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL) {
        ++count;
      }
    }
    g_list_free(all);
    return count;
  };
  auto closeAll = [] {
    GList* all = gtk_window_list_toplevels();
    for (GList* item = all; item != nullptr; item = item->next) {
      if (item->data != application_->window()->window()) gtk_widget_destroy(GTK_WIDGET(item->data));
    }
    g_list_free(all);
  };
  closeAll();
  // Without a gesture (after a fetch): none. The page's calls are answered
  // before its report goes.
  size_t done = server_->reports("flood-done").size();
  evaluate(
      "fetch('/app/other.html').then(() => {"
      "  for (let i = 0; i < 20; i++) window.open('/app/popup.html?n=' + i, 'flood' + i);"
      "  report('flood-done', 1); })");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("flood-done").size() > done; }));
  EXPECT_EQ(made(), 0u);
  // On a gesture: a few.
  EXPECT_EQ(WebViewProbe::evaluate(mainView(),
                                   "(() => { let opened = 0; for (let i = 0; i < 20; i++) {"
                                   "  if (window.open('/app/popup.html?n=' + i, 'click' + i)) opened++; }"
                                   "  return opened; })()"),
            std::to_string(VeloraDesktopAppDelegate::kMaxPopups));
  EXPECT_EQ(made(), VeloraDesktopAppDelegate::kMaxPopups);
  closeAll();
}

// A pop-up of another origin calling opener.close(): nobody asked to quit, so
// nothing quits.
TEST_F(VeloraDesktopWindowsTest, APopUpOfAnotherOriginCannotCloseThePlayersWindow) {
  int quitsBefore = quits_;
  size_t mark = VLTestLog::mark();
  size_t reported = server_->reports("closer").size();
  evaluate("window.open('" + server_->thirdPartyOrigin() + "/app/closer.html', 'closer')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("closer").size() > reported; }));
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] { return VLTestLog::since(mark).find("ignored a script's close") != std::string::npos; }));
  EXPECT_EQ(quits_, quitsBefore);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(application_->window()->window())));
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "typeof VeloraICI"), "\"object\"");
  for (GtkWindow* window : popups()) gtk_widget_destroy(GTK_WIDGET(window));
}

// A quit the page did not agree to (it declined, or never answers): once
// the wait for its answer has ended, a pop-up of another origin calling
// opener.close() quits nothing.
TEST_F(VeloraDesktopWindowsTest, AfterAQuitThePageLeftUnansweredAPopUpOfAnotherOriginCannotCloseIt) {
  application_->setTerminationGraceMilliseconds(300);
  int quitsBefore = quits_;
  size_t mark = VLTestLog::mark();
  size_t asked = server_->reports("asked").size();
  EXPECT_FALSE(application_->applicationShouldTerminate());
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("asked").size() > asked; }));
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] { return VLTestLog::since(mark).find("no longer counts as its answer") != std::string::npos; }));
  size_t reported = server_->reports("closer").size();
  evaluate("window.open('" + server_->thirdPartyOrigin() + "/app/closer.html', 'closer')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("closer").size() > reported; }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return VLTestLog::since(mark).find("ignored a script's close") != std::string::npos ||
           VeloraController::instance().applicationTerminated();
  }));
  EXPECT_FALSE(VeloraController::instance().applicationTerminated());
  EXPECT_EQ(quits_, quitsBefore);
  for (GtkWindow* window : popups()) gtk_widget_destroy(GTK_WIDGET(window));
}

TEST_F(VeloraDesktopWindowsTest, ClosingTheWindowAsksThePageAndQuitsAfterTheGraceTime) {
  ASSERT_TRUE(application_->hasPlayerBeenLoaded());
  int quitsBefore = quits_;
  size_t asked = server_->reports("asked").size();
  application_->setTerminationGraceMilliseconds(300);
  application_->windowCloseRequested();
  // The page is asked; the window stays while the grace time runs.
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("asked").size() > asked; }));
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(application_->window()->window())));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return quits_ > quitsBefore; }));
  EXPECT_EQ(quits_, quitsBefore + 1);
}

TEST_F(VeloraDesktopWindowsTest, LocationsFromOutsideReachThePageAsTextNeverAsScript) {
  EXPECT_FALSE(application_->doOpenVeloraURI("album/1"));
  EXPECT_FALSE(application_->doOpenVeloraURI("ftp://www.velora.example/#!/x"));
  ASSERT_TRUE(application_->doOpenVeloraURI("veloraapp://album/1\\';window.injected=1;'\"</script>"));
  ASSERT_TRUE(ShellTestServer::runUntil([] {
    return WebViewProbe::evaluate(mainView(), "decodeURIComponent(location.hash)").find("album/1") != std::string::npos;
  }));
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "decodeURIComponent(location.hash)"),
            "\"#!/album/1\\\\';window.injected=1;'</script>\"");
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "typeof window.injected"), "\"undefined\"");
  EXPECT_TRUE(application_->urlCalledAtStartup().empty());
}

TEST_F(VeloraDesktopWindowsTest, PagesOfAnotherOriginCannotMoveThePlayersWindow) {
  std::string player = webkit_web_view_get_uri(mainView());
  auto requestsOfOther = [] {
    const std::vector<std::string>& all = server_->requests();
    return std::count(all.begin(), all.end(), "/app/other.html");
  };
  auto before = requestsOfOther();
  size_t reported = server_->reports("intruder").size();
  std::string intruder = server_->thirdPartyOrigin() + "/app/intruder.html";
  evaluate("document.body.appendChild(Object.assign(document.createElement('iframe'), {src: '" + intruder + "'}))");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("intruder").size() >= reported + 1; }));
  evaluate("window.open('" + intruder + "', 'intruder')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("intruder").size() >= reported + 2; }));
  // The pop-up's navigation of its opener went out; once it is decided the
  // player is still there, with its objects.
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return requestsOfOther() > before; }));
  ASSERT_TRUE(ShellTestServer::runUntil([] { return !webkit_web_view_is_loading(mainView()); }));
  EXPECT_EQ(webkit_web_view_get_uri(mainView()), player);
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "typeof VeloraICI"), "\"object\"");
  EXPECT_STRNE(gtk_window_get_title(application_->window()->window()), "Other page");
  evaluate("document.querySelectorAll('iframe').forEach((frame) => frame.remove())");
  for (GtkWindow* window : popups()) gtk_widget_destroy(GTK_WIDGET(window));
}

// A frame or pop-up of another origin sending the window to the player's own
// address (a reload without end, each one saved) is refused too.
TEST_F(VeloraDesktopWindowsTest, PagesOfAnotherOriginCannotSendTheWindowToThePlayersAddress) {
  std::string player = webkit_web_view_get_uri(mainView());
  auto movedRequests = [] {
    const std::vector<std::string>& all = server_->queries();
    return std::count(all.begin(), all.end(), "moved=1");
  };
  gchar* to = g_uri_escape_string((server_->playerOrigin() + "/app/windows.html?moved=1").c_str(), nullptr, TRUE);
  std::string intruder = server_->thirdPartyOrigin() + "/app/intruder.html?to=" + to;
  g_free(to);
  evaluate("document.body.appendChild(Object.assign(document.createElement('iframe'), {src: '" + intruder + "'}))");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return movedRequests() >= 1; }));
  evaluate("window.open('" + intruder + "', 'intruder')");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return movedRequests() >= 2; }));
  ASSERT_TRUE(ShellTestServer::runUntil([] { return !webkit_web_view_is_loading(mainView()); }));
  EXPECT_EQ(webkit_web_view_get_uri(mainView()), player);
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "location.search"), "\"\"");
  evaluate("document.querySelectorAll('iframe').forEach((frame) => frame.remove())");
  for (GtkWindow* window : popups()) gtk_widget_destroy(GTK_WIDGET(window));
}

// The same from a data: or blob: frame inside a frame of another origin,
// which names no page that started it, also when that frame starts many
// frames of its own right after (so many navigations that the window's is
// no longer remembered when its answer comes). The player's own reload and its own
// navigations at its origin (also through a redirect) go on without a gesture.
TEST_F(VeloraDesktopWindowsTest, FramesThatNameNoStarterCannotSendTheWindowToThePlayersAddress) {
  // Whether the main view's load of the address was refused or its document
  // committed, whichever comes first.
  struct Outcome {
    std::string address;
    bool shown = false;
  };
  auto onChanged = +[](WebKitWebView* view, WebKitLoadEvent event, Outcome* outcome) {
    outcome->shown |= event == WEBKIT_LOAD_COMMITTED && outcome->address == webkit_web_view_get_uri(view);
  };
  MainViewNavigationPolicy* policy = application_->navigationPolicy();
  for (const std::string via : {"data", "blob", "data&flood=40"}) {
    Outcome outcome{server_->playerOrigin() + "/app/windows.html?moved=" + via.substr(0, via.find('&'))};
    gulong changed = g_signal_connect(mainView(), "load-changed", G_CALLBACK(onChanged), &outcome);
    unsigned long refusals = policy->refusals();
    // The player's server answers as over a real network: the frames start meanwhile.
    bool flood = via.find("flood") != std::string::npos;
    if (flood) server_->delay("/app/windows.html", 1000);
    gchar* to = g_uri_escape_string(outcome.address.c_str(), nullptr, TRUE);
    std::string intruder = server_->thirdPartyOrigin() + "/app/intruder.html?via=" + via + "&to=" + to;
    g_free(to);
    evaluate("document.body.appendChild(Object.assign(document.createElement('iframe'), {src: '" + intruder + "'}))");
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return outcome.shown || policy->refusals() > refusals; })) << via;
    if (flood) server_->delay("/app/windows.html", 0);
    g_signal_handler_disconnect(mainView(), changed);
    EXPECT_FALSE(outcome.shown) << via;
    EXPECT_EQ(WebViewProbe::evaluate(mainView(), "location.search"), "\"\"") << via;
    evaluate("document.querySelectorAll('iframe').forEach((frame) => frame.remove())");
  }

  // The player's own, as its scripts make them (no gesture).
  auto goes = [](const std::string& go) {
    gchar* escaped = g_uri_escape_string(go.c_str(), nullptr, TRUE);
    evaluate(std::string("location.href = '/app/windows.html?go=") + escaped + "'");
    g_free(escaped);
  };
  auto loadedAt = [](const std::string& pathAndQuery) {
    return ShellTestServer::runUntil([&] {
      return webkit_web_view_get_uri(mainView()) == server_->playerOrigin() + pathAndQuery &&
             !webkit_web_view_is_loading(mainView());
    });
  };
  goes("reload");
  EXPECT_TRUE(ShellTestServer::runUntil([] {
    return WebViewProbe::evaluate(mainView(), "performance.getEntriesByType('navigation')[0].type") == "\"reload\"";
  }));
  goes("/app/windows.html?own=1#own");
  EXPECT_TRUE(loadedAt("/app/windows.html?own=1#own"));
  server_->redirect("/app/hop", server_->playerOrigin() + "/app/windows.html?hopped=1");
  goes("/app/hop");
  EXPECT_TRUE(loadedAt("/app/windows.html?hopped=1"));
  evaluate("location.href = '/app/windows.html'");
  ASSERT_TRUE(loadedAt("/app/windows.html"));
  EXPECT_EQ(WebViewProbe::evaluate(mainView(), "typeof VeloraICI"), "\"object\"");
}

// The menu's three items with their keys; Control-comma moves the page to its
// settings, Control-Q asks the page. It moves the main view away from the player.
TEST_F(VeloraDesktopWindowsTest, YTheMenuOpensThePagesSettingsAndQuitsByAgreement) {
  ApplicationMenu* menu = application_->menu();
  ASSERT_NE(menu, nullptr);
  GMenuModel* items = g_menu_model_get_item_link(menu->model(), 0, G_MENU_LINK_SUBMENU);
  ASSERT_NE(items, nullptr);
  std::vector<std::string> found;
  for (int s = 0; s < g_menu_model_get_n_items(items); ++s) {
    GMenuModel* section = g_menu_model_get_item_link(items, s, G_MENU_LINK_SECTION);
    for (int i = 0; section != nullptr && i < g_menu_model_get_n_items(section); ++i) {
      gchar* label = nullptr;
      gchar* action = nullptr;
      gchar* accel = nullptr;
      g_menu_model_get_item_attribute(section, i, G_MENU_ATTRIBUTE_LABEL, "s", &label);
      g_menu_model_get_item_attribute(section, i, G_MENU_ATTRIBUTE_ACTION, "s", &action);
      g_menu_model_get_item_attribute(section, i, "accel", "s", &accel);
      found.push_back(std::string(label ? label : "") + "|" + (action ? action : "") + "|" + (accel ? accel : ""));
      g_free(label);
      g_free(action);
      g_free(accel);
    }
    if (section != nullptr) g_object_unref(section);
  }
  g_object_unref(items);
  EXPECT_EQ(found,
            (std::vector<std::string>{"Open Velora address\u2026|win.open-address|<Control>l",
                                      "Preferences\u2026|win.preferences|<Control>comma", "Quit|win.quit|<Control>q"}));

  // The keys as the window receives them.
  GtkWindow* window = application_->window()->window();
  int quitsBefore = quits_;
  size_t asked = server_->reports("asked").size();
  ASSERT_TRUE(gtk_accel_groups_activate(G_OBJECT(window), GDK_KEY_q, GDK_CONTROL_MASK));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("asked").size() > asked; }));
  EXPECT_EQ(quits_, quitsBefore);
  ASSERT_TRUE(gtk_accel_groups_activate(G_OBJECT(window), GDK_KEY_comma, GDK_CONTROL_MASK));
  ASSERT_TRUE(ShellTestServer::runUntil([] {
    const char* uri = webkit_web_view_get_uri(mainView());
    return uri != nullptr && g_str_has_suffix(uri, "/#!/user-settings");
  }));
  EXPECT_EQ(webkit_web_view_get_uri(mainView()), server_->playerOrigin() + "/#!/user-settings");
}

// Last: it moves the main view away from the player. The host on another
// port is another origin too.
TEST_F(VeloraDesktopWindowsTest, ZAPageOfAnotherHostDoesNotTitleTheWindow) {
  const char* before = gtk_window_get_title(application_->window()->window());
  std::string title = before != nullptr ? before : "";
  for (const std::string& origin : {server_->thirdPartyOrigin(), server_->otherPortOrigin()}) {
    std::string address = origin + "/app/other.html";
    webkit_web_view_load_uri(mainView(), address.c_str());
    ASSERT_TRUE(ShellTestServer::runUntil([&address] {
      return address == webkit_web_view_get_uri(mainView()) && !webkit_web_view_is_loading(mainView()) &&
             g_strcmp0(webkit_web_view_get_title(mainView()), "Other page") == 0;
    })) << address;
    EXPECT_EQ(gtk_window_get_title(application_->window()->window()), title) << address;
  }
}

}  // namespace
