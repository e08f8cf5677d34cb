// The application's page objects end to end: the real start-up, core, channel,
// bridge objects and page scripts, with a test player page served from
// 127.0.0.1 in place of the player.
#include "VeloraDesktopAppDelegate.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstring>
#include <map>
#include <fstream>
#include <list>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "AudioFixtures.h"
#include "Binding.h"
#include "DialogDriver.h"
#include "HIDRemote.h"
#include "HIDRemoteFakes_test.h"
#include "MainViewNavigationPolicy.h"
#include "MachineIdentity.h"
#include "MediaKeys.h"
#include "ProxySettings.h"
#include "FakeNotificationServer.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "TestNginxServer.h"
#include "VLDesktopFile.h"
#include "VLFileId.h"
#include "VLLinuxProxyConfig.h"
#include "VLLogger.h"
#include "VeloraController.h"
#include "WebViewProbe.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t countIn(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class VeloraDesktopAppDelegateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The desktop's settings (the proxy's) in memory, whatever this machine has.
    g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
    // Every folder of the core and of WebKit in a scratch folder of its own.
    home_ = g_dir_make_tmp("app-test-XXXXXX", nullptr);
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      std::string folder = std::string(home_) + "/" + variable;
      g_mkdir_with_parents(folder.c_str(), 0700);
      g_setenv(variable, folder.c_str(), TRUE);
    }
    g_setenv("HOME", home_, TRUE);
    // The user's music folder, as the desktop names it; and a way out of the home folder.
    std::ofstream(std::string(home_) + "/XDG_CONFIG_HOME/user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n";
    if (symlink("/tmp", (std::string(home_) + "/elsewhere").c_str()) != 0) ADD_FAILURE() << "symlink";
    gtk_init(nullptr, nullptr);
    notifications_ = new FakeNotificationServer();
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
    VeloraController::instance().setTerminateHandler([] { ++terminations_; });
    startApplication("presence");
  }

  static void TearDownTestSuite() {
    delete application_;
    delete server_;
    delete notifications_;
    // WebKit's web and network processes end on their own once the
    // application is gone, and write into the home folder until they do.
    ShellTestServer::runUntil([] { return !ShellTestServer::hasRunningChildren(); });
    gchar* command = g_strdup_printf("rm -rf '%s'", home_);
    if (system(command) != 0) ADD_FAILURE() << command;
    g_free(command);
    g_free(home_);
  }

  static void startApplication(const std::string& scenario) {
    std::string data = std::string(home_) + "/webkit";
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                        "base-cache-directory", data.c_str(), nullptr);
    application_ = new VeloraDesktopAppDelegate(server_->playerOrigin() + "/bridge.html?scenario=" + scenario);
    ASSERT_TRUE(application_->start(manager, VELORA_BINARY_DIR "/webext"));
    g_object_unref(manager);
  }

  // The application's own load, also of the address the view shows.
  static void load(const std::string& scenario) {
    std::string address = server_->playerOrigin() + "/bridge.html?scenario=" + scenario;
    application_->navigationPolicy()->expectLoad(address);
    webkit_web_view_load_uri(application_->window()->mainView(), address.c_str());
  }

  static bool waitForReport(const std::string& name) {
    return ShellTestServer::runUntil([&name] { return server_->hasReport(name); });
  }

  static void expectIn(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\nin " << text;
  }

  static gchar* home_;
  static ShellTestServer* server_;
  static FakeNotificationServer* notifications_;
  static VeloraDesktopAppDelegate* application_;
  static int terminations_;
};

gchar* VeloraDesktopAppDelegateTest::home_ = nullptr;
ShellTestServer* VeloraDesktopAppDelegateTest::server_ = nullptr;
FakeNotificationServer* VeloraDesktopAppDelegateTest::notifications_ = nullptr;
VeloraDesktopAppDelegate* VeloraDesktopAppDelegateTest::application_ = nullptr;
int VeloraDesktopAppDelegateTest::terminations_ = 0;

