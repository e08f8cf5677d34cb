// The application as a person starts it: the velora-desktop program in a
// display and session bus of the test's own, on a test player page served
// from 127.0.0.1 (the preference BetaPlayerURL points there), with its
// folders in a scratch home. Covers the start (objects, user agent), the URL
// scheme from a second process, the command-line options, quitting with and
// without the page's agreement and on SIGTERM, the media player it is on the
// session bus, a start that fails, the trace of the desktop's notification
// server, a crash's report, the front key through the desktop portal, the
// offline start from the saved page (also after a quit during a slow load,
// and the player's own navigations from it), the player's mail links, the
// addresses a frame's click or key press hands the desktop, a frame's steps
// in history, the manifest pre-fetch, and a screenshot.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "AudioFixtures.h"
#include "DesktopProcess.h"
#include "FakeGlobalShortcutsPortal.h"
#include "FakeNotificationServer.h"
#include "PrivateSessionBus.h"
#include "SavedPageStore.h"
#include "ShellTestServer.h"
#include "TestFileReplacements.h"
#include "TestFolder.h"
#include "TestSmallVolume.h"
#include "TestNginxServer.h"
#include "UserGestureBudget.h"
#include "VLPreferenceStore.h"

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string reloadingPage(const std::string& version);

class VeloraDesktopProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      home_.folder(variable);
    }
    ASSERT_TRUE(server_.start());
  }

  void usePlayer(const std::string& pathAndQuery) {
    VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
    ASSERT_TRUE(preferences.set("BetaPlayerURL", server_.playerOrigin() + pathAndQuery));
  }

  // A tone of `seconds` served by nginx, which the bridge page's scenario
  // plays as entity `entity`. Null (with a failure) when it cannot be served.
  std::unique_ptr<TestNginxServer> playTone(const std::string& scenario, int entity, int seconds) {
    const std::string media = home_.folder("media");
    if (!vetest::makeToneMp3(media + "/tone.mp3", seconds, 440, -6)) {
      ADD_FAILURE() << "no tone";
      return nullptr;
    }
    auto audio = std::make_unique<TestNginxServer>(media);
    if (!audio->isRunning() || unsetenv("http_proxy") + unsetenv("HTTP_PROXY") != 0) {
      ADD_FAILURE() << "no server for the tone";
      return nullptr;
    }
    const std::string track = audio->url("/tone.mp3?_TEID=" + std::to_string(entity) + "&_FMT=5");
    gchar* url = g_uri_escape_string(track.c_str(), nullptr, TRUE);
    usePlayer("/bridge.html?scenario=" + scenario + "&url=" + url);
    g_free(url);
    return audio;
  }

  bool waitForReports(const std::string& name, size_t count = 1) {
    return ShellTestServer::runUntil([&] { return server_.reports(name).size() >= count; });
  }

  // The player at `pathAndQuery` (which has a query) on a server of its own,
  // which the test may take away (pages_), reporting to one that stays
  // (reports_). Returns the player's address.
  std::string useGoingPlayer(const std::string& pathAndQuery) {
    pages_ = std::make_unique<ShellTestServer>(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    if (!reports_.start() || !pages_->start()) ADD_FAILURE() << "no servers";
    std::string player = pages_->playerOrigin() + pathAndQuery + "&reports=" + reports_.playerOrigin();
    VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
    EXPECT_TRUE(preferences.set("BetaPlayerURL", player));
    return player;
  }

  bool waitForGoingPlayerReports(const std::string& name, size_t count) {
    return ShellTestServer::runUntil([&] { return reports_.reports(name).size() >= count; });
  }

  // The test pages in `folder`, each a link to its own, beside which a test
  // puts pages or images of its own making.
  static bool linkTestPages(const TestFolder& folder) {
    const std::string pages = VELORA_SOURCE_DIR "/tools/testsupport/shell/pages";
    GDir* entries = g_dir_open(pages.c_str(), 0, nullptr);
    if (entries == nullptr) return false;
    bool linked = true;
    for (const char* name; (name = g_dir_read_name(entries)) != nullptr;) {
      linked = linked && symlink((pages + "/" + name).c_str(), folder.file(name).c_str()) == 0;
    }
    g_dir_close(entries);
    return linked;
  }

  // The reloading page as `version`, with `image` as its big.png beside the
  // test pages in `folder`, served for a client whose player it becomes
  // (`player`), reporting to reports_. Null, with a failure, when it cannot
  // be served.
  std::unique_ptr<ShellTestServer> serveReloadingPage(const TestFolder& folder, const std::string& image,
                                                      const std::string& version, std::string& player) {
    if (!linkTestPages(folder) || !TestFolder::write(folder.file("big.png"), image) ||
        !TestFolder::write(folder.file("reloading.html"), reloadingPage(version))) {
      ADD_FAILURE() << "no pages";
      return nullptr;
    }
    auto pages = std::make_unique<ShellTestServer>(folder.path());
    if (!pages->start() || !reports_.start()) {
      ADD_FAILURE() << "no servers";
      return nullptr;
    }
    player = pages->playerOrigin() + "/reloading.html?reports=" + reports_.playerOrigin();
    VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
    EXPECT_TRUE(preferences.set("BetaPlayerURL", player));
    return pages;
  }

  // A start of the test player whose load number `load` reports what an
  // earlier start kept in the local storage.
  std::unique_ptr<DesktopProcess> startFindingKept(const std::string& kept, size_t load) {
    usePlayer("/app/?agree=none");
    auto application = std::make_unique<DesktopProcess>(home_.path(), std::vector<std::string>{});
    if (!waitForReports("loaded", load)) {
      ADD_FAILURE() << "no load " << load;
      return application;
    }
    const std::string loaded = server_.reports("loaded")[load - 1];
    EXPECT_NE(loaded.find("\"kept\":\"" + kept + "\""), std::string::npos) << loaded;
    return application;
  }

  // --remove-folder as from a terminal (by default without a display): its
  // exit status, -1 when it did not exit.
  int runRemoval(const std::vector<std::pair<std::string, std::string>>& environment = {{"DISPLAY", ""}},
                 const std::string& standardError = "") {
    DesktopProcess remover(home_.path(), {"--remove-folder"}, environment, "", standardError);
    return remover.waitForEnd() ? remover.exitStatus() : -1;
  }

  // The variables, with the slow-disk shim preloaded to read them.
  static std::vector<std::pair<std::string, std::string>> withSlowDisk(
      std::vector<std::pair<std::string, std::string>> variables) {
    const char* asan = g_getenv("ASAN_OPTIONS");
    variables.emplace_back("LD_PRELOAD", DesktopProcess::kSlowDiskShim);
    // The shim comes before a sanitizer's runtime, which does not sync.
    variables.emplace_back("ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    return variables;
  }

  // Where the saved player page of the address is kept.
  std::string savedPageFolder() const { return home_.path() + "/XDG_CACHE_HOME/velora-desktop"; }
  std::string savedPagePath(const std::string& player) const {
    return savedPageFolder() + "/" + SavedPageStore::fileNameFor(player);
  }

  // The application's "quit" action, as the desktop's menus send it.
  static bool activateQuit() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.velora.Desktop", "/org/velora/Desktop", "org.gtk.Actions", "Activate",
        g_variant_new("(s@av@a{sv})", "quit", g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0),
                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    g_object_unref(bus);
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
  }

  // "frame=" and the escaped address of the path at the third-party origin,
  // for the test player to lay that frame over the whole window.
  std::string thirdPartyFrame(const std::string& path) const {
    gchar* escaped = g_uri_escape_string((server_.thirdPartyOrigin() + path).c_str(), nullptr, TRUE);
    std::string parameter = std::string("frame=") + escaped;
    g_free(escaped);
    return parameter;
  }

  // Makes the program the desktop's default application for addresses of
  // the schemes ("http", "mailto"...), as a desktop entry of the user's.
  void makeDefaultApplication(const std::string& program, const std::vector<std::string>& schemes) {
    gchar* base = g_path_get_basename(program.c_str());
    std::string name = std::string("test-") + base + ".desktop";
    g_free(base);
    std::string types;
    std::string defaults;
    for (const std::string& scheme : schemes) {
      types += "x-scheme-handler/" + scheme + ";";
      defaults += "x-scheme-handler/" + scheme + "=" + name + "\n";
    }
    ASSERT_TRUE(TestFolder::write(
        home_.folder("XDG_DATA_HOME/applications") + "/" + name,
        "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + program + " %u\nMimeType=" + types + "\n"));
    std::string list = home_.path() + "/XDG_CONFIG_HOME/mimeapps.list";
    std::string before = TestFolder::read(list);
    ASSERT_TRUE(TestFolder::write(list, (before.empty() ? "[Default Applications]\n" : before) + defaults));
  }

  // A browser and a mail program in `programs`, made the desktop's, which
  // write each address they get as a line of the file returned.
  std::string recordOpenedAddresses(const TestFolder& programs) {
    const std::string opened = programs.file("opened");
    for (const char* name : {"browser", "mail"}) {
      EXPECT_TRUE(TestFolder::write(programs.file(name), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened + "'\n"));
      EXPECT_EQ(chmod(programs.file(name).c_str(), 0755), 0);
    }
    makeDefaultApplication(programs.file("browser"), {"http", "https"});
    makeDefaultApplication(programs.file("mail"), {"mailto"});
    return opened;
  }

  // A click at 200,200 in the window titled `title`, again while `reached`
  // does not hold (a window not drawn yet); false when it never does. With
  // the mouse's button (9: the forward button).
  static bool clickUntil(const std::string& title, const std::function<bool()>& reached, int button = 1) {
    std::string click = "xdotool search --sync --onlyvisible --name '^" + title +
                        "$' mousemove --window %1 200 200 click " + std::to_string(button);
    // xdotool fails too when a window goes away while it searches
    // (BadWindow): the click is then made again.
    for (int attempt = 0; attempt < 60 && !reached(); ++attempt) {
      if (system(click.c_str()) != 0) std::cerr << "clickUntil: xdotool failed, clicking again\n";
      ShellTestServer::runUntil(reached, 2);
    }
    return reached();
  }

  TestFolder home_;
  ShellTestServer server_{VELORA_SOURCE_DIR "/tools/testsupport/shell/pages"};
  ShellTestServer reports_{VELORA_SOURCE_DIR "/tools/testsupport/shell/pages"};
  std::unique_ptr<ShellTestServer> pages_;
};

TEST_F(VeloraDesktopProcessTest, StartsWithObjectsAndUserAgentAndTakesAddressesFromASecondLaunch) {
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  std::string loaded = server_.report("loaded");
  EXPECT_NE(loaded.find("\"objects\":\"object\""), std::string::npos) << loaded;
  EXPECT_NE(loaded.find(" VeloraDesktop/1.0.0 ("), std::string::npos) << loaded;
  EXPECT_NE(loaded.find("\"hash\":\"\""), std::string::npos) << loaded;
  // The log folder is the user's alone.
  std::string logs = home_.path() + "/XDG_STATE_HOME/velora-desktop";
  GStatBuf info;
  ASSERT_EQ(g_stat(logs.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(TestFolder::exists(logs + "/desktop_stderr.log"));

  DesktopProcess second(home_.path(), {"veloraapp://album/1"});
  ASSERT_TRUE(second.waitForEnd());
  EXPECT_EQ(second.exitStatus(), 0);
  ASSERT_TRUE(waitForReports("hash"));
  EXPECT_EQ(server_.report("hash"), "\"#!/album/1\"");
  EXPECT_FALSE(application.ended());

  // Quitting: the page is asked and agrees.
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
  EXPECT_TRUE(server_.hasReport("asked"));
}

TEST_F(VeloraDesktopProcessTest, AnAddressAtTheFirstLaunchOpensThePlayerThere) {
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {"veloraapp://album/7"});
  ASSERT_TRUE(waitForReports("loaded"));
  EXPECT_NE(server_.report("loaded").find("\"hash\":\"#!/album/7\""), std::string::npos) << server_.report("loaded");
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// Addresses of second launches while the player page still loads (the
// server holds it here) reach the page once it shows.
TEST_F(VeloraDesktopProcessTest, AnAddressFromASecondLaunchDuringTheStartReachesThePageOnceItShows) {
  usePlayer("/app/");
  server_.delay("/app/", 600000);
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    const std::vector<std::string>& requests = server_.requests();
    return std::find(requests.begin(), requests.end(), "/app/") != requests.end();
  }));
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  for (const char* address : {"veloraapp://album/1", "veloraapp://album/2"}) {
    DesktopProcess second(home_.path(), {address});
    ASSERT_TRUE(second.waitForEnd());
    EXPECT_EQ(second.exitStatus(), 0);
    ASSERT_TRUE(ShellTestServer::runUntil(
        [&] { return TestFolder::read(log).find(std::string("url:'") + address) != std::string::npos; }));
  }
  EXPECT_FALSE(server_.hasReport("loaded"));
  server_.release("/app/");
  ASSERT_TRUE(waitForReports("loaded"));
  // The newest one.
  EXPECT_NE(server_.report("loaded").find("\"hash\":\"#!/album/2\""), std::string::npos) << server_.report("loaded");
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

TEST_F(VeloraDesktopProcessTest, APageThatNeverAgreesKeepsItRunningUntilSigtermWhichSavesWhatItHolds) {
  usePlayer("/app/?agree=never&keep=before-sigterm");
  {
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(waitForReports("loaded"));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(waitForReports("asked"));
    // The question is out and unanswered: the application goes on.
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(waitForReports("asked", 2));
    EXPECT_FALSE(application.ended());
    application.signal(SIGTERM);
    ASSERT_TRUE(application.waitForEnd());
    EXPECT_EQ(application.exitStatus(), 0);
  }
  // What the page stored before the signal is there at the next start.
  usePlayer("/app/?agree=none");
  DesktopProcess again(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded", 2));
  EXPECT_NE(server_.reports("loaded")[1].find("\"kept\":\"before-sigterm\""), std::string::npos)
      << server_.reports("loaded")[1];
  // A page without askTermination agrees at once.
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(again.waitForEnd());
  EXPECT_EQ(again.exitStatus(), 0);
}

// The windows of the process that show on the display, by id. A window that
// goes away while xdotool searches makes it fail (BadWindow): the search is
// then made again. Empty when it fails every time.
std::vector<std::string> visibleWindowsOf(GPid pid) {
  std::string command = "xdotool search --onlyvisible --pid " + std::to_string(pid);
  for (int attempt = 0; attempt < 10; ++attempt) {
    gchar* output = nullptr;
    gchar* errors = nullptr;
    gint status = 0;
    if (!g_spawn_command_line_sync(command.c_str(), &output, &errors, &status, nullptr)) return {};
    // xdotool also ends with 1 when it finds nothing, which is an answer;
    // an X error is not.
    bool answered = g_spawn_check_wait_status(status, nullptr) || strstr(errors, "X Error") == nullptr;
    g_free(errors);
    std::vector<std::string> windows;
    gchar** lines = g_strsplit(output != nullptr ? output : "", "\n", -1);
    for (gchar** line = lines; *line != nullptr; ++line) {
      if (**line != '\0') windows.emplace_back(*line);
    }
    g_strfreev(lines);
    g_free(output);
    if (answered) return windows;
    g_usleep(50000);
  }
  return {};
}

int visibleWindows(GPid pid) {
  return static_cast<int>(visibleWindowsOf(pid).size());
}

// A dialog that runs a loop of its own (here the address dialog) does not
// hold the quit a signal asks for: the dialog closes unanswered, and the core
// saves what it holds.
TEST_F(VeloraDesktopProcessTest, SigtermWhileTheAddressDialogShowsQuitsInOrder) {
  usePlayer("/app/?agree=never&keep=before-the-dialog");
  {
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(waitForReports("loaded"));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return visibleWindows(application.pid()) == 1; }));
    std::vector<std::string> windows = visibleWindowsOf(application.pid());
    ASSERT_EQ(windows.size(), 1u);
    std::string keys = "xdotool windowfocus --sync " + windows[0] + " key --clearmodifiers ctrl+l";
    ASSERT_TRUE(g_spawn_command_line_sync(keys.c_str(), nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return visibleWindows(application.pid()) == 2; }));
    application.signal(SIGTERM);
    // A guard against the hang, not a measure.
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return application.ended(); }, 20));
    EXPECT_EQ(application.exitStatus(), 0);
  }
  usePlayer("/app/?agree=none");
  DesktopProcess again(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded", 2));
  EXPECT_NE(server_.reports("loaded")[1].find("\"kept\":\"before-the-dialog\""), std::string::npos)
      << server_.reports("loaded")[1];
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(again.waitForEnd());
}

