// The start-up's own steps in the real application: a crash report the last
// run left is offered, sent once to the crash-report address and removed;
// the update feed is asked for with the time, and a newer build is offered
// once, its Download going to the browser.
#include "VeloraDesktopAppDelegate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CrashReportSender.h"
#include "CrashReporter.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "UpdateCheck.h"
#include "VLPlatformFactory.h"
#include "VLSettingHelper.h"
#include "VeloraController.h"

namespace {

class VeloraDesktopStartTest : public ::testing::Test {
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
  }

  static void TearDownTestSuite() {
    delete server_;
    ShellTestServer::runUntil([] { return !ShellTestServer::hasRunningChildren(); });
    delete home_;
  }

  void TearDown() override { delete application_; }

  static std::string stateFolder() { return home_->path() + "/XDG_STATE_HOME/velora-desktop"; }

  void start(const std::string& player) {
    std::string data = home_->folder("webkit");
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                        "base-cache-directory", data.c_str(), nullptr);
    application_ = new VeloraDesktopAppDelegate(server_->playerOrigin() + player);
    application_->setBrowserOpener([this](const std::string& uri) { opened_.push_back(uri); });
    ASSERT_TRUE(application_->start(manager, VELORA_BINARY_DIR "/webext"));
    g_object_unref(manager);
  }

  static void click(GtkWidget* dialog, int response) {
    gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response)));
  }

  static TestFolder* home_;
  static ShellTestServer* server_;
  VeloraDesktopAppDelegate* application_ = nullptr;
  std::vector<std::string> opened_;
};

TestFolder* VeloraDesktopStartTest::home_ = nullptr;
ShellTestServer* VeloraDesktopStartTest::server_ = nullptr;

TEST_F(VeloraDesktopStartTest, ALeftCrashReportIsSentOnceWithTheLogsAndRemoved) {
  VLPlatformFactory::instance()->getSettingHelper()->setValue("CrashReportURL",
                                                              server_->playerOrigin() + "/report?name=crash");
  std::string report = CrashReporter::reportPath(stateFolder());
  g_mkdir_with_parents(CrashReporter::reportFolder(stateFolder()).c_str(), 0700);
  ASSERT_TRUE(TestFolder::write(report, "signal: 11 (SIGSEGV)\nthe report's text\n"));
  start("/app/");
  CrashReportSender* sender = application_->crashReports();
  ASSERT_NE(sender, nullptr);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return sender->dialog() != nullptr; }));
  click(sender->dialog(), GTK_RESPONSE_ACCEPT);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return sender->sendEnded(); }));
  ASSERT_EQ(server_->reports("crash").size(), 1u);
  std::string body = server_->report("crash");
  for (const char* part : {"name=\"app_id\"\r\n\r\n5d0c8e1a9b7f3264ae18c0d9f2b6a743\r\n",
                           "name=\"company\"\r\n\r\nVelora\r\n", "the report's text", "\ndesktop.log:\n\n"}) {
    EXPECT_NE(body.find(part), std::string::npos) << part;
  }
  EXPECT_FALSE(TestFolder::exists(report));
}

TEST_F(VeloraDesktopStartTest, TheFeedIsAskedForWithTheTimeAndANewerBuildIsOfferedOnce) {
  size_t before = server_->requests().size();
  time_t startedAt = time(nullptr);
  start("/updates/newer/");
  EXPECT_EQ(application_->updaterFeedURL(),
            server_->playerOrigin() + "/updates/newer/apps/velora-desktop/osx/update_2.xml");
  UpdateCheck* check = application_->updateCheck();
  ASSERT_NE(check, nullptr);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return check->ended(); }));
  std::vector<std::string> feeds;
  for (size_t i = before; i < server_->requests().size(); ++i) {
    if (server_->requests()[i] == "/updates/newer/apps/velora-desktop/osx/update_2.xml") {
      feeds.push_back(server_->queries()[i]);
    }
  }
  ASSERT_EQ(feeds.size(), 1u);
  ASSERT_EQ(feeds[0].rfind("ts=", 0), 0u) << feeds[0];
  long seconds = std::stol(feeds[0].substr(3));
  EXPECT_GE(seconds, static_cast<long>(startedAt));
  EXPECT_LE(seconds, static_cast<long>(time(nullptr)));

  // One dialog, over the window, which it does not block.
  int dialogs = 0;
  GList* all = gtk_window_list_toplevels();
  for (GList* item = all; item != nullptr; item = item->next) {
    if (GTK_IS_MESSAGE_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) ++dialogs;
  }
  g_list_free(all);
  EXPECT_EQ(dialogs, 1);
  ASSERT_NE(check->dialog(), nullptr);
  EXPECT_FALSE(gtk_window_get_modal(GTK_WINDOW(check->dialog())));
  click(check->dialog(), GTK_RESPONSE_ACCEPT);
  EXPECT_EQ(opened_, std::vector<std::string>{"http://127.0.0.1:9/velora-desktop_9.0.0_amd64.deb"});
  EXPECT_EQ(check->dialog(), nullptr);
}

}  // namespace