TEST_F(VeloraDesktopAppDelegateTest, ThePlayerPageGetsEveryObjectAndScript) {
  ASSERT_TRUE(waitForReport("presence"));
  EXPECT_TRUE(application_->hasPlayerBeenLoaded());
  EXPECT_FALSE(application_->window()->isPreloadingViewVisible());
  EXPECT_NE(VeloraController::instance().ici(), nullptr);
  const std::string presence = server_->report("presence");
  expectIn(presence,
           "\"VeloraICI\":[\"addFiles\",\"clearCache\",\"getDeviceInfo\",\"getFileCount\",\"getFiles\",\"getSetting\","
           "\"hideDownloads\",\"init\",\"openFolderBrowseDialog\",\"openProxySettingsDialog\",\"pauseDownloads\","
           "\"removeFiles\",\"resetSettings\",\"resumeDownloads\",\"sendLog\",\"setDownloadPositions\",\"setFileUrl\","
           "\"setOffline\",\"setOnline\",\"setSetting\",\"setUserId\",\"sleep\",\"terminate\"]");
  expectIn(presence, "\"VeloraStorage\":[\"clear\",\"getItem\",\"key\",\"length\",\"removeItem\",\"setItem\"]");
  expectIn(presence,
           "\"VeloraWebkitNotifications\":[\"checkPermission\",\"createHTMLNotification\",\"createNotification\","
           "\"requestPermission\",\"show\"]");
  expectIn(
      presence,
      "\"AudioBinding\":[\"createSound\",\"deleteSound\",\"getLength\",\"getMuted\",\"getPaused\",\"getPendingData\","
      "\"getPlaying\",\"getPosition\",\"getRanges\",\"getStarving\",\"getState\",\"getVolume\",\"isNative\",\"pause\","
      "\"play\",\"resetSound\",\"setMuted\",\"setPosition\",\"setVolume\"]");
  expectIn(presence, "\"MACOS\":true");
  expectIn(presence,
           "\"webkitNotifications\":true,\"applicationCache\":1,\"audioIsNative\":true,\"localStorageReplaced\":true");
  expectIn(presence, "\"userAgent\":\"VeloraDesktop/" + VeloraController::getVeloraDesktopVersion() + "\"");
}

TEST_F(VeloraDesktopAppDelegateTest, ValueReturningCallsAnswerWithValueAndType) {
  load("values");
  ASSERT_TRUE(waitForReport("values"));
  const std::string values = server_->report("values");
  expectIn(values, "\"unknownSetting\":[\"string\",\"\"]");
  expectIn(values, "\"unknownInfo\":[\"null\",null]");
  expectIn(values, "\"nullInfo\":[\"null\",null]");
  expectIn(values, "\"version\":[\"string\",\"" + VeloraController::getVeloraDesktopVersion() + "\"]");
  expectIn(values, "\"space\":\"number\"");
  expectIn(values, "\"devices\":[true,true]");
  expectIn(values, "\"number\":[\"string\",\"42\"]");
  // A value the store refuses fails the page's write; nothing is stored.
  expectIn(values, "\"refusedWrite\":[\"QuotaExceededError\",null]");
  expectIn(values, "\"missing\":[\"null\",null]");
  expectIn(values, "\"empty\":[\"string\",\"\"]");
  expectIn(values, "\"length\":[\"number\",2]");
  expectIn(values, "\"keyPastEnd\":[\"null\",null]");
  expectIn(values, "\"nameAsNumber\":[\"number\",0]");
  expectIn(values, "\"otherStore\":[\"number\",0]");
  expectIn(values, "\"keyOfNullStore\":[\"string\",");
  expectIn(values, "\"property\":[\"string\",\"42\"]");
  expectIn(values, "\"state\":[\"number\",1]");
  expectIn(values, "\"position\":[\"number\",0]");
  expectIn(values, "\"playing\":[\"boolean\",false]");
  expectIn(values, "\"volume\":[\"number\",0]");
  expectIn(values, "\"ranges\":[\"array\",[]]");
  expectIn(values, "\"pending\":[\"string\",\"\"]");
  expectIn(values, "\"created\":[\"number\",");
  expectIn(values, "\"cleared\":[\"number\",0],\"removed\":[\"boolean\",true]");
  // The machine's identity leaves only as the keyed hash.
  ASSERT_FALSE(MachineIdentity::systemUid().empty());
  expectIn(values, "\"systemUid\":\"" + MachineIdentity::systemUid() + "\"");
  const std::string raw = readFile("/etc/machine-id").substr(0, 32);
  EXPECT_EQ(values.find(raw), std::string::npos);
  expectIn(values, "\"slept\":[null,null,null,[\"string\",\"\"]]");
}