TEST_F(VeloraDesktopProcessTest, APageThatSleepsTooLongHoldsOnlyItselfAndWakes) {
  usePlayer("/app/?sleep=date");
  DesktopProcess application(home_.path(), {});
  // The page's sleep is cut short, and the application answers meanwhile.
  ASSERT_TRUE(waitForReports("woke"));
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

TEST_F(VeloraDesktopProcessTest, WithoutTheServiceItStartsFromTheSavedPageWithItsObjectsAndStorage) {
  // The page reports to a server that stays; its own goes away.
  useGoingPlayer("/app/?keep=kept-offline");
  {
    DesktopProcess online(home_.path(), {});
    ASSERT_TRUE(waitForGoingPlayerReports("loaded", 1));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(online.waitForEnd());
    EXPECT_EQ(online.exitStatus(), 0);
  }
  std::string origin = pages_->playerOrigin();
  pages_.reset();
  DesktopProcess offline(home_.path(), {});
  ASSERT_TRUE(waitForGoingPlayerReports("loaded", 2));
  std::string loaded = reports_.reports("loaded")[1];
  // The saved page's scripts ran with the page objects, and the storage the
  // page kept through them came back.
  EXPECT_NE(loaded.find("\"objects\":\"object\""), std::string::npos) << loaded;
  EXPECT_NE(loaded.find("\"kept\":\"kept-offline\""), std::string::npos) << loaded;
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(offline.waitForEnd());
  EXPECT_EQ(offline.exitStatus(), 0);
  // The player's console lines at both starts: from its script with the
  // script's address (at the player's origin, also when the saved page
  // served it), and those of code made of text without one.
  std::string log = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log");
  EXPECT_EQ(occurrences(log, "test player started (" + origin + "/app/app.js:"), 2u) << log;
  for (const std::string line : {"test player eval line", "test player function line", "test player timer line"}) {
    EXPECT_EQ(occurrences(log, line), 2u) << line << log;
    EXPECT_EQ(log.find(line + " (" + origin), std::string::npos) << log;
  }
}

// Started from the saved page, the player moves its own window to other
// addresses of its own by script and on the user's click: without the
// service the saved page shows again, and once the service is back they load
// from it, as players with their objects; a frame of another origin in the
// player still cannot move the window.
TEST_F(VeloraDesktopProcessTest, FromTheSavedPageThePlayerStillMovesItsOwnWindowAndAFrameStillCannot) {
  pages_ = std::make_unique<ShellTestServer>(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
  ASSERT_TRUE(reports_.start() && pages_->start());
  std::string intruded = pages_->playerOrigin() + "/app/own.html?intruded=1&reports=" + reports_.playerOrigin();
  gchar* to = g_uri_escape_string(intruded.c_str(), nullptr, TRUE);
  gchar* frame =
      g_uri_escape_string((pages_->thirdPartyOrigin() + "/app/intruder.html?to=" + to).c_str(), nullptr, TRUE);
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  ASSERT_TRUE(preferences.set("BetaPlayerURL", pages_->playerOrigin() + "/app/own.html?steps=script,click,idle&frame=" +
                                                   frame + "&reports=" + reports_.playerOrigin()));
  g_free(frame);
  g_free(to);
  auto shows = [&] { return reports_.reports("own-shown"); };
  auto shown = [&](size_t count) { return waitForGoingPlayerReports("own-shown", count); };
  auto clicked = [&](size_t count) { return clickUntil("Own player", [&] { return shows().size() >= count; }); };
  {
    DesktopProcess online(home_.path(), {});
    ASSERT_TRUE(shown(2));
    ASSERT_TRUE(clicked(3));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(online.waitForEnd());
  }
  unsigned port =
      g_ascii_strtoull(pages_->playerOrigin().substr(pages_->playerOrigin().rfind(':') + 1).c_str(), nullptr, 10);
  pages_.reset();
  DesktopProcess offline(home_.path(), {});
  // The saved page, then again after its move by script and after the click.
  ASSERT_TRUE(shown(5));
  ASSERT_TRUE(clicked(6));
  // The service is back: an address from outside sets off the next moves.
  pages_ = std::make_unique<ShellTestServer>(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
  ASSERT_TRUE(pages_->start(port));
  DesktopProcess second(home_.path(), {"veloraapp://album/1"});
  ASSERT_TRUE(second.waitForEnd());
  ASSERT_TRUE(shown(8));
  ASSERT_TRUE(clicked(9));
  for (size_t show = 6; show < 9; ++show) {
    EXPECT_NE(shows()[show].find("\"objects\":\"object\""), std::string::npos) << shows()[show];
  }
  auto requestsOf = [&](const std::string& query) {
    return std::count_if(pages_->queries().begin(), pages_->queries().end(),
                         [&](const std::string& asked) { return asked.find(query) != std::string::npos; });
  };
  EXPECT_EQ(requestsOf("n=3"), 1) << "the move after the saved page";
  EXPECT_EQ(requestsOf("n=5"), 1) << "the click";
  // The frame's move went out to the service; the player still shows and
  // takes the user's click.
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return requestsOf("intruded=1") >= 1; }));
  ASSERT_TRUE(clicked(10));
  for (const std::string& show : shows()) EXPECT_NE(show.find("\"intruded\":false"), std::string::npos) << show;
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(offline.waitForEnd());
}

