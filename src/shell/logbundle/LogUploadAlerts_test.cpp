#include "LogUploadAlerts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "DialogDriver.h"
#include "FileManagerReveal.h"
#include "ShellStrings.h"
#include "TestFolder.h"

namespace {

// Before GLib reads them once for the whole process: a user data and config
// folder of our own, where a recording program is the default application
// for folders.
struct UserFolders {
  TestFolder folder;
  std::string opened = folder.file("opened.txt");

  UserFolders() {
    std::string data = folder.folder("data");
    std::string config = folder.folder("config");
    std::string applications = folder.folder("data/applications");
    std::string opener = folder.file("opener.sh");
    TestFolder::write(opener, "#!/bin/sh\necho \"$1\" > '" + opened + "'\n");
    chmod(opener.c_str(), 0755);
    TestFolder::write(
        applications + "/velora-test-opener.desktop",
        "[Desktop Entry]\nType=Application\nName=Opener\nExec=" + opener + " %u\nMimeType=inode/directory;\n");
    TestFolder::write(config + "/mimeapps.list",
                      "[Default Applications]\ninode/directory=velora-test-opener.desktop\n");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }
};
UserFolders* const g_userFolders = new UserFolders;

bool runUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) usleep(2000);
  }
  return true;
}

// A file manager on the session bus that records what it was asked to show.
class FakeFileManager {
 public:
  static FakeFileManager& instance() {
    static FakeFileManager* manager = new FakeFileManager;
    return *manager;
  }

  bool isRunning() const { return owned_; }
  std::vector<std::string> shown;
  std::vector<std::string> startupIds;

 private:
  FakeFileManager() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
        "<arg type='as' name='URIs' direction='in'/><arg type='s' name='StartupId' direction='in'/>"
        "</method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeFileManager::call, nullptr, nullptr, {}};
    g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", node->interfaces[0], &vtable, this, nullptr,
                                      nullptr);
    g_dbus_node_info_unref(node);
    g_bus_own_name_on_connection(
        bus, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer self) { static_cast<FakeFileManager*>(self)->owned_ = true; },
        nullptr, this, nullptr);
    runUntil([this] { return owned_; });
  }

  static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                   GDBusMethodInvocation* invocation, gpointer self) {
    FakeFileManager* manager = static_cast<FakeFileManager*>(self);
    GVariantIter* uris = nullptr;
    const gchar* startupId = nullptr;
    g_variant_get(parameters, "(as&s)", &uris, &startupId);
    const gchar* uri;
    while (g_variant_iter_loop(uris, "&s", &uri)) manager->shown.push_back(uri);
    g_variant_iter_free(uris);
    manager->startupIds.push_back(startupId);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  bool owned_ = false;
};

class LogUploadAlertsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
  }
};

// First in this process: no file manager owns its name on the bus yet.
TEST_F(LogUploadAlertsTest, WithoutAFileManagerTheFolderIsOpened) {
  TestFolder desktop;
  FileManagerReveal::reveal(desktop.file("velora-logs-01.02.24-10-00-00.zip"));
  ASSERT_TRUE(runUntil([] { return TestFolder::sizeOf(g_userFolders->opened) > 0; }));
  // GIO hands a local folder to the application as a path.
  EXPECT_EQ(desktop.path() + "\n", TestFolder::read(g_userFolders->opened));
}

TEST_F(LogUploadAlertsTest, AFileManagerShowsTheFileSelected) {
  FakeFileManager& manager = FakeFileManager::instance();
  ASSERT_TRUE(manager.isRunning());
  size_t before = manager.shown.size();
  FileManagerReveal::reveal("/tmp/some folder/velora-logs-01.02.24-10-00-00.zip");
  ASSERT_TRUE(runUntil([&] { return manager.shown.size() > before; }));
  EXPECT_EQ("file:///tmp/some%20folder/velora-logs-01.02.24-10-00-00.zip", manager.shown.back());
  EXPECT_EQ("", manager.startupIds.back());
}