TEST_F(VeloraDesktopAppDelegateTest, IdentitiesAndSettingsFromThePageStayShortAndInTheUsersFolders) {
  gchar* home = g_uri_escape_string(home_, nullptr, TRUE);
  load(std::string("guards&home=") + home);
  g_free(home);
  ASSERT_TRUE(waitForReport("guards"));
  const std::string guards = server_->report("guards");
  // The music folder follows $HOME and the desktop's user folders.
  expectIn(guards, "\"music\":\"" + std::string(home_) + "/Tunes/Velora\"");
  expectIn(guards, "\"kept\":\"" + std::string(home_) + "/Velora downloads\"");
  const std::string log = readFile(VLLogger::instance()->getLogFilePath("desktop"));
  expectIn(log, "VeloraICI::setUserId refused an identity of 1048576 bytes");
  EXPECT_EQ(countIn(log, "VeloraICI::setSetting refused"), 6u);
  GStatBuf preferences;
  ASSERT_EQ(g_stat((std::string(home_) + "/XDG_CONFIG_HOME/velora-desktop/preferences").c_str(), &preferences), 0);
  EXPECT_LT(preferences.st_size, 65536);
}

// The visible folder chooser, or null.
GtkFileChooser* shownFolderChooser() {
  GtkFileChooser* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item != nullptr; item = item->next) {
    if (GTK_IS_FILE_CHOOSER_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
      found = GTK_FILE_CHOOSER(item->data);
    }
  }
  g_list_free(windows);
  return found;
}

TEST_F(VeloraDesktopAppDelegateTest, AFolderPickedInTheChooserIsTakenWhereverItLies) {
  TestFolder outside;  // under /tmp: neither in the home folder nor a media folder
  gchar* escaped = g_uri_escape_string(outside.path().c_str(), nullptr, TRUE);
  load(std::string("chosenFolder&outside=") + escaped);
  g_free(escaped);
  GtkFileChooser* chooser = nullptr;
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return (chooser = shownFolderChooser()) != nullptr; }));
  gtk_file_chooser_set_current_folder(chooser, outside.path().c_str());
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    gchar* folder = gtk_file_chooser_get_filename(chooser);
    bool there = folder != nullptr && outside.path() == folder;
    g_free(folder);
    return there;
  }));
  gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  ASSERT_TRUE(waitForReport("chosen-folder"));
  const std::string report = server_->report("chosen-folder");
  // Named by the page alone it stays refused; picked by the user it is taken.
  expectIn(report, "\"typedRefused\":true");
  expectIn(report, "\"chosen\":\"" + outside.path() + "\"");
  expectIn(report, "\"kept\":\"" + outside.path() + "/Velora\"");
}

TEST_F(VeloraDesktopAppDelegateTest, FileQueriesAnswerOnceAndRefusedOnesAreDropped) {
  int terminationsBefore = terminations_;
  const char* kNotAFunction = "VeloraController::executeCallback Given callback is not a function";
  const size_t notFunctionsBefore = countIn(readFile(VLLogger::instance()->getLogFilePath("desktop")), kNotAFunction);
  load("callbacks");
  ASSERT_TRUE(waitForReport("callbacks"));
  // The value given for a callback that is no function is left alone, and its answer is dropped with a line.
  EXPECT_EQ(server_->report("callbacks"),
            "{\"count\":[0],\"files\":[true],\"refused\":0,\"notFunction\":\"untouched\"}");
  EXPECT_EQ(countIn(readFile(VLLogger::instance()->getLogFilePath("desktop")), kNotAFunction), notFunctionsBefore + 1);
  EXPECT_EQ(terminations_, terminationsBefore + 1);
  EXPECT_TRUE(VeloraController::instance().applicationTerminated());
  VeloraController::instance().setApplicationTerminated(false);
}

