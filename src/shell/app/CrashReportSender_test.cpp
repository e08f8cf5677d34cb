// The last run's crash report through the dialog a user answers, posted to a
// real HTTP server: Don't send removes it without a request; a send the
// server refuses, or that reaches no server, keeps it for the next start.
#include "CrashReportSender.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "CrashReporter.h"
#include "MultipartFormData.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "TestHttpServer.h"

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

// What pages can put into the log (a thrown error's text goes to stderr and
// so into the "log" field) cannot end its field and forge another, and what
// the server answers beyond its status is not read.
TEST_F(CrashReportSenderTest, TheLogCannotForgeFieldsAndAnEndlessAnswerEndsTheSend) {
  TestHttpServer forms;
  ASSERT_TRUE(forms.isRunning());
  std::string forged = std::string("\r\n--") + MultipartFormData::kLogBoundary +
                       "\r\nContent-Disposition: form-data; name=\"report\"; filename=\"last-crash.txt\"\r\n\r\nforged";
  ASSERT_TRUE(TestFolder::write(state_.file("desktop_stderr.log"), "Uncaught Error: " + forged));
  settings_.address = forms.url("/endless=1/crash");
  CrashReportSender sender(settings_);
  answer(sender, GTK_RESPONSE_ACCEPT);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return sender.sendEnded(); }));
  EXPECT_FALSE(TestFolder::exists(settings_.reportPath));  // taken: a 200
  std::vector<TestHttpForm> received = forms.getForms();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].defects, "ok");
  std::vector<std::string> names;
  for (const TestHttpFormPart& part : received[0].parts) names.push_back(part.name);
  EXPECT_EQ(names, (std::vector<std::string>{"app_id", "company", "version", "log", "report"}));
  ASSERT_NE(received[0].part("report"), nullptr);
  EXPECT_EQ(received[0].part("report")->bytes, "signal: 11 (SIGSEGV)\n");
  ASSERT_NE(received[0].part("log"), nullptr);
  EXPECT_NE(received[0].part("log")->bytes.find("forged"), std::string::npos);
}

// Only a regular file of our own is a report, and only its head is sent;
// what stands in the log folder neither blocks the send nor fills memory.
TEST_F(CrashReportSenderTest, OnlyARegularReportIsOfferedAndNothingInTheFoldersBlocks) {
  std::string target = state_.file("someone-elses-file.txt");
  ASSERT_TRUE(TestFolder::write(target, "private"));
  ASSERT_EQ(unlink(settings_.reportPath.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), settings_.reportPath.c_str()), 0);
  {
    CrashReportSender linked(settings_);
    EXPECT_FALSE(linked.offer(nullptr));
  }
  EXPECT_EQ(TestFolder::read(target), "private");
  EXPECT_FALSE(TestFolder::exists(settings_.reportPath));

  std::string large(3u << 20, 'r');
  ASSERT_TRUE(TestFolder::write(settings_.reportPath, large));
  ASSERT_EQ(mkfifo(state_.file("desktop.log.fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", state_.file("desktop.log.zero").c_str()), 0);
  settings_.address = server_.playerOrigin() + "/report?name=crash";
  CrashReportSender sender(settings_);
  answer(sender, GTK_RESPONSE_ACCEPT);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return sender.sendEnded(); }));
  ASSERT_TRUE(server_.hasReport("crash"));
  EXPECT_LT(server_.report("crash").size(), CrashReporter::kMaximumReportBytes + (64u << 10));
  EXPECT_GT(server_.report("crash").size(), CrashReporter::kMaximumReportBytes);
}

}  // namespace