// Started from the saved page, a player that moves itself to its home
// address as it starts leaves the saved page once by itself, finds no
// service and then stays on the saved page (logged) instead of showing it
// again without end; the user's click still leaves it, and once the service
// is back, the click brings the player's home page from it.
TEST_F(VeloraDesktopProcessTest, FromTheSavedPageAPlayerMovingItselfAsItStartsDoesNotLoop) {
  useGoingPlayer("/app/canonical.html?start=1");
  auto shows = [&] { return reports_.reports("canonical-shown"); };
  {
    DesktopProcess online(home_.path(), {});
    ASSERT_TRUE(waitForGoingPlayerReports("canonical-shown", 2));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(online.waitForEnd());
  }
  unsigned port =
      g_ascii_strtoull(pages_->playerOrigin().substr(pages_->playerOrigin().rfind(':') + 1).c_str(), nullptr, 10);
  pages_.reset();
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  auto stays = [&](size_t count) {
    return ShellTestServer::runUntil([&] {
      std::string text = TestFolder::read(log);
      size_t found = 0;
      for (size_t at = text.find("the saved page stays"); at != std::string::npos;
           at = text.find("the saved page stays", at + 1)) {
        ++found;
      }
      return found >= count;
    });
  };
  DesktopProcess offline(home_.path(), {});
  // The saved page, and again after its own move.
  ASSERT_TRUE(stays(1));
  EXPECT_EQ(shows().size(), 4u);
  // The user's click leaves it, and the player's move after it once more.
  ASSERT_TRUE(clickUntil("Canonical player", [&] { return shows().size() >= 5; }));
  ASSERT_TRUE(stays(2));
  EXPECT_EQ(shows().size(), 6u);
  // The service is back: the click brings the home page from it.
  pages_ = std::make_unique<ShellTestServer>(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
  ASSERT_TRUE(pages_->start(port));
  ASSERT_TRUE(
      clickUntil("Canonical player", [&] { return shows().back().find("\"home\":true") != std::string::npos; }));
  EXPECT_EQ(std::count(pages_->requests().begin(), pages_->requests().end(), "/app/canonical.html"), 1);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(offline.waitForEnd());
  EXPECT_EQ(offline.exitStatus(), 0);
}

// A player address with a file name and a query (one with an address in it)
// still finds its application-cache manifest beside the page, and the
// manifest's entry is fetched; the player goes on and quits by agreement.
TEST_F(VeloraDesktopProcessTest, ThePlayersManifestIsFetchedFromBesideAPlayerAddressWithAQuery) {
  usePlayer("/cached/index.html?from=settings&reports=" + server_.playerOrigin());
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("cached-shown"));
  auto requested = [&](const std::string& path) {
    const std::vector<std::string>& paths = server_.requests();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
  };
  EXPECT_TRUE(ShellTestServer::runUntil([&] { return requested("/cached/entry.css"); }));
  EXPECT_TRUE(requested("/cached/manifest.appcache"));
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// A quit while the player page still loads (its script slow to come) never
// leaves a part of the page in place of the whole one saved before: the
// load is waited for, or when it is still going at the end, the saved page
// stays. The next start without the service runs the page's script.
TEST_F(VeloraDesktopProcessTest, AQuitDuringASlowLoadLeavesTheSavedPageWhole) {
  useGoingPlayer("/app/?keep=kept-offline");
  auto scriptRequests = [&] {
    const std::vector<std::string>& paths = pages_->requests();
    return std::count(paths.begin(), paths.end(), "/app/app.js");
  };
  {
    DesktopProcess online(home_.path(), {});
    ASSERT_TRUE(waitForGoingPlayerReports("loaded", 1));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(online.waitForEnd());
  }
  // Slower than the quit waits for, the second time.
  for (unsigned scriptDelay : {1500u, 600000u}) {
    SCOPED_TRACE(scriptDelay);
    pages_->delay("/app/app.js", scriptDelay);
    auto asked = scriptRequests();
    DesktopProcess quitting(home_.path(), {});
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return scriptRequests() > asked; }));
    gint64 quitAt = g_get_monotonic_time() + 300 * G_TIME_SPAN_MILLISECOND;
    ShellTestServer::runUntil([&] { return g_get_monotonic_time() >= quitAt; });
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(quitting.waitForEnd());
    EXPECT_EQ(quitting.exitStatus(), 0);
  }
  pages_.reset();
  size_t before = reports_.reports("loaded").size();
  DesktopProcess offline(home_.path(), {});
  ASSERT_TRUE(waitForGoingPlayerReports("loaded", before + 1));
  std::string loaded = reports_.reports("loaded")[before];
  EXPECT_NE(loaded.find("\"objects\":\"object\""), std::string::npos) << loaded;
  EXPECT_NE(loaded.find("\"kept\":\"kept-offline\""), std::string::npos) << loaded;
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(offline.waitForEnd());
}

// An advert of another origin whose server never answers keeps WebKit's load
// open for good: the page is saved once its own resources are in, during the
// run (which here ends by kill -9), and the next start without the service
// runs it.
TEST_F(VeloraDesktopProcessTest, AnAdvertThatNeverAnswersDoesNotKeepThePageFromBeingSaved) {
  // The advert: a frame of another origin (the reports' server's third
  // party), never answered.
  server_.delay("/app/other.html", 600000);
  std::string player = useGoingPlayer("/app/?" + thirdPartyFrame("/app/other.html"));
  {
    DesktopProcess online(home_.path(), {});
    ASSERT_TRUE(waitForGoingPlayerReports("loaded", 1));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::exists(savedPagePath(player)); }, 30));
    online.signal(SIGKILL);
    ASSERT_TRUE(online.waitForEnd());
  }
  pages_.reset();
  DesktopProcess offline(home_.path(), {});
  ASSERT_TRUE(waitForGoingPlayerReports("loaded", 2));
  std::string loaded = reports_.reports("loaded")[1];
  EXPECT_NE(loaded.find("\"objects\":\"object\""), std::string::npos) << loaded;
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(offline.waitForEnd());
}

// A page that shows a new cover now and then is written once for its load
// and once more for what it loaded after (at the quit), not once per cover.
TEST_F(VeloraDesktopProcessTest, APageShowingNewCoversIsWrittenOnceForItsLoadAndOnceForWhatCameAfter) {
  const std::string player = server_.playerOrigin() + "/app/?covers=12";
  usePlayer("/app/?covers=12");
  ASSERT_EQ(g_mkdir_with_parents(savedPageFolder().c_str(), 0700), 0);
  TestFileReplacements writes(savedPageFolder(), SavedPageStore::fileNameFor(player));
  ASSERT_TRUE(writes.watching());
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("covers-shown"));
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  SavedPageStore store(savedPageFolder(), player);
  SavedPage page;
  ASSERT_TRUE(store.load(player, page));
  // The covers are in it (the last may have finished in the page a moment
  // before the quit without WebKit having told the application yet).
  size_t covers = std::count_if(page.resources().begin(), page.resources().end(), [](const SavedPage::Resource& r) {
    return r.address.find("/icon.png?cover=") != std::string::npos;
  });
  EXPECT_GE(covers, 11u);
  std::cout << "saved page written " << writes.count() << " times, " << writes.bytes() << " bytes\n";
  EXPECT_GE(writes.count(), 1u);
  EXPECT_LE(writes.count(), 2u);
}

// A large page is written by a thread of the store's, not by the main thread
// (which a write of tens of megabytes would hold for seconds).
TEST_F(VeloraDesktopProcessTest, ALargePageIsWrittenByAThreadOfItsOwn) {
  TestFolder folder;
  ASSERT_TRUE(linkTestPages(folder));
  constexpr size_t kImageBytes = 24u << 20;
  ASSERT_TRUE(TestFolder::write(folder.file("big.png"),
                                TestFolder::read(folder.file("icon.png")) + std::string(kImageBytes, '\0')));
  ShellTestServer server(folder.path());
  ASSERT_TRUE(server.start());
  const std::string player = server.playerOrigin() + "/app/?image=/big.png";
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  ASSERT_TRUE(preferences.set("BetaPlayerURL", player));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    GStatBuf saved;
    return g_stat(savedPagePath(player).c_str(), &saved) == 0 && static_cast<size_t>(saved.st_size) > kImageBytes;
  }));
  size_t mainThreadBytes = application.mainThreadBytesWritten();
  std::cout << "the main thread wrote " << mainThreadBytes << " bytes; the saved page holds more than " << kImageBytes
            << "\n";
  EXPECT_LT(mainThreadBytes, kImageBytes / 4);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// A page that would make its saved file larger than it may be is not kept:
// its recording is dropped once (not held and serialized again for each
// later cover), and the page saved before stays.
TEST_F(VeloraDesktopProcessTest, APageOverTheSizeLimitIsDroppedOnceAndThePageSavedBeforeStays) {
  // The test pages, and an image the test makes larger.
  TestFolder folder;
  ASSERT_TRUE(linkTestPages(folder));
  const std::string icon = TestFolder::read(folder.file("icon.png"));
  ASSERT_TRUE(TestFolder::write(folder.file("big.png"), icon));
  ShellTestServer server(folder.path());
  ASSERT_TRUE(server.start());
  const std::string player = server.playerOrigin() + "/app/?image=/big.png&covers=3";
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  ASSERT_TRUE(preferences.set("BetaPlayerURL", player));
  SavedPageStore store(savedPageFolder(), player);
  SavedPage page;
  for (bool large : {false, true}) {
    SCOPED_TRACE(large);
    if (large) ASSERT_TRUE(TestFolder::write(folder.file("big.png"), icon + std::string(70u << 20, '\0')));
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return server.reports("covers-shown").size() >= (large ? 2u : 1u); }));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(application.waitForEnd());
    ASSERT_TRUE(store.load(player, page));
    EXPECT_EQ(page.find(server.playerOrigin() + "/big.png")->bytes, icon);
  }
  std::string log = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log");
  EXPECT_EQ(occurrences(log, "what was recorded is dropped"), 1u) << log;
  EXPECT_EQ(occurrences(log, "over the limit: the page is not saved"), 0u) << log;
}

// A player page that reloads itself, as "reloading" or once the test makes it
// so, as "final" that stays. Each load reports its version to `reports`.
std::string reloadingPage(const std::string& version) {
  return "<!doctype html><html><head><title>reloading</title></head><body><img src=\"/big.png\"><script>\n"
         "'use strict';\n"
         "const reports = new URLSearchParams(location.search).get('reports');\n"
         "window.VeloraAPI = {};\n"
         "addEventListener('load', () => {\n"
         "  fetch(reports + '/report?name=" +
         version +
         "', { method: 'POST', mode: 'no-cors', body: '1' })\n"
         "    .finally(() => { if ('" +
         version +
         "' === 'reloading') setTimeout(() => location.reload(), 20); });\n"
         "});\n"
         "</script></body></html>\n";
}

// The folder as the kernel names it (the files a client syncs there).
std::string realFolder(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string named = real != nullptr ? real : "";
  free(real);
  return named;
}