TEST_F(VeloraDesktopAppDelegateTest, CoreCallsReachThePageInOrder) {
  load("events");
  ASSERT_TRUE(waitForReport("events-ready"));
  // As the core's worker does: from another thread, without waiting.
  std::thread worker([] {
    Binding* binding = Binding::instance();
    binding->executeMethodWithStr("triggerKeyboardShortcut", "first");
    auto* files = new std::list<VLDesktopFile*>();
    for (int i = 0; i < 2; ++i) files->push_back(new VLDesktopFile(nullptr, VLFileId(std::to_string(100 + i), 0u)));
    binding->executeMethodWithFiles("onFilesAdded", files);
    binding->executeMethodWithStrStrNumber("showError", "CACHE_VOLUME_FULL", "modal", 0);
    binding->executeMethodWithFile("getFileUrl", new VLDesktopFile(nullptr, VLFileId("7", 0u)));
    binding->executeMethodWithStr("triggerKeyboardShortcut", "done");
  });
  worker.join();
  ASSERT_TRUE(waitForReport("events"));
  const std::string events = server_->report("events");
  expectIn(events, "[[\"triggerKeyboardShortcut\",\"first\"],[\"onFilesAdded\",[{\"entity_id\":100,");
  expectIn(events,
           "\"bytes_loaded\":0,\"bytes_total\":-1,\"file_state\":0,\"download_state\":0,\"position\":-1,"
           "\"last_listening\":0,\"listening_count\":0,\"last_add\":0,\"url_data\":\"\",\"retry_in\":0,"
           "\"failure\":\"\"}");
  expectIn(events, "{\"entity_id\":101,");
  expectIn(events,
           "[\"showError\",\"CACHE_VOLUME_FULL\",\"modal\",0],[\"getFileUrl\",true,[\"entity_id\",\"format_id\","
           "\"repository\",\"metadata\",\"bytes_loaded\",\"bytes_total\",\"file_state\",\"download_state\","
           "\"position\",\"last_listening\",\"listening_count\",\"last_add\",\"url_data\",\"retry_in\","
           "\"failure\"]");
}

TEST_F(VeloraDesktopAppDelegateTest, RemoteButtonsAndMediaKeysBecomeThePagesShortcuts) {
  const size_t reportsBefore = server_->reports("events").size();
  const size_t readyBefore = server_->reports("events-ready").size();
  load("events");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("events-ready").size() > readyBefore; }));
  VeloraController& controller = VeloraController::instance();

  // A remote receiver the test drives, in place of the kernel's.
  FakeDeviceLayer devices;
  FakeNotificationCenter coordination;
  HIDRemote remote(&devices, &coordination, 4242, "velora-test");
  HIDRemoteService receiver;
  receiver.number = 1;
  receiver.driver = "appleir";
  // The key table of the kernel's Apple IR driver: the ring's left and right are AC Back and AC Forward.
  devices.add(receiver, {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_BACK, KEY_FORWARD, KEY_ENTER, KEY_MENU, KEY_PLAYPAUSE});
  HIDRemote* shared = controller.remote();
  controller.setRemote(&remote);
  controller.initRemoteControl();
  EXPECT_EQ(remote.startedInMode(), kHIDRemoteModeExclusiveAuto);
  EXPECT_EQ(remote.unusedButtonCodes().size(), 11u);
  EXPECT_TRUE(devices.devices[1].seized);
  for (uint32_t key : {KEY_PLAYPAUSE, KEY_FORWARD, KEY_BACK, KEY_MENU}) {
    devices.send(1, {{key, 1}});
    devices.send(1, {{key, 0}});
  }

  // The keyboard's play key, taken by the media-key tap.
  struct CountingMediaKeys : MediaKeys {
    void mediaKeyTapReceivedMediaKeyEvent(SPMediaKeyTap* tap, const SPMediaKeyEvent& event) override {
      MediaKeys::mediaKeyTapReceivedMediaKeyEvent(tap, event);
      ++received;
    }
    int received = 0;
  };
  {
    CountingMediaKeys mediaKeys;
    ASSERT_EQ(system("xdotool key XF86AudioPlay"), 0);
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return mediaKeys.received >= 2; }));  // down and up
  }

  Binding::instance()->executeMethodWithStr("triggerKeyboardShortcut", "done");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("events").size() > reportsBefore; }));
  EXPECT_EQ(server_->reports("events").back(),
            "[[\"triggerKeyboardShortcut\",\"playpause\"],[\"triggerKeyboardShortcut\",\"nexttrack\"],"
            "[\"triggerKeyboardShortcut\",\"previoustrack\"],[\"triggerKeyboardShortcut\",\"playpause\"]]");
  controller.stopRemoteControl();
  controller.setRemote(shared);
}