TEST_F(LogUploadAlertsTest, FailureAlertNamesTheArchiveThenShowsIt) {
  FakeFileManager& manager = FakeFileManager::instance();
  ASSERT_TRUE(manager.isRunning());
  size_t before = manager.shown.size();
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  LogUploadAlerts alerts(GTK_WINDOW(window));

  std::string archive = "/home/jane/Desktop/velora-logs-01.02.24-10-00-00.zip";
  alerts.showSendLogFailureMessage(archive);
  GtkMessageDialog* alert = DialogDriver::shown();
  ASSERT_NE(nullptr, alert);
  EXPECT_EQ(GTK_WINDOW(window), gtk_window_get_transient_for(GTK_WINDOW(alert)));
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(alert)));
  EXPECT_EQ(ShellStrings::text("log.upload.failure.dialog.title"), DialogDriver::property(alert, "text"));
  EXPECT_EQ(
      "They have been saved on your desktop as \xE2\x80\x9Cvelora-logs-01.02.24-10-00-00.zip\xE2\x80\x9D. "
      "Please send this file to Velora support.",
      DialogDriver::property(alert, "secondary-text"));
  EXPECT_EQ(before, manager.shown.size());  // not before the user closed the alert
  gtk_dialog_response(GTK_DIALOG(alert), GTK_RESPONSE_OK);
  EXPECT_EQ(nullptr, DialogDriver::shown());
  ASSERT_TRUE(runUntil([&] { return manager.shown.size() > before; }));
  EXPECT_EQ("file://" + archive, manager.shown.back());

  // No archive: the alert says so and shows nothing afterwards.
  alerts.showSendLogFailureMessage("");
  alert = DialogDriver::shown();
  ASSERT_NE(nullptr, alert);
  EXPECT_EQ(ShellStrings::text("log.upload.failure.dialog.message.no_archive"),
            DialogDriver::property(alert, "secondary-text"));
  gtk_dialog_response(GTK_DIALOG(alert), GTK_RESPONSE_OK);
  EXPECT_EQ(nullptr, DialogDriver::shown());
  EXPECT_EQ(before + 1, manager.shown.size());

  // The window is gone; an alert afterwards has no parent.
  gtk_widget_destroy(window);
  alerts.showSendLogSuccessMessage();
  alert = DialogDriver::shown();
  ASSERT_NE(nullptr, alert);
  EXPECT_EQ("Log files sent", DialogDriver::property(alert, "text"));
  EXPECT_EQ(nullptr, gtk_window_get_transient_for(GTK_WINDOW(alert)));
  gtk_dialog_response(GTK_DIALOG(alert), GTK_RESPONSE_OK);
}

// Outcomes that come while an alert shows do not stack modal alerts on it.
TEST_F(LogUploadAlertsTest, OneAlertAtATime) {
  LogUploadAlerts alerts(nullptr);
  alerts.showSendLogFailureMessage("");
  GtkMessageDialog* first = DialogDriver::shown();
  ASSERT_NE(nullptr, first);
  alerts.showSendLogFailureMessage("/home/jane/Desktop/velora-logs-01.02.24-10-00-01.zip");
  alerts.showSendLogSuccessMessage();
  EXPECT_EQ(nullptr, DialogDriver::shown(GTK_WIDGET(first)));
  gtk_dialog_response(GTK_DIALOG(first), GTK_RESPONSE_OK);
  EXPECT_EQ(nullptr, DialogDriver::shown());
  // Once it is answered, the next outcome has its alert.
  alerts.showSendLogSuccessMessage();
  GtkMessageDialog* next = DialogDriver::shown();
  ASSERT_NE(nullptr, next);
  gtk_dialog_response(GTK_DIALOG(next), GTK_RESPONSE_OK);
}

}  // namespace