// On a disk slow to sync, a page that reloads itself: only the latest load
// waits to be written, so the client's memory stays bounded, and the end of
// the run waits a bounded time: the latest page is saved when the disk lets
// it, and when the disk is slower than the end waits for, the saved page
// stays whole. The next start without the service shows a whole page.
TEST_F(VeloraDesktopProcessTest, APageThatReloadsItselfOnADiskSlowToSyncStaysBoundedAndQuits) {
  TestFolder folder;
  constexpr size_t kImageBytes = 4u << 20;
  const std::string image =
      TestFolder::read(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages/icon.png") + std::string(kImageBytes, '\1');
  std::string player;
  auto pages = serveReloadingPage(folder, image, "reloading", player);
  ASSERT_NE(pages, nullptr);
  ASSERT_EQ(g_mkdir_with_parents(savedPageFolder().c_str(), 0700), 0);
  const std::string slowFolder = realFolder(savedPageFolder());
  ASSERT_FALSE(slowFolder.empty());
  const std::string slowed = home_.path() + "/slowed-syncs";
  auto slowDisk = [&](const std::string& milliseconds) {
    return withSlowDisk({{"VELORA_SLOW_FSYNC_FOLDER", slowFolder},
                         {"VELORA_SLOW_FSYNC_MILLISECONDS", milliseconds},
                         {"VELORA_SLOW_FSYNC_LOG", slowed}});
  };
  auto loads = [&](const std::string& version) { return reports_.reports(version).size(); };
  SavedPageStore store(savedPageFolder(), player);
  SavedPage page;
  // Seconds from SIGTERM to the end.
  auto quit = [&](DesktopProcess& application) {
    gint64 signalled = g_get_monotonic_time();
    application.signal(SIGTERM);
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return application.ended(); }, 60));
    return (g_get_monotonic_time() - signalled) / double(G_USEC_PER_SEC);
  };

  // Syncs within the end's wait: the latest load is saved.
  {
    DesktopProcess application(home_.path(), {}, slowDisk("1000"));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("reloading") >= 10; }));
    size_t before = application.residentKilobytes("VmRSS:");
    gint64 from = g_get_monotonic_time();
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("reloading") >= 70; }));
    size_t after = application.residentKilobytes("VmRSS:");
    double seconds = (g_get_monotonic_time() - from) / double(G_USEC_PER_SEC);
    double growth = (double(after) - double(before)) / 1024;
    std::cout << "60 loads in " << seconds << " s: resident memory grew " << growth << " MiB (" << growth / seconds * 60
              << " MiB a minute)\n";
    EXPECT_LT(growth, 96.0) << "60 loads of " << (kImageBytes >> 20) << " MiB each";
    EXPECT_GT(TestFolder::read(slowed).size(), 0u) << "the client did not run with the slow disk";
    ASSERT_TRUE(TestFolder::write(folder.file("reloading.html"), reloadingPage("final")));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("final") >= 1; }));
    double ended = quit(application);
    std::cout << "ended " << ended << " s after SIGTERM\n";
    EXPECT_LT(ended, 30.0);
    EXPECT_EQ(application.exitStatus(), 0);
    ASSERT_TRUE(store.load(player, page));
    EXPECT_NE(page.document()->bytes.find("'final' === 'reloading'"), std::string::npos);
    ASSERT_NE(page.find(pages->playerOrigin() + "/big.png"), nullptr);
    EXPECT_EQ(page.find(pages->playerOrigin() + "/big.png")->bytes, image);
  }

  // Slower than the end waits for: it ends all the same, the page saved
  // before or the write under way whole.
  ASSERT_TRUE(TestFolder::write(folder.file("reloading.html"), reloadingPage("reloading")));
  {
    size_t loaded = loads("reloading");
    DesktopProcess application(home_.path(), {}, slowDisk("7000"));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("reloading") >= loaded + 10; }));
    double ended = quit(application);
    std::cout << "with syncs of 7 s, ended " << ended << " s after SIGTERM\n";
    EXPECT_LT(ended, 30.0);
    EXPECT_EQ(application.exitStatus(), 0);
    ASSERT_TRUE(store.load(player, page));
    ASSERT_NE(page.find(pages->playerOrigin() + "/big.png"), nullptr);
    EXPECT_EQ(page.find(pages->playerOrigin() + "/big.png")->bytes, image);
  }

  // Without the service: a whole saved page shows.
  pages.reset();
  size_t shown = loads("reloading") + loads("final");
  DesktopProcess offline(home_.path(), {});
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("reloading") + loads("final") > shown; }));
  offline.signal(SIGTERM);
  ASSERT_TRUE(offline.waitForEnd());
}

// A client killed (a session that logs out, SIGKILL) while it writes the
// saved page on a disk slow to sync leaves the page saved before whole: the
// next start without the service shows it. The temporary file of the write
// cut short, of up to 64 MiB, goes at a later save once it is an hour old;
// a younger one (a write under way, another client's) stays.
TEST_F(VeloraDesktopProcessTest, AClientKilledWhileItWritesTheSavedPageLeavesThePageBeforeWhole) {
  TestFolder folder;
  const std::string image =
      TestFolder::read(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages/icon.png") + std::string(4u << 20, '\2');
  std::string player;
  auto pages = serveReloadingPage(folder, image, "final", player);
  ASSERT_NE(pages, nullptr);
  auto loads = [&](const std::string& version) { return reports_.reports(version).size(); };
  SavedPageStore store(savedPageFolder(), player);
  SavedPage page;
  {
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("final") >= 1; }));
    application.signal(SIGTERM);
    ASSERT_TRUE(application.waitForEnd());
    ASSERT_TRUE(store.load(player, page));
  }
  const std::string slowFolder = realFolder(savedPageFolder());
  ASSERT_FALSE(slowFolder.empty());
  ASSERT_TRUE(TestFolder::write(folder.file("reloading.html"), reloadingPage("reloading")));
  // The temporary files of the saved page's writes.
  const std::string saved = SavedPageStore::fileNameFor(player);
  auto writes = [&] {
    std::vector<std::string> found;
    GDir* entries = g_dir_open(savedPageFolder().c_str(), 0, nullptr);
    for (const char* name; entries != nullptr && (name = g_dir_read_name(entries)) != nullptr;) {
      if (std::string(name).rfind(saved + ".", 0) == 0) found.push_back(savedPageFolder() + "/" + name);
    }
    if (entries != nullptr) g_dir_close(entries);
    return found;
  };
  {
    DesktopProcess application(
        home_.path(), {},
        withSlowDisk({{"VELORA_SLOW_FSYNC_FOLDER", slowFolder}, {"VELORA_SLOW_FSYNC_MILLISECONDS", "60000"}}));
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return !writes().empty(); }));
    application.signal(SIGKILL);
    ASSERT_TRUE(application.waitForEnd());
  }
  ASSERT_TRUE(store.load(player, page));
  EXPECT_NE(page.document()->bytes.find("'final' === 'reloading'"), std::string::npos);
  ASSERT_NE(page.find(pages->playerOrigin() + "/big.png"), nullptr);
  EXPECT_EQ(page.find(pages->playerOrigin() + "/big.png")->bytes, image);
  // The write cut short left its temporary file.
  const std::vector<std::string> leftovers = writes();
  ASSERT_EQ(leftovers.size(), 1u);
  // Without the service: the page saved before shows.
  pages.reset();
  {
    DesktopProcess offline(home_.path(), {});
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("final") >= 2; }));
    offline.signal(SIGTERM);
    ASSERT_TRUE(offline.waitForEnd());
  }
  // With the service again, the next save: the leftover an hour old goes, a
  // younger one stays.
  const std::string young = savedPageFolder() + "/" + saved + ".AbC123";
  ASSERT_TRUE(TestFolder::write(young, "a write under way"));
  struct timeval hourAgo[2] = {{time(nullptr) - 3700, 0}, {time(nullptr) - 3700, 0}};
  ASSERT_EQ(utimes(leftovers[0].c_str(), hourAgo), 0);
  ASSERT_TRUE(TestFolder::write(folder.file("reloading.html"), reloadingPage("final")));
  pages = std::make_unique<ShellTestServer>(folder.path());
  ASSERT_TRUE(pages->start());
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  ASSERT_TRUE(
      preferences.set("BetaPlayerURL", pages->playerOrigin() + "/reloading.html?reports=" + reports_.playerOrigin()));
  DesktopProcess again(home_.path(), {});
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return loads("final") >= 3; }));
  again.signal(SIGTERM);
  ASSERT_TRUE(again.waitForEnd());
  EXPECT_FALSE(TestFolder::exists(leftovers[0]));
  EXPECT_TRUE(TestFolder::exists(young));
}

TEST_F(VeloraDesktopProcessTest, BeforeAnyPlayerPageAQuitEndsAtOnce) {
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  // A server that is not there: the error page shows, no player page loads.
  auto gone = std::make_unique<ShellTestServer>(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
  ASSERT_TRUE(gone->start());
  ASSERT_TRUE(preferences.set("BetaPlayerURL", gone->playerOrigin() + "/app/"));
  gone.reset();
  DesktopProcess application(home_.path(), {});
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log";
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] { return TestFolder::read(log).find("cacheReloadCount: 2") != std::string::npos; }));
  // The error page's text came from the catalogues built beside the program.
  EXPECT_EQ(TestFolder::read(log).find("cannot read the English texts"), std::string::npos);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

TEST_F(VeloraDesktopProcessTest, TheStartTracesTheDesktopsNotificationServerOrItsAbsence) {
  usePlayer("/app/");
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log";
  auto traced = [&log](const std::string& line) {
    return ShellTestServer::runUntil([&] { return TestFolder::read(log).find(line) != std::string::npos; });
  };
  {
    DesktopProcess alone(home_.path(), {});
    EXPECT_TRUE(traced("NotificationSender::start no desktop notification server: "));
    alone.signal(SIGTERM);
    ASSERT_TRUE(alone.waitForEnd());
  }
  FakeNotificationServer notifications;
  ASSERT_TRUE(notifications.owned());
  DesktopProcess application(home_.path(), {});
  EXPECT_TRUE(traced("NotificationSender::start Using fake (1)\n"));
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

TEST_F(VeloraDesktopProcessTest, ACrashLeavesAReportTheFrontKeyBindsThroughThePortalAndAMissingFeedIsAWarning) {
  FakeGlobalShortcutsPortal portal;
  ASSERT_TRUE(portal.owned());
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return !portal.bound().empty(); }));
  EXPECT_EQ(portal.bound(), std::vector<std::string>{"front=CTRL+ALT+LOGO+q"});
  // The test player has no update feed: a warning in the log, and the start went on.
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  EXPECT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("Error while checking for updates: HTTP status 404 from " +
                                      server_.playerOrigin() + "/app/apps/velora-desktop/osx/update_2.xml?ts=") !=
           std::string::npos;
  }));
  application.signal(SIGSEGV);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.deathSignal(), SIGSEGV);
  std::string report = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/crash-reports/last-crash.txt");
  EXPECT_EQ(report.rfind("signal: 11 (SIGSEGV)\n", 0), 0u) << report;
  EXPECT_NE(report.find("\nversion: 1.0.0 ("), std::string::npos) << report;
}

TEST_F(VeloraDesktopProcessTest, APortalThatNeverAnswersLeavesTheFrontKeyToAnX11Grab) {
  FakeGlobalShortcutsPortal portal(FakeGlobalShortcutsPortal::Outcome::Never);
  ASSERT_TRUE(portal.owned());
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log";
  EXPECT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find(
               "no global shortcut from the desktop portal (no answer within 10 s): an X11 "
               "grab instead") != std::string::npos;
  }));
  // The grab was made: it traces only when it cannot be.
  EXPECT_EQ(TestFolder::read(log).find("FrontKeyGrab"), std::string::npos);
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

// The log keeps the player's console lines, at a bounded rate, and none of a
// frame of another origin: a flood of either leaves the start in the log.
TEST_F(VeloraDesktopProcessTest, APageOrAFrameThatFloodsTheConsoleLeavesTheLogsHistory) {
  usePlayer("/app/?console=3000&" + thirdPartyFrame("/app/console-flood.html"));
  DesktopProcess application(home_.path(), {});
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(waitForReports("player-flooded"));
  ASSERT_TRUE(waitForReports("frame-flooded"));
  // Quitting waits for what the page sent before: every console line.
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(waitForReports("asked"));
  ASSERT_TRUE(application.waitForEnd());
  std::string text = TestFolder::read(log + ".1") + TestFolder::read(log);
  // A line of the core's start, before the page loaded.
  EXPECT_NE(text.find("Output driver found"), std::string::npos);
  EXPECT_EQ(text.find("frame-line"), std::string::npos);
  size_t playerLines = occurrences(text, "player-line");
  EXPECT_GE(playerLines, 1u);
  EXPECT_LT(playerLines, 1000u);
}

