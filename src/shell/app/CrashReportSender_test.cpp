// The last run's crash report through the dialog a user answers, posted to a
// real HTTP server: Don't send removes it without a request; a send the
// server refuses, or that reaches no server, keeps it for the next start.
#include "CrashReportSender.h"

#include <gtest/gtest.h>

#include <string>

#include "CrashReporter.h"
#include "ShellTestServer.h"
#include "TestFolder.h"

namespace {

class CrashReportSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gtk_init(nullptr, nullptr);
    ASSERT_TRUE(server_.start());
    settings_.reportPath = CrashReporter::reportPath(state_.path());
    settings_.logFolder = state_.path();
    settings_.version = "1.0.0 (7)";
    state_.folder("crash-reports");
    ASSERT_TRUE(TestFolder::write(settings_.reportPath, "signal: 11 (SIGSEGV)\n"));
  }

  // Offers the report and answers with the button of the response.
  static void answer(CrashReportSender& sender, int response) {
    ASSERT_TRUE(sender.offer(nullptr));
    GtkWidget* dialog = sender.dialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(gtk_widget_get_visible(dialog));
    gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response)));
    EXPECT_EQ(sender.dialog(), nullptr);
  }

  TestFolder state_;
  ShellTestServer server_{VELORA_SOURCE_DIR "/tools/testsupport/shell/pages"};
  CrashReportSender::Settings settings_;
};

TEST_F(CrashReportSenderTest, DontSendRemovesTheReportWithoutARequest) {
  settings_.address = server_.playerOrigin() + "/report?name=crash";
  CrashReportSender sender(settings_);
  answer(sender, GTK_RESPONSE_REJECT);
  EXPECT_FALSE(TestFolder::exists(settings_.reportPath));
  EXPECT_TRUE(server_.requests().empty());
  // Nothing waits any more: no question at the next start.
  CrashReportSender next(settings_);
  EXPECT_FALSE(next.offer(nullptr));
}

TEST_F(CrashReportSenderTest, AFailedSendKeepsTheReportForTheNextStart) {
  for (std::string address : {server_.playerOrigin() + "/status?code=503", std::string("http://127.0.0.1:9/crash")}) {
    SCOPED_TRACE(address);
    settings_.address = address;
    CrashReportSender sender(settings_);
    answer(sender, GTK_RESPONSE_ACCEPT);
    ASSERT_TRUE(ShellTestServer::runUntil([&] { return sender.sendEnded(); }));
    EXPECT_TRUE(TestFolder::exists(settings_.reportPath));
  }
  EXPECT_EQ(server_.requests(), std::vector<std::string>{"/status"});
}

}  // namespace