TEST_F(VeloraDesktopAppDelegateTest, AReceiverTheUserMayNotReadIsOfferedAccessOnceAndLeftStopped) {
  VeloraController& controller = VeloraController::instance();
  // A receiver whose input device refuses the user, as /dev/input does.
  FakeDeviceLayer devices;
  FakeNotificationCenter coordination;
  HIDRemote remote(&devices, &coordination, 4243, "velora-test");
  HIDRemoteService receiver;
  receiver.number = 1;
  receiver.driver = "appleir";
  devices.add(receiver, {KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_BACK, KEY_FORWARD, KEY_ENTER, KEY_MENU, KEY_PLAYPAUSE});
  devices.devices[1].openStatus = EACCES;
  HIDRemote* shared = controller.remote();
  controller.setRemote(&remote);
  std::vector<std::string> opened;
  controller.setHelpOpener([&opened](const std::string& address) { opened.push_back(address); });

  std::vector<std::string> seen;
  {
    DialogDriver user({[&seen](GtkMessageDialog* alert) {
      seen = {DialogDriver::property(alert, "text"), DialogDriver::property(alert, "secondary-text"),
              DialogDriver::buttonLabel(alert, GTK_RESPONSE_ACCEPT),
              DialogDriver::buttonLabel(alert, GTK_RESPONSE_HELP),
              DialogDriver::buttonLabel(alert, GTK_RESPONSE_CANCEL)};
      EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(alert)));
      gtk_dialog_response(GTK_DIALOG(alert), GTK_RESPONSE_ACCEPT);  // set it up
    }});
    controller.initRemoteControl();
    EXPECT_TRUE(user.done());
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "The remote control cannot be used yet",
                "Velora Desktop found a remote control receiver, but your user account is not allowed to read it. "
                "Access to the receiver has to be given once, by someone who administers this computer.",
                "Set Up Access", "More Information", "Cancel"}));
  EXPECT_FALSE(remote.isStarted());
  EXPECT_EQ(remote.unusedButtonCodes().size(), 11u);
  // The set-up button shows the rule to add.
  ASSERT_EQ(opened.size(), 1u);
  ASSERT_EQ(opened[0].compare(0, 7, "file://"), 0) << opened[0];
  ASSERT_EQ(opened[0].substr(opened[0].size() - 7), "#set-up");
  gchar* page = g_filename_from_uri(opened[0].substr(0, opened[0].size() - 7).c_str(), nullptr, nullptr);
  ASSERT_NE(page, nullptr);
  expectIn(readFile(page), "KERNEL==\"event*\", DRIVERS==\"appleir\", TAG+=\"uaccess\"");
  g_free(page);

  // Once per run: a second refusal is not put to the user again.
  {
    DialogDriver user({[](GtkMessageDialog* alert) { gtk_dialog_response(GTK_DIALOG(alert), GTK_RESPONSE_CANCEL); }});
    EXPECT_FALSE(controller.startRemoteControl());
    EXPECT_EQ(user.handled(), 0u);
  }
  EXPECT_FALSE(remote.isStarted());
  // A receiver that opens needs no alert.
  devices.devices[1].openStatus = 0;
  EXPECT_TRUE(controller.startRemoteControl());
  EXPECT_TRUE(devices.devices[1].seized);
  controller.stopRemoteControl();
  controller.setHelpOpener(nullptr);
  controller.setRemote(shared);
}