// Lines as long as the log keeps, for seconds on end, leave the log's
// history too: what the page writes is bounded in bytes, not only in lines.
TEST_F(VeloraDesktopProcessTest, LongConsoleLinesForSecondsLeaveTheLogsHistory) {
  usePlayer("/app/?longConsole=6");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("long-console-done"));
  // Quitting waits for what the page sent before: every console line.
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  std::string text = TestFolder::read(log + ".1") + TestFolder::read(log);
  EXPECT_NE(text.find("Output driver found"), std::string::npos);
  size_t pageBytes = 0;
  size_t lines = 0;
  for (size_t at = text.find("long-line "); at != std::string::npos; at = text.find("long-line ", at + 1)) {
    pageBytes += text.find('\n', at) - at;
    ++lines;
  }
  std::cout << lines << " long console lines logged, " << pageBytes << " bytes\n";
  EXPECT_GE(lines, 1u);
  EXPECT_LT(pageBytes, 256u * 1024);
}

// A frame of another origin that writes console lines of 16 MB: they never
// cross whole into the application (those with the frame's address not at
// all), so its memory does not grow by them and none is logged whole.
TEST_F(VeloraDesktopProcessTest, AFramesHugeConsoleLinesNeverCrossIntoTheApplicationWhole) {
  usePlayer("/app/?" + thirdPartyFrame("/app/console-huge.html"));
  // The frame comes once the application has started whole.
  server_.delay("/app/console-huge.html", 600000);
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  application.resetResidentPeak();
  size_t before = application.residentKilobytes("VmRSS:");
  server_.release("/app/console-huge.html");
  ASSERT_TRUE(waitForReports("huge-logged"));
  // The player logs once the frame has: the application has taken what the
  // frame sent before.
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] { return TestFolder::read(log).find("after the huge frame") != std::string::npos; }));
  size_t peak = application.residentKilobytes("VmHWM:");
  std::cout << "resident peak grew by " << (peak > before ? peak - before : 0) << " kB\n";
  EXPECT_LT(peak, before + 32 * 1024);
  std::string text = TestFolder::read(log);
  EXPECT_LT(text.size(), 1000000u);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// A frame of another origin calling top.close() is ignored; the player's own
// close, once asked to quit, ends the application.
TEST_F(VeloraDesktopProcessTest, AFrameOfAnotherOriginCannotCloseTheWindowThePlayerAskedToQuitMay) {
  usePlayer("/app/?agree=close&" + thirdPartyFrame("/app/closer.html"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("closer-ready"));
  // A click in the frame, which covers the window, as the user's on an advert.
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("closer"); }));
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("ignored a script's close of the player's window") != std::string::npos;
  }));
  EXPECT_FALSE(application.ended());
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(waitForReports("asked"));
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// A frame of another origin hands the desktop's browser and mail program
// nothing by itself (script clicks on links, a script-submitted form, also
// from a data: frame inside it); clicked, it opens a mail address, without
// the fields that would attach the user's files.
TEST_F(VeloraDesktopProcessTest, AFrameOfAnotherOriginHandsTheDesktopOnlyWhatIsClickedAndNoAttachments) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/?" + thirdPartyFrame("/app/handoff.html"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("handoff-tried"));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("handoff-clicked"); }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return !TestFolder::read(opened).empty(); }));
  EXPECT_EQ(TestFolder::read(opened), "mailto:someone@velora.example?subject=Clicked\n");
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  EXPECT_NE(TestFolder::read(log).find("without a user gesture, what a page of another origin asked for (1 so far): "),
            std::string::npos);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// The player's plain mail link (no target), clicked, and its mail link to a
// new window that its script clicks reach the mail program, without the
// player's mark; a plain mail link that a frame clicks by itself (a data:
// one, which is not the player) does not.
TEST_F(VeloraDesktopProcessTest, ThePlayersOwnMailLinksReachTheMailProgramAndAFramesUnclickedOneNot) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/mail.html");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("mail-ready"));
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("what a page of another origin asked for (1 so far): mailto:frame@") !=
           std::string::npos;
  }));
  const std::string script = "mailto:script@velora.example?subject=Script\n";
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::read(opened) == script; }));
  ASSERT_TRUE(clickUntil("Mail player", [&] { return TestFolder::read(opened) != script; }));
  EXPECT_EQ(TestFolder::read(opened), script + "mailto:player@velora.example?subject=Player\n");
  // The player is still there and quits by agreement.
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// A frame of another origin that the player's own script hands a clicked
// mail link's address (the player's mark on it) cannot use the mark to open
// a web page without the user's gesture; the user's click on the player's
// mail link still reaches the mail program, without the mark.
TEST_F(VeloraDesktopProcessTest, APlayersMailMarkHandedToAFrameOpensNoWebPage) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/mail-leak.html?" + thirdPartyFrame("/app/mark-user.html"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("leak-ready"));
  const std::string mail = "mailto:player@velora.example?subject=Player\n";
  ASSERT_TRUE(clickUntil("Mail leak player", [&] { return !TestFolder::read(opened).empty(); }));
  EXPECT_EQ(TestFolder::read(opened), mail);
  ASSERT_TRUE(waitForReports("field-used"));
  EXPECT_NE(server_.report("field-used").find("velora-player="), std::string::npos) << server_.report("field-used");
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("without a user gesture, what a page of another origin asked for (1 so far): " +
                                      server_.thirdPartyOrigin() + "/app/other.html?velora-player=") !=
           std::string::npos;
  })) << TestFolder::read(opened);
  EXPECT_EQ(TestFolder::read(opened), mail);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// After the user clicked to a page of another origin, which stepped back, a
// frame of another origin stepping the window forward again and again does
// not bring that page back from the back/forward cache; the user's click,
// and the user's own step forward, still take the window there.
TEST_F(VeloraDesktopProcessTest, AFramesHistoryStepsDoNotBringBackAPageOfAnotherOriginTheUsersOwnDo) {
  auto escaped = [&](const std::string& path) {
    gchar* text = g_uri_escape_string((server_.thirdPartyOrigin() + path).c_str(), nullptr, TRUE);
    std::string result = text;
    g_free(text);
    return result;
  };
  usePlayer("/app/steps.html?away=" + escaped("/app/away.html") + "&frame=" + escaped("/app/forwarder.html"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("steps-shown"));
  auto clickedAway = [&](size_t count) {
    return clickUntil("Steps player", [&] { return server_.reports("away-shown").size() >= count; });
  };
  ASSERT_TRUE(clickedAway(1));
  ASSERT_TRUE(waitForReports("steps-shown", 2));
  // Five steps of the frame from the player shown again.
  size_t steps = server_.reports("forwarded").size();
  ASSERT_TRUE(waitForReports("forwarded", steps + 5));
  EXPECT_EQ(server_.reports("away-shown").size(), 1u);
  std::string log = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log");
  EXPECT_NE(log.find("a page started (1 so far): " + server_.thirdPartyOrigin() + "/app/away.html"), std::string::npos)
      << log;
  // The user's click again, and the step back.
  ASSERT_TRUE(clickedAway(2));
  ASSERT_TRUE(waitForReports("steps-shown", 3));
  // The user's own step forward to it, with the mouse's forward button.
  ASSERT_TRUE(clickUntil(
      "Steps player", [&] { return server_.reports("away-shown").size() >= 3; }, 9));
  ASSERT_TRUE(waitForReports("steps-shown", 4));
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// One click in a frame of another origin whose handler clicks 1,000 web and
// 200 mail links hands the desktop a few of them, and the refusals are
// logged; each later click is a gesture of its own and hands the desktop its
// one address, also after more clicks than one gesture's budget.
TEST_F(VeloraDesktopProcessTest, OneClickInAFrameOfAnotherOriginHandsTheDesktopAFewAddresses) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/?" + thirdPartyFrame("/app/handoff-flood.html?http=1000&mail=200"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("flood-ready"));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("flood-clicked"); }));
  // The flood's last address, which the desktop never takes: every one
  // before it has been decided.
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("refused to open (1 so far): ftp://flood.invalid/done") != std::string::npos;
  }));
  EXPECT_NE(TestFolder::read(log).find("beyond what one user gesture may, what a page of another origin asked for "
                                       "(1000 so far): "),
            std::string::npos);
  const size_t later = UserGestureBudget::kAddressesPerGesture + 1;
  for (size_t click = 2; click <= 1 + later; ++click) {
    ASSERT_TRUE(clickUntil("Test player", [&] { return server_.reports("flood-clicked").size() >= click; }));
    const std::string address = "/app/other.html?after=" + std::to_string(click) + "\n";
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::read(opened).find(address) != std::string::npos; }))
        << TestFolder::read(opened);
  }
  // The programs of the flood's addresses started long before those of the later clicks.
  const std::string handed = TestFolder::read(opened);
  const size_t flood = occurrences(handed, "?flood=") + occurrences(handed, "mailto:flood");
  EXPECT_GE(flood, 1u);
  EXPECT_LE(flood, UserGestureBudget::kAddressesPerGesture);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// One click in a frame of another origin whose handler keeps the page busy
// for more than the quiet time between its requests (three rounds of three
// after the first three) hands the desktop the first three only; the next
// click, once the page is free again, hands the desktop its address.
TEST_F(VeloraDesktopProcessTest, AClickHandlerThatKeepsThePageBusyGetsNoMoreAddresses) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/?" + thirdPartyFrame("/app/handoff-busy.html?rounds=3&busy=2100"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("busy-ready"));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("busy-clicked"); }));
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("refused to open (1 so far): ftp://flood.invalid/done") != std::string::npos;
  }));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.reports("busy-clicked").size() >= 2; }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(opened).find("/app/other.html?after=2\n") != std::string::npos;
  })) << TestFolder::read(opened);
  const std::string handed = TestFolder::read(opened);
  EXPECT_EQ(occurrences(handed, "?now="), UserGestureBudget::kAddressesPerGesture) << handed;
  EXPECT_EQ(occurrences(handed, "?busy"), 0u) << handed;
  EXPECT_NE(TestFolder::read(log).find("beyond what one user gesture may, what a page of another origin asked for "
                                       "(1 so far): "),
            std::string::npos);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// A link of a frame of another origin clicked once, then taken with the
// Enter key again and again, each soon after the one before: each key press
// is a gesture of its own and hands the browser its address, more often
// than one gesture's budget.
TEST_F(VeloraDesktopProcessTest, EachEnterOnAFocusedLinkOfAFrameReachesTheBrowser) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/?" + thirdPartyFrame("/app/focused-link.html"));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("link-ready"));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("link-clicked"); }));
  const std::string enter = "xdotool search --sync --onlyvisible --name '^Test player$' key --window %1 Return";
  const size_t presses = UserGestureBudget::kAddressesPerGesture + 1;
  for (size_t click = 2; click <= 1 + presses; ++click) {
    for (int attempt = 0; attempt < 30 && server_.reports("link-clicked").size() < click; ++attempt) {
      if (system(enter.c_str()) != 0) continue;  // as in clickUntil
      ShellTestServer::runUntil([&] { return server_.reports("link-clicked").size() >= click; }, 2);
    }
    ASSERT_GE(server_.reports("link-clicked").size(), click);
  }
  const size_t clicks = server_.reports("link-clicked").size();
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return occurrences(TestFolder::read(opened), "\n") >= clicks; }))
      << TestFolder::read(opened);
  EXPECT_EQ(occurrences(TestFolder::read(opened), "/app/other.html?by=key\n"), clicks);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// The player is no other origin: one click of the player's hands the
