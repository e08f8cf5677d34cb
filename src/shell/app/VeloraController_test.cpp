#include "VeloraController.h"

#include <gtest/gtest.h>
#include <glib.h>

#include <fstream>
#include <sstream>

#include "PageCallback.h"
#include "PageChannelProtocol.h"
#include "PagePublication.h"
#include "VLLogger.h"

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
  // No source: only the log's own location (a path, relative when the build
  // rewrites its paths), never an empty one.
  EXPECT_NE(text.find("plain line ("), std::string::npos) << text;
  EXPECT_EQ(text.find("plain line (:"), std::string::npos) << text;
  EXPECT_NE(text.find("warned line (http://player/app.js:12)"), std::string::npos) << text;
  EXPECT_NE(text.find("failed line"), std::string::npos);
  EXPECT_EQ(text.find("debug line"), std::string::npos);  // TRACE is not written
  EXPECT_EQ(text.find("tip line"), std::string::npos);
  EXPECT_STREQ(VeloraController::consoleLevelName(PageChannelProtocol::kConsoleInfo), "LogMessageLevel");
  EXPECT_STREQ(VeloraController::consoleLevelName(PageChannelProtocol::kConsoleDebug), "DebugMessageLevel");
}

TEST_F(VeloraControllerTest, ACallbackThatIsNoFunctionIsLoggedAndFreed) {
  VeloraController::instance().executeCallback(new PageCallback(std::weak_ptr<PagePublication>(), 0), PageValue::number(0));
  VeloraController::instance().executeCallback(nullptr, PageValue::number(0));
  EXPECT_NE(log().find("VeloraController::executeCallback Given callback is not a function..."), std::string::npos);
}

TEST_F(VeloraControllerTest, VersionIsShortVersionAndBuild) {
  std::string version = VeloraController::getVeloraDesktopVersion();
  EXPECT_TRUE(g_regex_match_simple("^[0-9.]+ \\([^)]+\\)$", version.c_str(), static_cast<GRegexCompileFlags>(0),
                                   static_cast<GRegexMatchFlags>(0)))
      << version;
}

TEST_F(VeloraControllerTest, CallsIntoAPageThatIsGoneDoNothing) {
  // No page has published its objects: nothing to call, nothing breaks.
  VeloraController::instance().executeMethod("onFilesAdded", {PageValue::array()});
}

}  // namespace
