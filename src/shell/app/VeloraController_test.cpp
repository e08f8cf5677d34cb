#include "VeloraController.h"

#include <gio/gio.h>
#include <gio/gunixinputstream.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "PageCallback.h"
#include "PageChannelProtocol.h"
#include "PagePublication.h"
#include "VLLogger.h"
#include "VeloraICI.h"

namespace {

class VeloraControllerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = g_dir_make_tmp("controller-test-XXXXXX", nullptr);
    g_setenv("XDG_STATE_HOME", folder_, TRUE);
    VLLogger::instance()->init();
  }
  static void TearDownTestSuite() {
    VLLogger::instance()->shutdown();
    gchar* command = g_strdup_printf("rm -rf '%s'", folder_);
    if (system(command) != 0) ADD_FAILURE() << command;
    g_free(command);
    g_free(folder_);
  }
  static std::string log() {
    std::ifstream in(VLLogger::instance()->getLogFilePath("desktop"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static gchar* folder_;
};

gchar* VeloraControllerTest::folder_ = nullptr;

TEST_F(VeloraControllerTest, ConsoleMessagesGoToTheLogAtTheirLevel) {
  VeloraController& controller = VeloraController::instance();
  controller.logMessage({"LogMessageLevel", "plain line", "", 0});
  controller.logMessage({"WarningMessageLevel", "warned line", "http://player/app.js", 12});
  controller.logMessage({"ErrorMessageLevel", "failed line", "", 0});
  controller.logMessage({"DebugMessageLevel", "debug line", "", 0});
  controller.logMessage({"TipMessageLevel", "tip line", "", 0});
  std::string text = log();
  // No source: only the log's own location follows.
  EXPECT_TRUE(
      std::regex_search(text, std::regex("INFO  desktop - plain line \\([^ ]*VeloraController\\.cpp:[0-9]+\\)")))
      << text;
  EXPECT_NE(text.find("WARN  desktop - warned line (http://player/app.js:12)"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR desktop - failed line"), std::string::npos);
  EXPECT_EQ(text.find("debug line"), std::string::npos);  // TRACE is not written
  EXPECT_EQ(text.find("tip line"), std::string::npos);
  EXPECT_STREQ(VeloraController::consoleLevelName(PageChannelProtocol::kConsoleInfo), "LogMessageLevel");
  EXPECT_STREQ(VeloraController::consoleLevelName(PageChannelProtocol::kConsoleDebug), "DebugMessageLevel");
}

TEST_F(VeloraControllerTest, ACallbackThatIsNoFunctionIsLoggedAndFreed) {
  VeloraController::instance().executeCallback(new PageCallback(std::weak_ptr<PagePublication>(), 0),
                                               PageValue::number(0));
  VeloraController::instance().executeCallback(nullptr, PageValue::number(0));
  EXPECT_NE(log().find("VeloraController::executeCallback Given callback is not a function..."), std::string::npos);
}

TEST_F(VeloraControllerTest, CallsReachThePageOnlyWhileItIsThere) {
  // The page's end of the connection: what is sent lands in memory; nothing
  // comes from it, and it never ends (an ended input closes the connection).
  int silent[2];
  ASSERT_EQ(pipe(silent), 0);
  GOutputStream* sent = g_memory_output_stream_new_resizable();
  GIOStream* stream = G_IO_STREAM(g_simple_io_stream_new(g_unix_input_stream_new(silent[0], TRUE), sent));
  GDBusConnection* connection = g_dbus_connection_new_sync(
      stream, nullptr, G_DBUS_CONNECTION_FLAGS_DELAY_MESSAGE_PROCESSING, nullptr, nullptr, nullptr);
  ASSERT_NE(connection, nullptr);
  auto page = std::make_shared<PagePublication>(1, PagePublication::Frame(), connection);
  auto ici = std::make_shared<VeloraICI>(nullptr);
  ici->setPublication(page);
  VeloraController& controller = VeloraController::instance();
  controller.setIci(ici);
  controller.executeMethod("whilePublished", {PageValue::string("one")});
  page->end();
  controller.executeMethod("afterTheEnd", {PageValue::string("two")});
  page.reset();
  controller.executeMethod("afterTheDocument", {});
  controller.setIci(nullptr);
  controller.executeMethod("withoutAPage", {});
  ASSERT_TRUE(g_dbus_connection_flush_sync(connection, nullptr, nullptr));
  std::string bytes(static_cast<const char*>(g_memory_output_stream_get_data(G_MEMORY_OUTPUT_STREAM(sent))),
                    g_memory_output_stream_get_data_size(G_MEMORY_OUTPUT_STREAM(sent)));
  EXPECT_NE(bytes.find("whilePublished"), std::string::npos);
  EXPECT_EQ(bytes.find("afterTheEnd"), std::string::npos);
  EXPECT_EQ(bytes.find("afterTheDocument"), std::string::npos);
  g_object_unref(connection);
  g_object_unref(stream);
  close(silent[1]);
}

}  // namespace
