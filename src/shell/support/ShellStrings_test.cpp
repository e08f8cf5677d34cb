// Texts in the user's language as the user meets them: with a test
// language's catalogue (built here with msgfmt) the error page of a player
// that cannot be reached, the address dialog with its error alert, and the
// log upload's alerts show that language; what the language lacks shows in
// English, never as its key.
#include "ShellStrings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogDriver.h"
#include "LogUploadAlerts.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "VeloraDesktopAppDelegate.h"
#include "WebViewProbe.h"

namespace {

// The test language "xx": some keys only. The address error's title and the
// upload failure's title stay untranslated.
const char* kTestLanguage = R"(msgid ""
msgstr "Content-Type: text/plain; charset=UTF-8\n"

msgid "html.error.message.no_connection.first_time"
msgstr "Xx: kein Dienst erreichbar, ça reviendra."

msgid "openuri.dialog.message"
msgstr "Xx: welche Adresse?"

msgid "openuri.error.dialog.message.format"
msgstr "Xx: « %s » geht nicht."

msgid "dialog.button.label.ok"
msgstr "Xx-Gut"

msgid "dialog.button.label.cancel"
msgstr "Xx-Nein"

msgid "log.upload.success.dialog.title"
msgstr "Xx: gesendet"

msgid "log.upload.success.dialog.message"
msgstr "Xx: danke schön."

msgid "log.upload.failure.dialog.message"
msgstr "Xx: liegt als « %s » auf dem Schreibtisch."
)";

class ShellStringsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new TestFolder();
    // The English catalogue as the build made it, and the test language's.
    std::string english = ShellStrings::catalogueFolder() + "/en/LC_MESSAGES/velora-desktop.mo";
    for (const char* language : {"en", "xx"}) {
      g_mkdir_with_parents((home_->path() + "/locale/" + language + "/LC_MESSAGES").c_str(), 0700);
    }
    std::string copy = "cp '" + english + "' '" + home_->file("locale/en/LC_MESSAGES") + "/'";
    ASSERT_EQ(system(copy.c_str()), 0) << copy;
    ASSERT_TRUE(TestFolder::write(home_->file("xx.po"), kTestLanguage));
    std::string build = "msgfmt --check-format -o '" + home_->file("locale/xx/LC_MESSAGES") + "/velora-desktop.mo' '" +
                        home_->file("xx.po") + "'";
    ASSERT_EQ(system(build.c_str()), 0) << build;
    ShellStrings::setCatalogueFolder(home_->path() + "/locale");
    // The user's language; gettext reads LANGUAGE in any locale but "C".
    g_setenv("LANGUAGE", "xx", TRUE);
    g_setenv("LC_ALL", "C.UTF-8", TRUE);
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      g_setenv(variable, home_->folder(variable).c_str(), TRUE);
    }
    g_setenv("HOME", home_->path().c_str(), TRUE);
    gtk_init(nullptr, nullptr);
    std::string data = home_->folder("webkit");
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                        "base-cache-directory", data.c_str(), nullptr);
    // A player that cannot be reached, at the first start.
    application_ = new VeloraDesktopAppDelegate(refusedOrigin() + "/app/");
    ASSERT_TRUE(application_->start(manager, VELORA_BINARY_DIR "/webext"));
    g_object_unref(manager);
  }

  static void TearDownTestSuite() {
    delete application_;
    delete home_;
  }

  static TestFolder* home_;
  static VeloraDesktopAppDelegate* application_;
};

TestFolder* ShellStringsTest::home_ = nullptr;
VeloraDesktopAppDelegate* ShellStringsTest::application_ = nullptr;

TEST_F(ShellStringsTest, TextsAreInTheUsersLanguageElseInEnglish) {
  struct Case {
    const char* key;
    const char* text;
  } cases[] = {
      {"dialog.button.label.ok", "Xx-Gut"},
      {"openuri.error.dialog.title", "Cannot open this address"},  // not in the language
      {"dialog.directory.chooser.title", "Choose a folder"},       // not in the language
      {"no.such.key", "no.such.key"},                              // in no catalogue
  };
  for (const Case& c : cases) EXPECT_EQ(ShellStrings::text(c.key), c.text) << c.key;
  EXPECT_EQ(ShellStrings::formatted("openuri.error.dialog.message.format", "100%s"), "Xx: « 100%s » geht nicht.");
}

TEST_F(ShellStringsTest, TheErrorPageIsInTheUsersLanguage) {
  WebKitWebView* view = application_->window()->preloadingView();
  ASSERT_TRUE(ShellTestServer::runUntil([view] {
    return WebViewProbe::bodyText(view).find("Xx: kein Dienst erreichbar, ça reviendra.") != std::string::npos;
  }));
}

TEST_F(ShellStringsTest, TheAddressDialogAndItsErrorAreInTheUsersLanguage) {
  std::vector<std::string> seen;
  DialogDriver steps({
      [&seen](GtkMessageDialog* dialog) {
        seen = {DialogDriver::property(dialog, "text"), DialogDriver::buttonLabel(dialog, GTK_RESPONSE_OK),
                DialogDriver::buttonLabel(dialog, GTK_RESPONSE_CANCEL)};
        GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_message_dialog_get_message_area(dialog)));
        for (GList* child = children; child != nullptr; child = child->next) {
          if (GTK_IS_ENTRY(child->data)) gtk_entry_set_text(GTK_ENTRY(child->data), "ftp://nowhere");
        }
        g_list_free(children);
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
      },
      [&seen](GtkMessageDialog* dialog) {
        seen.push_back(DialogDriver::property(dialog, "text"));
        seen.push_back(DialogDriver::property(dialog, "secondary-text"));
        seen.push_back(DialogDriver::buttonLabel(dialog, GTK_RESPONSE_OK));
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
      },
  });
  application_->openVeloraURI();
  ASSERT_TRUE(steps.done());
  EXPECT_EQ(seen, (std::vector<std::string>{"Xx: welche Adresse?", "Xx-Gut", "Xx-Nein", "Cannot open this address",
                                            "Xx: « ftp://nowhere » geht nicht.", "Xx-Gut"}));
}

TEST_F(ShellStringsTest, TheUploadAlertsAreInTheUsersLanguage) {
  LogUploadAlerts alerts(application_->window()->window());
  alerts.showSendLogSuccessMessage();
  GtkMessageDialog* alert = DialogDriver::shown();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(DialogDriver::property(alert, "text"), "Xx: gesendet");
  EXPECT_EQ(DialogDriver::property(alert, "secondary-text"), "Xx: danke schön.");
  EXPECT_EQ(DialogDriver::buttonLabel(alert, GTK_RESPONSE_OK), "Xx-Gut");
  gtk_widget_destroy(GTK_WIDGET(alert));

  alerts.showSendLogFailureMessage("/home/jane/Desktop/velora-logs-01.02.24-10-00-00.zip");
  alert = DialogDriver::shown();
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(DialogDriver::property(alert, "text"), "The log files could not be sent");
  EXPECT_EQ(DialogDriver::property(alert, "secondary-text"),
            "Xx: liegt als « velora-logs-01.02.24-10-00-00.zip » auf dem Schreibtisch.");
  EXPECT_EQ(DialogDriver::buttonLabel(alert, GTK_RESPONSE_OK), "OK");  // its own key, not in the language
  gtk_widget_destroy(GTK_WIDGET(alert));
}

}  // namespace