TEST_F(VeloraDesktopAppDelegateTest, ProxySettingsOpenTheDesktopsOwnElseOurDialogOfWhatTheCoreReads) {
  const size_t readyBefore = server_->reports("events-ready").size();
  load("events");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->reports("events-ready").size() > readyBefore; }));
  WebKitWebView* page = application_->window()->mainView();
  // A page that asks fifty times in a row, then makes an answered call,
  // which comes back once the fifty have been handled.
  const char* kFiftyOpens =
      "(() => { for (let i = 0; i < 50; i++) VeloraICI.openProxySettingsDialog(); VeloraICI.getSetting('x'); "
      "return true; })()";
  // Settings programs of the desktops that record how they were started,
  // and run until the test lets them end.
  TestFolder programs;
  const std::string started = programs.file("started");
  const std::string release = programs.file("release");
  for (const char* name : {"gnome-control-center", "kcmshell6"}) {
    std::string path = programs.file(name);
    ASSERT_TRUE(TestFolder::write(path, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + started +
                                            "'\nwhile [ ! -e '" + release + "' ]; do sleep 0.05; done\n"));
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  const std::string path = g_getenv("PATH");
  g_setenv("PATH", (programs.path() + ":" + path).c_str(), TRUE);
  struct Case {
    const char* desktop;
    const char* started;
  } cases[] = {{"ubuntu:GNOME", "gnome-control-center network\n"}, {"KDE", "kcmshell6 kcm_proxy\n"}};
  for (const Case& c : cases) {
    unlink(started.c_str());
    unlink(release.c_str());
    g_setenv("XDG_CURRENT_DESKTOP", c.desktop, TRUE);
    // One program at a time, however often the page asks.
    WebViewProbe::evaluate(page, kFiftyOpens);
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return TestFolder::read(started) == c.started; }, 30)) << c.desktop;
    EXPECT_TRUE(ProxySettings::isOpen());
    ASSERT_TRUE(TestFolder::write(release, ""));
    ASSERT_TRUE(ShellTestServer::runUntil([] { return !ProxySettings::isOpen(); }, 30));
    EXPECT_EQ(TestFolder::read(started), c.started);
  }

  // A desktop without proxy settings of its own: ours, on GNOME's settings.
  g_setenv("XDG_CURRENT_DESKTOP", "XFCE", TRUE);
  WebViewProbe::evaluate(page, kFiftyOpens);
  GtkDialog* dialog = nullptr;
  size_t dialogs = 0;
  ASSERT_TRUE(ShellTestServer::runUntil(
      [&] {
        dialogs = 0;
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item != nullptr; item = item->next) {
          if (GTK_IS_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data)) &&
              g_strcmp0(gtk_window_get_title(GTK_WINDOW(item->data)), "Proxy Settings") == 0) {
            dialog = GTK_DIALOG(item->data);
            ++dialogs;
          }
        }
        g_list_free(windows);
        return dialog != nullptr;
      },
      30));
  EXPECT_EQ(dialogs, 1u);
  g_setenv("PATH", path.c_str(), TRUE);
  g_unsetenv("XDG_CURRENT_DESKTOP");
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
  struct Fields {
    GtkComboBox* mode = nullptr;
    GtkEntry* host = nullptr;
    GtkSpinButton* port = nullptr;
    static void find(GtkWidget* widget, gpointer self) {
      auto* fields = static_cast<Fields*>(self);
      if (GTK_IS_COMBO_BOX(widget)) {
        fields->mode = GTK_COMBO_BOX(widget);
      } else if (GTK_IS_SPIN_BUTTON(widget)) {
        fields->port = GTK_SPIN_BUTTON(widget);
      } else if (GTK_IS_ENTRY(widget)) {
        fields->host = GTK_ENTRY(widget);
      } else if (GTK_IS_CONTAINER(widget)) {
        gtk_container_foreach(GTK_CONTAINER(widget), find, self);
      }
    }
  } fields;
  Fields::find(gtk_dialog_get_content_area(dialog), &fields);
  GtkComboBox* mode = fields.mode;
  GtkEntry* host = fields.host;
  GtkSpinButton* port = fields.port;
  ASSERT_TRUE(mode != nullptr && host != nullptr && port != nullptr);
  EXPECT_STREQ(gtk_combo_box_get_active_id(mode), "none");
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(host)));
  gtk_combo_box_set_active_id(mode, "manual");
  EXPECT_TRUE(gtk_widget_get_sensitive(GTK_WIDGET(host)));
  gtk_entry_set_text(host, "proxy.velora.example");
  gtk_spin_button_set_value(port, 3128);
  gtk_dialog_response(dialog, GTK_RESPONSE_OK);
  // What the core reads at its next start.
  VLProxySettings read = VLProxySettingsFromGnome();
  EXPECT_TRUE(read.httpEnabled);
  EXPECT_EQ(read.host, "proxy.velora.example");
  EXPECT_EQ(read.port, 3128);
  GSettings* proxy = g_settings_new("org.gnome.system.proxy");
  g_settings_set_string(proxy, "mode", "none");
  g_object_unref(proxy);
}

// The player's console lines, not those of a frame of another origin that
// carry its address.
TEST_F(VeloraDesktopAppDelegateTest, ConsoleLevelsReachTheCoreLogOneLineEach) {
  load("console&third=" + server_->thirdPartyOrigin());
  ASSERT_TRUE(waitForReport("console"));
  std::string log = VLLogger::instance()->getLogFilePath("desktop");
  ASSERT_TRUE(ShellTestServer::runUntil([&log] {
    std::string text = readFile(log);
    return text.find("bridge console error line") != std::string::npos &&
           text.find("bridge console after the frame") != std::string::npos;
  })) << readFile(log);
  std::string text = readFile(log);
  expectIn(text, "bridge console log line (" + server_->playerOrigin() + "/bridge.js:");
  expectIn(text, "bridge console warning line");
  EXPECT_EQ(text.find("bridge console debug line"), std::string::npos);
  // Line breaks in page texts are written escaped: no line of the log is the page's.
  expectIn(text, "forged by the player\\n2030-01-01 00:00:00,000 [ERROR] desktop - FORGED\\r\\u2028end (");
  // A frame's line with its script's address is not written. One without
  // (here the frame's first inline script's, as WebKit gives it) cannot be
  // told from the player's code made of text: it may be, escaped like any.
  EXPECT_EQ(text.find("a frame line with its address"), std::string::npos);
  EXPECT_EQ(text.find("\n2030-01-01"), std::string::npos);
}