// desktop every address it opens, more than one gesture's budget.
TEST_F(VeloraDesktopProcessTest, OneClickOfThePlayersHandsTheDesktopEveryAddressItOpens) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  const size_t links = UserGestureBudget::kAddressesPerGesture + 2;
  usePlayer("/app/?links=" + std::to_string(links));
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  ASSERT_TRUE(clickUntil("Test player", [&] { return server_.hasReport("links-clicked"); }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return occurrences(TestFolder::read(opened), "?own=") >= links; }))
      << TestFolder::read(opened);
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
}

// A clicked mail link of 2,000 fields asking for files, some 60,000 bytes:
// the mail program gets the message without them, the log one line naming
// them with the address cut, and keeps its start; the next click's address
// reaches the mail program as well.
TEST_F(VeloraDesktopProcessTest, AMailLinkOfThousandsOfLeftOutFieldsIsLoggedOnce) {
  TestFolder programs;
  const std::string opened = recordOpenedAddresses(programs);
  usePlayer("/app/?attachments=2000&padding=8000");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  for (size_t click = 1; click <= 2; ++click) {
    ASSERT_TRUE(clickUntil("Test player", [&] { return server_.reports("mail-clicked").size() >= click; }));
    const std::string address = "mailto:someone@velora.example?subject=Click" + std::to_string(click) + "\n";
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::read(opened).find(address) != std::string::npos; }))
        << TestFolder::read(opened);
  }
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  const std::string text = TestFolder::read(log);
  EXPECT_NE(text.find("test player started"), std::string::npos);
  EXPECT_FALSE(TestFolder::exists(log + ".1"));
  EXPECT_LT(text.size(), 64u * 1024);
  const std::string leftOut = "forTheMailProgram left out the fields attach, x-pad of mailto:someone@velora.example";
  EXPECT_EQ(occurrences(text, leftOut), 2u) << text.substr(0, 4096);
  for (size_t at = text.find(leftOut); at != std::string::npos; at = text.find(leftOut, at + 1)) {
    EXPECT_LT(text.find('\n', at) - at, 1024u);
  }
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// A frame of another origin that nobody clicks asks for 2,000 new windows
// (links and window.open(), in turn) with addresses of 16,000 characters:
// each kind of refusal is logged at the 1st, 10th, 100th and 1000th, its
// address cut, and the log keeps its start.
TEST_F(VeloraDesktopProcessTest, AFloodOfRefusedNewWindowsLeavesTheLogItsStart) {
  usePlayer("/app/?" + thirdPartyFrame("/app/refused-flood.html?windows=2000&length=16000"));
  DesktopProcess application(home_.path(), {});
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop.log";
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log).find("refused to open (1 so far): ftp://flood.invalid/done") != std::string::npos;
  }));
  const std::string text = TestFolder::read(log);
  std::cout << "log: " << text.size() << " bytes, rolled: " << TestFolder::exists(log + ".1") << "\n";
  EXPECT_NE(text.find("test player started"), std::string::npos);
  EXPECT_FALSE(TestFolder::exists(log + ".1"));
  EXPECT_LT(text.size(), 64u * 1024);
  const std::string address = server_.thirdPartyOrigin() + "/app/other.html?n=";
  for (const std::string refusal : {"refused to open, without a user gesture, what a page of another origin asked for",
                                    "no pop-up without a user gesture"}) {
    EXPECT_EQ(occurrences(text, refusal), 4u) << refusal;
    for (const char* count : {"1", "10", "100", "1000"}) {
      EXPECT_NE(text.find(refusal + " (" + count + " so far): " + address), std::string::npos) << refusal << count;
    }
  }
  EXPECT_EQ(occurrences(text, "... (16000 bytes)"), 8u);
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

TEST_F(VeloraDesktopProcessTest, AStartWhoseChannelCannotOpenStopsTheCoreItStarted) {
  usePlayer("/app/");
  // The page channel's folder goes into the temporary folder, here a path
  // through a plain file: the channel cannot open, after the core started.
  std::string file = home_.file("not-a-folder");
  ASSERT_TRUE(TestFolder::write(file, "x"));
  DesktopProcess application(home_.path(), {}, {{"TMPDIR", file + "/tmp"}});
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 1);
  // The core was stopped in order: closing its session stores the
  // identity's download limit.
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  std::string limit;
  EXPECT_TRUE(preferences.get("#anonymous##MaxConcurrentDownloads", limit));
  EXPECT_EQ(limit, "3");
}

// Standard error (the application's traces, its web processes' messages)
// is rolled at its cap, at start and while running.
TEST_F(VeloraDesktopProcessTest, TheStandardErrorLogStaysWithinItsCap) {
  constexpr size_t kCap = 1000000;
  constexpr size_t kOneRead = 65536;
  std::string log = home_.folder("XDG_STATE_HOME/velora-desktop") + "/desktop_stderr.log";
  ASSERT_TRUE(TestFolder::write(log, std::string(3 * kCap, 'o')));
  usePlayer("/app/flood.html?steps=100");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("flooded"));
  // 100 traces of 15 kB went out: the file rolled while running.
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return TestFolder::read(log + ".1").find("step=100") != std::string::npos ||
           TestFolder::read(log).find("step=100") != std::string::npos;
  }));
  for (const std::string& file : {log, log + ".1"}) {
    std::string text = TestFolder::read(file);
    EXPECT_LE(text.size(), kCap + kOneRead) << file;
    EXPECT_EQ(text.find("ooo"), std::string::npos) << file;
    EXPECT_NE(text.find("&pad=aaa"), std::string::npos) << file;
  }
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  EXPECT_EQ(application.exitStatus(), 0);
}

// The programs it starts (the desktop's proxy settings, the browser for a
// clicked link) write nothing into its log: their standard error is
// /dev/null. Each records where its standard error goes and the files it
// has open, then stays. They do not hold the data folder's lock: once the
// client has quit, --remove-folder removes the folder while they run on.
TEST_F(VeloraDesktopProcessTest, ProgramsItStartsWriteNothingIntoItsLogNorHoldItsLock) {
  TestFolder programs;
  auto program = [&programs](const std::string& name) {
    std::string path = programs.file(name);
    std::string marker = programs.file(name + ".stderr");
    EXPECT_TRUE(TestFolder::write(path, "#!/bin/sh\necho 'noise from " + name + "' >&2\nls -l /proc/$$/fd > '" +
                                            marker + ".open'\necho $$ > '" + marker +
                                            ".pid'\nreadlink /proc/$$/fd/2 > '" + marker + ".part'\nmv '" + marker +
                                            ".part' '" + marker + "'\nexec sleep 120\n"));
    EXPECT_EQ(chmod(path.c_str(), 0755), 0);
    return marker;
  };
  std::string settings = program("gnome-control-center");
  std::string browser = program("browser");
  // The desktop's browser: an application for web addresses, made the default.
  makeDefaultApplication(programs.file("browser"), {"http", "https"});
  gchar* elsewhere = g_uri_escape_string(server_.thirdPartyOrigin().c_str(), nullptr, TRUE);
  usePlayer(std::string("/app/launch.html?elsewhere=") + elsewhere);
  g_free(elsewhere);
  DesktopProcess application(home_.path(), {},
                             {{"PATH", programs.path() + ":" + g_getenv("PATH")}, {"XDG_CURRENT_DESKTOP", "GNOME"}});
  ASSERT_TRUE(waitForReports("loaded"));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::exists(settings); }));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return visibleWindows(application.pid()) == 1; }));
  std::vector<std::string> windows = visibleWindowsOf(application.pid());
  ASSERT_EQ(windows.size(), 1u);
  std::string click = "xdotool mousemove --sync --window " + windows[0] + " 200 200 click 1";
  ASSERT_TRUE(g_spawn_command_line_sync(click.c_str(), nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::exists(browser); }));
  EXPECT_EQ(TestFolder::read(settings), "/dev/null\n");
  EXPECT_EQ(TestFolder::read(browser), "/dev/null\n");
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
  std::string log = home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log";
  EXPECT_EQ(TestFolder::read(log).find("noise from"), std::string::npos);
  for (const std::string& marker : {settings, browser}) {
    EXPECT_EQ(TestFolder::read(marker + ".open").find("/.running"), std::string::npos)
        << TestFolder::read(marker + ".open");
  }
  std::string data = home_.path() + "/XDG_DATA_HOME/velora-desktop";
  EXPECT_EQ(runRemoval(), 0);
  EXPECT_FALSE(TestFolder::exists(data));
  for (const std::string& marker : {settings, browser}) {
    int pid = atoi(TestFolder::read(marker + ".pid").c_str());
    if (pid > 0) kill(pid, SIGTERM);
  }
}