// Long console lines are cut where they enter the log: the lines before them
// stay, and neither file passes its cap by more than one cut line.
TEST_F(VeloraDesktopAppDelegateTest, LongConsoleLinesNeitherWipeTheLogNorPassItsCap) {
  load("consoleFlood");
  ASSERT_TRUE(waitForReport("console-flood"));
  std::string log = VLLogger::instance()->getLogFilePath("desktop");
  ASSERT_TRUE(ShellTestServer::runUntil([&log] { return readFile(log).find("after the flood") != std::string::npos; }));
  std::string text = readFile(log + ".1") + readFile(log);
  expectIn(text, "before the flood");
  expectIn(text, "xxxx [200");
  expectIn(text, "yyyy [200");
  for (const std::string& file : {log, log + ".1"}) EXPECT_LE(readFile(file).size(), 1000000u + 17000u) << file;
}

TEST_F(VeloraDesktopAppDelegateTest, NotificationsReachTheDesktop) {
  ASSERT_TRUE(notifications_->owned());
  load("notify");
  ASSERT_TRUE(waitForReport("notify"));
  EXPECT_EQ(server_->report("notify"), "{\"permission\":0}");
  ASSERT_TRUE(ShellTestServer::runUntil([] { return notifications_->notifications().size() >= 3; }));
  std::vector<FakeNotificationServer::Notification> shown = notifications_->notifications();
  // The icon is fetched before the first is shown, so the others may come first.
  std::map<std::string, FakeNotificationServer::Notification> byBody;
  for (const auto& n : shown) byBody[n.body] = n;
  ASSERT_EQ(byBody.count("first message"), 1u);
  EXPECT_EQ(byBody["first message"].summary, "First title");
  EXPECT_TRUE(byBody["first message"].hasImage);
  EXPECT_FALSE(byBody["second message"].hasImage);  // only http(s) icons are fetched
  EXPECT_FALSE(byBody["replaced message"].hasImage);
  // The same title replaces the earlier notification, whichever came first.
  EXPECT_TRUE(byBody["first message"].replaces != 0 || byBody["replaced message"].replaces != 0);
}

// The size of a WAV file's data chunk, and whether any sample is not silence.
bool readWav(const std::string& path, size_t* dataBytes, bool* audible) {
  std::string bytes = readFile(path);
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      size = static_cast<uint32_t>(std::min<size_t>(size, bytes.size() - at - 8));
      *dataBytes = size;
      *audible = false;
      for (size_t i = 0; i + 1 < size; i += 2) {
        int16_t sample = 0;
        memcpy(&sample, bytes.data() + at + 8 + i, 2);
        if (sample > 300 || sample < -300) *audible = true;
      }
      return true;
    }
    at += 8 + size + (size & 1);
  }
  return false;
}

// A slow notification server holds neither the main loop nor the page: the
// page's next answered call comes back while the notifications still go out.
TEST_F(VeloraDesktopAppDelegateTest, ASlowNotificationServerHoldsNeitherTheWindowNorThePage) {
  ASSERT_TRUE(notifications_->owned());
  size_t before = notifications_->notifications().size();
  notifications_->setAnswerDelay(100);
  load("notifyMany");
  ASSERT_TRUE(waitForReport("notify-many"));
  size_t shownWhenAnswered = notifications_->notifications().size() - before;
  notifications_->setAnswerDelay(0);
  // Twenty in a row take the server two seconds: most were still to come.
  EXPECT_LT(shownWhenAnswered, 10u);
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    std::vector<FakeNotificationServer::Notification> shown = notifications_->notifications();
    return shown.size() > before && shown.back().summary == "Many 19";
  }));
}

TEST_F(VeloraDesktopAppDelegateTest, AStreamedTrackPlaysThroughAudioBinding) {
  TestFolder folder;
  const std::string media = folder.folder("media");
  ASSERT_TRUE(vetest::makeToneMp3(media + "/tone.mp3", 2, 440, -6));
  TestNginxServer audio(media);
  ASSERT_TRUE(audio.isRunning());
  ASSERT_EQ(unsetenv("http_proxy") + unsetenv("HTTP_PROXY"), 0);
  const std::string wav = folder.file("out.wav");
  g_setenv("VELORA_ENGINE_WAV_PATH", wav.c_str(), TRUE);

  gchar* url = g_uri_escape_string(audio.url("/tone.mp3?_TEID=700&_FMT=5").c_str(), nullptr, TRUE);
  load(std::string("play&url=") + url);
  g_free(url);
  ASSERT_TRUE(waitForReport("play"));
  const std::string played = server_->report("play");
  expectIn(played, "\"ranges\":true");
  // Back to no sound, so that the writer closes its file.
  webkit_web_view_evaluate_javascript(application_->window()->mainView(),
                                      "VeloraICI.setSetting('device_output', '3:0')", -1, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
  size_t dataBytes = 0;
  bool audible = false;
  ASSERT_TRUE(ShellTestServer::runUntil([&] {
    return Binding::instance()->getSetting("device_output").compare(0, 2, "3:") == 0 &&
           readWav(wav, &dataBytes, &audible) && dataBytes >= size_t(44100 * 4 * 19 / 10);
  }));
  EXPECT_TRUE(audible);
}

TEST_F(VeloraDesktopAppDelegateTest, LocalStorageOutlivesARestartAndSessionStorageDoesNot) {
  load("storageWrite");
  ASSERT_TRUE(waitForReport("storage-write"));
  EXPECT_EQ(server_->report("storage-write"), "[\"local value\",\"session value\"]");
  // Keys and values holding U+0000 or lone surrogates are stored whole.
  const std::string odd = "[\"1\",\"2\",\"3\",\"4\",\"5\",\"x\\u0000y\\udc00z\"]";
  ASSERT_TRUE(waitForReport("storage-odd-write"));
  EXPECT_EQ(server_->report("storage-odd-write"), odd);
  delete application_;
  application_ = nullptr;
  startApplication("storageRead");
  ASSERT_TRUE(waitForReport("storage-read"));
  EXPECT_EQ(server_->report("storage-read"), "[\"local value\",null]");
  ASSERT_TRUE(waitForReport("storage-odd-read"));
  EXPECT_EQ(server_->report("storage-odd-read"), "[" + odd + ",true]");
}

TEST_F(VeloraDesktopAppDelegateTest, StorageListsItsKeysAsTheBrowsersDoes) {
  load("storageEnumeration");
  ASSERT_TRUE(waitForReport("storage-enumeration"));
  EXPECT_EQ(server_->report("storage-enumeration"),
            "{\"keys\":[\"first\",\"second\"],\"forIn\":[\"first\",\"second\"],\"has\":[true,false,true],"
            "\"json\":\"{\\\"first\\\":\\\"1\\\",\\\"second\\\":\\\"2\\\"}\",\"own\":[true,false,true],\"length\":2}");
}

// Sanitizer builds run every call many times slower: fewer calls there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kFuzzCalls = 2000;
#else
constexpr int kFuzzCalls = 10000;
#endif

TEST_F(VeloraDesktopAppDelegateTest, FuzzedCallsToEveryMethodAcrossNavigationsNeitherCrashNorHang) {
  constexpr int kRounds = 10;
  gchar* other = g_uri_escape_string(server_->thirdPartyOrigin().c_str(), nullptr, TRUE);
  load("fuzz&calls=" + std::to_string(kFuzzCalls / kRounds) + "&rounds=" + std::to_string(kRounds) +
       "&seed=4242&other=" + other);
  g_free(other);
  // Each round is waited for on its own: the whole run may take long on a
  // loaded machine, a round never.
  std::set<std::string> rounds;
  size_t hops = 0;
  while (!server_->hasReport("fuzz")) {
    const size_t seen = server_->reports("fuzz-round").size();
    ASSERT_TRUE(ShellTestServer::runUntil([seen, hops] {
      return server_->reports("fuzz-round").size() > seen || server_->hasReport("fuzz") ||
             server_->reports("fuzz-hop").size() > hops;
    })) << "after "
        << seen << " rounds";
    // A page does not take the main view to another origin by itself: the
    // hop it asks for is made as by the user.
    if (server_->reports("fuzz-hop").size() > hops) {
      ++hops;
      WebViewProbe::evaluate(application_->window()->mainView(), "location.assign(window.hopTo), true");
    }
  }
  for (const std::string& round : server_->reports("fuzz-round")) {
    rounds.insert(round.substr(0, round.find(',')));
    expectIn(round, "\"thrown\":0,\"alive\":true");
  }
  EXPECT_EQ(rounds.size(), size_t(kRounds));
  VeloraController::instance().setApplicationTerminated(false);
}

}  // namespace