TEST_F(VeloraDesktopProcessTest, CommandLineOptionsDoTheirWorkAndEnd) {
  VLPreferenceStore preferences(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  ASSERT_TRUE(preferences.set("desktop_CacheRepositoryPath", "/old/cache"));
  ASSERT_TRUE(preferences.set("BetaPlayerURL", "http://127.0.0.1:9/"));
  std::string data = home_.path() + "/XDG_DATA_HOME/velora-desktop";
  ASSERT_TRUE(TestFolder::write(home_.folder("XDG_DATA_HOME/velora-desktop") + "/file", "x"));
  DesktopProcess options(home_.path(), {"--reset-preferences", "--remove-folder"});
  ASSERT_TRUE(options.waitForEnd());
  EXPECT_EQ(options.exitStatus(), 0);
  EXPECT_FALSE(TestFolder::exists(data));
  VLPreferenceStore reread(home_.path() + "/XDG_CONFIG_HOME/velora-desktop/preferences");
  std::string value;
  EXPECT_FALSE(reread.get("desktop_CacheRepositoryPath", value));
  EXPECT_TRUE(reread.get("BetaPlayerURL", value));
}

namespace {

mode_t modeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool isEmptyFolder(const std::string& path) {
  GDir* folder = g_dir_open(path.c_str(), 0, nullptr);
  if (folder == nullptr) return false;
  bool empty = g_dir_read_name(folder) == nullptr;
  g_dir_close(folder);
  return empty;
}

}  // namespace

// The folders XDG_DATA_HOME and XDG_STATE_HOME name are made with their
// parents, private to the user; one that cannot be made is done without,
// said on standard error, and nothing lands in the folder the program was
// started from, whose mode stays as it was.
TEST_F(VeloraDesktopProcessTest, XdgFoldersAreMadeWithTheirParentsAndOneThatCannotBeIsDoneWithout) {
  usePlayer("/app/");
  const std::string startedFrom = home_.folder("started-from");
  ASSERT_EQ(chmod(startedFrom.c_str(), 0755), 0);
  const std::string fresh = home_.path() + "/fresh";
  const std::string data = fresh + "/share/data";
  const std::string state = fresh + "/local/state";
  {
    DesktopProcess application(home_.path(), {}, {{"XDG_DATA_HOME", data}, {"XDG_STATE_HOME", state}}, startedFrom);
    ASSERT_TRUE(waitForReports("loaded"));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(application.waitForEnd());
    EXPECT_EQ(application.exitStatus(), 0);
  }
  for (const char* file : {"desktop.log", "desktop_stderr.log", "crash-reports"}) {
    EXPECT_TRUE(TestFolder::exists(state + "/velora-desktop/" + file)) << file;
  }
  for (const char* folder : {"repositories", "storage", "import"}) {
    EXPECT_TRUE(TestFolder::exists(data + "/velora-desktop/" + folder)) << folder;
  }
  for (const std::string& made : {fresh, fresh + "/share", data, fresh + "/local", state}) {
    EXPECT_EQ(modeOf(made), 0700u) << made;
  }
  EXPECT_TRUE(isEmptyFolder(startedFrom));

  // Folders under a plain file cannot be made.
  const std::string file = home_.file("a-file");
  ASSERT_TRUE(TestFolder::write(file, "x"));
  const std::string standardError = home_.path() + "/standard-error";
  {
    DesktopProcess application(home_.path(), {},
                               {{"XDG_DATA_HOME", file + "/data"}, {"XDG_STATE_HOME", file + "/state"}}, startedFrom,
                               standardError);
    ASSERT_TRUE(waitForReports("loaded", 2));
    application.signal(SIGTERM);
    ASSERT_TRUE(application.waitForEnd());
  }
  std::string said = TestFolder::read(standardError);
  EXPECT_NE(said.find("cannot make the folder " + file + "/state/velora-desktop (" + file +
                      ": Not a directory): going on without it"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("cannot make the folder " + file + "/data/velora-desktop (" + file +
                      ": Not a directory): going on without it"),
            std::string::npos)
      << said;
  EXPECT_TRUE(isEmptyFolder(startedFrom));
  EXPECT_EQ(modeOf(startedFrom), 0755u);
}

// --remove-folder from a second launch would delete the indexes and stores a
// running client works in: refused while one runs, with a display or without
// one (a terminal, a script).
TEST_F(VeloraDesktopProcessTest, RemoveFolderIsRefusedWhileTheApplicationRuns) {
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  std::string data = home_.path() + "/XDG_DATA_HOME/velora-desktop";
  ASSERT_TRUE(TestFolder::write(data + "/kept", "x"));
  // From the desktop, and from a terminal without a display.
  for (const std::string& display : {std::string(g_getenv("DISPLAY")), std::string()}) {
    SCOPED_TRACE("DISPLAY=" + display);
    DesktopProcess remover(home_.path(), {"--remove-folder"}, {{"DISPLAY", display}});
    ASSERT_TRUE(remover.waitForEnd());
    EXPECT_EQ(remover.exitStatus(), 1);
    EXPECT_TRUE(TestFolder::exists(data + "/kept"));
  }
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());

  // A client that holds no lock on the folder (an earlier build) is found by
  // its name on the session bus.
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  guint name = g_bus_own_name_on_connection(bus, "org.velora.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                            nullptr, nullptr);
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    GVariant* owner =
        g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameHasOwner", g_variant_new("(s)", "org.velora.Desktop"), G_VARIANT_TYPE("(b)"),
                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    gboolean owned = FALSE;
    if (owner != nullptr) g_variant_get(owner, "(b)", &owned);
    if (owner != nullptr) g_variant_unref(owner);
    return owned == TRUE;
  }));
  {
    DesktopProcess refused(home_.path(), {"--remove-folder"}, {{"DISPLAY", ""}});
    ASSERT_TRUE(refused.waitForEnd());
    EXPECT_EQ(refused.exitStatus(), 1);
    EXPECT_TRUE(TestFolder::exists(data + "/kept"));
  }
  g_bus_unown_name(name);
  g_object_unref(bus);

  // Once it has quit, the folder goes, also without a display.
  EXPECT_EQ(runRemoval(), 0);
  EXPECT_FALSE(TestFolder::exists(data));
}

// From a script or an ssh login (no session bus, no display) the running
// client is told by the lock it holds on its data folder: --remove-folder is
// refused on the command's own standard error, and the client's stores keep
// working. Once no client runs, also one killed with SIGKILL, the folder goes.
TEST_F(VeloraDesktopProcessTest, RemoveFolderWithoutTheBusIsRefusedWhileAClientRunsAndWorksOnceNoneDoes) {
  usePlayer("/app/?agree=none&keep=before-the-removal");
  const std::string data = home_.path() + "/XDG_DATA_HOME/velora-desktop";
  const std::vector<std::pair<std::string, std::string>> noSession = {{"DBUS_SESSION_BUS_ADDRESS", ""},
                                                                      {"DISPLAY", ""},
                                                                      {"WAYLAND_DISPLAY", ""},
                                                                      {"XDG_RUNTIME_DIR", home_.folder("no-bus")}};
  const std::string said = home_.path() + "/remover-said";
  {
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(waitForReports("loaded"));
    DesktopProcess remover(home_.path(), {"--remove-folder"}, noSession, "", said);
    ASSERT_TRUE(remover.waitForEnd());
    EXPECT_EQ(remover.exitStatus(), 1);
    EXPECT_NE(TestFolder::read(said).find("--remove-folder refused: the application is running"), std::string::npos)
        << TestFolder::read(said);
    std::string log = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log");
    EXPECT_EQ(log.find("refused"), std::string::npos) << log;
    EXPECT_TRUE(TestFolder::exists(data + "/storage/localStorage.db"));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(application.waitForEnd());
    EXPECT_EQ(application.exitStatus(), 0);
  }
  // The stores worked to the end: what the page kept is there at the next
  // start, whose lock dies with it.
  {
    std::unique_ptr<DesktopProcess> again = startFindingKept("before-the-removal", 2);
    again->signal(SIGKILL);
    ASSERT_TRUE(again->waitForEnd());
  }
  DesktopProcess remover(home_.path(), {"--remove-folder"}, noSession, "", said);
  ASSERT_TRUE(remover.waitForEnd());
  EXPECT_EQ(remover.exitStatus(), 0) << TestFolder::read(said);
  EXPECT_FALSE(TestFolder::exists(data));
}

// On a home that has turned read-only (remounted so after a file-system
// error) the client holds its data folder's lock all the same, with the file
// an earlier run made: --remove-folder from a script without the session bus
// is refused while it runs. Once it has quit, the removal cannot remove the
// folder and says so with status 1; once the home is writable again, the
// folder goes.
TEST_F(VeloraDesktopProcessTest, OnAReadOnlyHomeTheClientHoldsItsLockAndTheRemovalGoesOnceTheHomeIsWritable) {
  usePlayer("/app/");
  const std::string home = home_.path();
  const std::string root = home_.folder("XDG_DATA_HOME");
  const std::string data = root + "/velora-desktop";
  const std::string noBus = home_.folder("no-bus");
  // Without the test's own main loop (the child of a fork has none that
  // works): the programs are started and waited for here.
  auto environment = [&](bool bus) {
    gchar** env = g_get_environ();
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      env = g_environ_setenv(env, variable, (home + "/" + variable).c_str(), TRUE);
    }
    if (!bus) {
      env = g_environ_unsetenv(env, "DBUS_SESSION_BUS_ADDRESS");
      env = g_environ_unsetenv(env, "DISPLAY");
      env = g_environ_setenv(env, "XDG_RUNTIME_DIR", noBus.c_str(), TRUE);
    }
    return env;
  };
  // The remover's exit status (-1 when it did not exit), and what it said.
  auto remove = [&](std::string& said) {
    std::string program = DesktopProcess::kProgram;
    gchar* argv[] = {program.data(), const_cast<gchar*>("--remove-folder"), nullptr};
    gchar** env = environment(false);
    gchar* errors = nullptr;
    gint status = -1;
    bool ran = g_spawn_sync(nullptr, argv, env, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr, nullptr, &errors, &status,
                            nullptr);
    g_strfreev(env);
    said = errors != nullptr ? errors : "";
    g_free(errors);
    return ran && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  // Whether a process holds the folder's lock.
  auto held = [&] {
    int descriptor = open((data + "/.running").c_str(), O_RDONLY | O_CLOEXEC);
    bool locked = descriptor >= 0 && flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (descriptor >= 0) close(descriptor);
    return locked;
  };
  int result = TestSmallVolume::run(root, "16m", [&] {
    if (g_mkdir_with_parents(data.c_str(), 0700) != 0 || !TestFolder::write(data + "/.running", "") ||
        !TestFolder::write(data + "/kept", "x")) {
      return 10;
    }
    if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 11;
    std::string program = DesktopProcess::kProgram;
    gchar* argv[] = {program.data(), nullptr};
    gchar** env = environment(true);
    GPid client = 0;
    bool started = g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &client, nullptr);
    g_strfreev(env);
    if (!started) return 12;
    int code = 0;
    for (int wait = 0; wait < 1200 && !held(); ++wait) g_usleep(100000);
    std::string said;
    if (!held()) {
      code = 13;
    } else if (remove(said) != 1 || said.find("refused: the application is running") == std::string::npos) {
      std::cerr << said;
      code = 14;
    }
    kill(client, SIGTERM);
    int status = 0;
    waitpid(client, &status, 0);
    if (code != 0) return code;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 15;
    // Quit: the removal runs, but cannot remove a thing.
    if (remove(said) != 1 || said.find("could not be removed whole") == std::string::npos) {
      std::cerr << said;
      return 16;
    }
    if (!TestFolder::exists(data + "/kept")) return 17;
    if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT, nullptr) != 0) return 18;
    if (remove(said) != 0) {
      std::cerr << said;
      return 19;
    }
    return TestFolder::exists(data) ? 20 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no mount namespace on this machine";
  EXPECT_EQ(result, 0);
}

// A second client on the same folders from another session (a session bus
// of its own) does not start its core, and holds the data folder's lock as
// long as it runs: --remove-folder is refused until the last of the two has
// quit, then the folder goes.
TEST_F(VeloraDesktopProcessTest, ASecondClientFromAnotherSessionKeepsARemovalRefusedWhileItRuns) {
  usePlayer("/app/?agree=none");
  const std::string data = home_.path() + "/XDG_DATA_HOME/velora-desktop";
  PrivateSessionBus other(1 << 20);
  ASSERT_FALSE(other.address().empty());
  DesktopProcess first(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  DesktopProcess second(home_.path(), {}, {{"DBUS_SESSION_BUS_ADDRESS", other.address()}});
  ASSERT_TRUE(waitForReports("loaded", 2));
  ASSERT_TRUE(activateQuit());
  ASSERT_TRUE(first.waitForEnd());
  EXPECT_EQ(first.exitStatus(), 0);
  EXPECT_EQ(runRemoval(), 1);
  EXPECT_TRUE(TestFolder::exists(data));
  EXPECT_FALSE(second.ended());
  second.signal(SIGTERM);
  ASSERT_TRUE(second.waitForEnd());
  EXPECT_EQ(second.exitStatus(), 0);
  EXPECT_EQ(runRemoval(), 0);
  EXPECT_FALSE(TestFolder::exists(data));
}

// A client started while --remove-folder removes the data folder (a removal
// slowed here to take seconds) waits for the whole removal, then starts on
// the folder made anew: nothing is removed under it. The removal ends with 0,
// and the client works and quits as usual.
TEST_F(VeloraDesktopProcessTest, AClientStartedDuringARemovalWaitsForItAndStartsOnTheFolderMadeAnew) {
  usePlayer("/app/?agree=none&keep=after-the-removal");
  const std::string data = home_.folder("XDG_DATA_HOME/velora-desktop");
  // The lock's file among others, so that some come after it in whatever
  // order the file system lists them.
  std::vector<std::string> old;
  for (const char* part : {"/before-", "/after-"}) {
    for (int i = 0; i < 30; ++i) {
      old.push_back(data + part + std::to_string(i));
      ASSERT_TRUE(TestFolder::write(old.back(), "x"));
    }
    if (std::string(part) == "/before-") {
      ASSERT_TRUE(TestFolder::write(data + "/.running", ""));
    }
  }
  auto left = [&] {
    return std::count_if(old.begin(), old.end(), [](auto& file) { return TestFolder::exists(file); });
  };
  DesktopProcess remover(
      home_.path(), {"--remove-folder"},
      withSlowDisk({{"VELORA_SLOW_REMOVE_FOLDER", data}, {"VELORA_SLOW_REMOVE_MILLISECONDS", "120"}, {"DISPLAY", ""}}));
  // Half-way, when the lock's file has gone too if the removal took it in
  // the order the file system lists it.
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return left() <= 30; }));
  {
    DesktopProcess application(home_.path(), {});
    ASSERT_TRUE(waitForReports("loaded"));
    EXPECT_TRUE(remover.ended()) << "the client started while " << left() << " files were still to be removed";
    std::string log = TestFolder::read(home_.path() + "/XDG_STATE_HOME/velora-desktop/desktop_stderr.log");
    EXPECT_NE(log.find("--remove-folder removes " + data + ": waiting for it to end"), std::string::npos) << log;
    ASSERT_TRUE(remover.waitForEnd());
    EXPECT_EQ(remover.exitStatus(), 0);
    EXPECT_EQ(left(), 0);
    EXPECT_TRUE(TestFolder::exists(data + "/storage/localStorage.db"));
    ASSERT_TRUE(activateQuit());
    ASSERT_TRUE(application.waitForEnd());
    EXPECT_EQ(application.exitStatus(), 0);
  }
  std::unique_ptr<DesktopProcess> again = startFindingKept("after-the-removal", 2);
  again->signal(SIGTERM);
  ASSERT_TRUE(again->waitForEnd());
}

// What a desktop reads of the media player on the session bus, with gdbus:
// the value of one property of the player interface, as gdbus prints it.
std::string playerProperty(const std::string& name) {
  std::string command =
      "gdbus call --session --dest org.mpris.MediaPlayer2.velora-desktop --object-path /org/mpris/MediaPlayer2 "
      "--method org.freedesktop.DBus.Properties.Get org.mpris.MediaPlayer2.Player " +
      name + " 2>&1";
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
  pclose(out);
  return text;
}

TEST_F(VeloraDesktopProcessTest, TheMediaPlayerOnTheSessionBusSaysWhetherTheTrackPlaysOrIsPaused) {
  std::unique_ptr<TestNginxServer> audio = playTone("playUntilPaused", 700, 30);
  ASSERT_NE(audio, nullptr);

  // The player's announced changes, as a desktop's panel follows them.
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  std::vector<std::string> announced;
  guint subscription = g_dbus_connection_signal_subscribe(
      bus, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", "/org/mpris/MediaPlayer2",
      "org.mpris.MediaPlayer2.Player", G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer list) {
        GVariant* changed = g_variant_get_child_value(parameters, 1);
        const gchar* status = nullptr;
        if (g_variant_lookup(changed, "PlaybackStatus", "&s", &status)) {
          static_cast<std::vector<std::string>*>(list)->push_back(status);
        }
        g_variant_unref(changed);
      },
      &announced, nullptr);

  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("playing"));
  std::string status;
  EXPECT_TRUE(ShellTestServer::runUntil([&] {
    return (status = playerProperty("PlaybackStatus")).find("'Playing'") != std::string::npos;
  })) << status;

  // The desktop's play/pause key, sent to the player that plays.
  ASSERT_EQ(system("gdbus call --session --dest org.mpris.MediaPlayer2.velora-desktop --object-path "
                   "/org/mpris/MediaPlayer2 --method org.mpris.MediaPlayer2.Player.PlayPause > /dev/null"),
            0);
  ASSERT_TRUE(waitForReports("paused"));
  EXPECT_TRUE(ShellTestServer::runUntil([&] {
    return (status = playerProperty("PlaybackStatus")).find("'Paused'") != std::string::npos;
  })) << status;
  EXPECT_TRUE(ShellTestServer::runUntil([&] { return !announced.empty() && announced.back() == "Paused"; }));
  auto playing = std::find(announced.begin(), announced.end(), "Playing");
  EXPECT_TRUE(playing != announced.end() && std::find(playing, announced.end(), "Paused") != announced.end())
      << announced.size() << " changes announced";

  g_dbus_connection_signal_unsubscribe(bus, subscription);
  g_object_unref(bus);
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

// A call of the media player's interface, as a desktop makes it.
bool callPlayer(GDBusConnection* bus, const char* method) {
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.mpris.MediaPlayer2.velora-desktop", "/org/mpris/MediaPlayer2",
                                                "org.mpris.MediaPlayer2.Player", method, nullptr, nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}

// Desktops send Pause on lock and suspend, and Play at will: each acts only
// when it changes something. A program that calls without end reaches the
// page a few times a second.
TEST_F(VeloraDesktopProcessTest, TheMediaPlayerPlaysAndPausesOnlyWhenAskedToChangeAndCoalescesAFloodOfCalls) {
  std::unique_ptr<TestNginxServer> audio = playTone("mediaKeys", 701, 60);
  ASSERT_NE(audio, nullptr);
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("playing"));
  auto statusReads = [](const char* status) {
    return ShellTestServer::runUntil(
        [status] { return playerProperty("PlaybackStatus").find(status) != std::string::npos; });
  };
  ASSERT_TRUE(statusReads("'Playing'"));
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);

  EXPECT_TRUE(callPlayer(bus, "Play"));  // plays already: nothing to do
  EXPECT_TRUE(callPlayer(bus, "Pause"));
  ASSERT_TRUE(waitForReports("paused"));
  ASSERT_TRUE(statusReads("'Paused'"));
  EXPECT_TRUE(callPlayer(bus, "Pause"));  // paused already
  EXPECT_TRUE(callPlayer(bus, "Play"));
  ASSERT_TRUE(waitForReports("resumed"));
  ASSERT_TRUE(statusReads("'Playing'"));
  EXPECT_TRUE(callPlayer(bus, "Previous"));
  ASSERT_TRUE(waitForReports("shortcuts"));
  EXPECT_EQ(server_.reports("shortcuts")[0], "[\"playpause\",\"playpause\",\"previoustrack\"]");

  // A flood of Next, every call answered; then Previous, which comes after.
  constexpr int kCalls = 20000;
  int answered = 0;
  for (int i = 0; i < kCalls; ++i) {
    g_dbus_connection_call(
        bus, "org.mpris.MediaPlayer2.velora-desktop", "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player",
        "Next", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* connection, GAsyncResult* result, gpointer count) {
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, nullptr);
          if (reply != nullptr) {
            ++*static_cast<int*>(count);
            g_variant_unref(reply);
          }
        },
        &answered);
  }
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return answered == kCalls; })) << answered;
  EXPECT_TRUE(callPlayer(bus, "Previous"));
  ASSERT_TRUE(waitForReports("shortcuts", 2));
  std::string shortcuts = server_.reports("shortcuts")[1];
  size_t nexts = 0;
  for (size_t at = shortcuts.find("nexttrack"); at != std::string::npos; at = shortcuts.find("nexttrack", at + 1)) {
    ++nexts;
  }
  EXPECT_GE(nexts, 1u);
  EXPECT_LT(nexts, 1000u);
  EXPECT_EQ(shortcuts.rfind("\"previoustrack\"]"), shortcuts.size() - 16) << shortcuts.substr(shortcuts.size() - 40);

  g_object_unref(bus);
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

// A Play that comes right after the page paused by itself (before the status
// the desktop reads has followed) resumes: Play and Pause act on what plays
// when they are acted on.
TEST_F(VeloraDesktopProcessTest, TheMediaPlayersPlayRightAfterThePagePausedResumes) {
  std::unique_ptr<TestNginxServer> audio = playTone("mediaKeys&pauseAfter=500", 702, 60);
  ASSERT_NE(audio, nullptr);
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("paused"));
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  EXPECT_TRUE(callPlayer(bus, "Play"));
  EXPECT_TRUE(callPlayer(bus, "Previous"));
  ASSERT_TRUE(waitForReports("shortcuts"));
  ASSERT_EQ(server_.reports("shortcuts")[0], "[\"playpause\",\"previoustrack\"]");
  EXPECT_TRUE(waitForReports("resumed"));
  g_object_unref(bus);
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

// A file system mounted inside the data folder (a removable disk, a bind
// mount) is left alone, as is everything behind a link.
TEST_F(VeloraDesktopProcessTest, RemoveFolderStaysOnTheDataFoldersOwnFileSystem) {
  std::string data = home_.folder("XDG_DATA_HOME/velora-desktop");
  home_.folder("XDG_DATA_HOME/velora-desktop/music");
  std::string mounted = home_.folder("XDG_DATA_HOME/velora-desktop/music/mounted");
  ASSERT_TRUE(TestFolder::write(data + "/music/song.mp3", "x"));
  std::string home = home_.path();
  int result = TestSmallVolume::run(mounted, "64k", [&] {
    if (!TestFolder::write(mounted + "/kept.mp3", "keep me")) return 10;
    std::string program = DesktopProcess::kProgram;
    gchar* argv[] = {program.data(), const_cast<gchar*>("--remove-folder"), nullptr};
    gchar** env = g_get_environ();
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      env = g_environ_setenv(env, variable, (home + "/" + variable).c_str(), TRUE);
    }
    gint status = -1;
    bool ran = g_spawn_sync(nullptr, argv, env, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr, nullptr, &status, nullptr);
    g_strfreev(env);
    if (!ran || !g_spawn_check_wait_status(status, nullptr)) return 11;
    if (TestFolder::exists(data + "/music/song.mp3")) return 12;
    return TestFolder::read(mounted + "/kept.mp3") == "keep me" ? 0 : 13;
  });
  if (result == -1) GTEST_SKIP() << "no mount namespace on this machine";
  EXPECT_EQ(result, 0);
}

TEST_F(VeloraDesktopProcessTest, AScreenshotOfTheRunningClientIsNotBlank) {
  usePlayer("/app/");
  DesktopProcess application(home_.path(), {});
  ASSERT_TRUE(waitForReports("loaded"));
  std::string shot = home_.file("screen.png");
  // How many shades a screenshot of the display has: a blank screen has one,
  // a window with text many.
  auto shades = [&shot] {
    std::string command = "import -window root '" + shot + "'";
    if (system(command.c_str()) != 0) return 0;
    GdkPixbuf* image = gdk_pixbuf_new_from_file(shot.c_str(), nullptr);
    if (image == nullptr) return 0;
    int width = gdk_pixbuf_get_width(image);
    int height = gdk_pixbuf_get_height(image);
    int channels = gdk_pixbuf_get_n_channels(image);
    int stride = gdk_pixbuf_get_rowstride(image);
    const guchar* pixels = gdk_pixbuf_get_pixels(image);
    std::vector<int> seen(256, 0);
    for (int y = 0; y < height; y += 2) {
      for (int x = 0; x < width; x += 2) {
        const guchar* p = pixels + y * stride + x * channels;
        seen[(p[0] + p[1] + p[2]) / 3]++;
      }
    }
    g_object_unref(image);
    int count = 0;
    for (int n : seen) count += n > 0 ? 1 : 0;
    return count;
  };
  // The page has loaded; the compositor draws it when it gets its turn.
  int last = 0;
  EXPECT_TRUE(ShellTestServer::runUntil([&] { return (last = shades()) > 8; })) << last << " shades";
  application.signal(SIGTERM);
  ASSERT_TRUE(application.waitForEnd());
}

}  // namespace
