#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <sys/stat.h>

#include "TestSmallVolume.h"
#include "VLLogger.h"
#include "TestFolder.h"

namespace {

TestFolder& stateFolder() {
  static TestFolder folder;
  return folder;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

class VLLoggerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("XDG_STATE_HOME", stateFolder().path().c_str(), 1); }
  void TearDown() override { VLLogger::instance()->shutdown(); }
  std::string logPath() { return stateFolder().path() + "/velora-desktop/desktop.log"; }
};

}  // namespace

TEST_F(VLLoggerTest, PathsAndName) {
  VLLogger* logger = VLLogger::instance();
  EXPECT_EQ(logger, VLLogger::instance());
  EXPECT_EQ("desktop", logger->getName());
  EXPECT_EQ(logPath(), logger->getLogFilePath("desktop"));
  EXPECT_EQ(stateFolder().path() + "/velora-desktop", logger->getLogFilePath(""));
}

TEST_F(VLLoggerTest, OffBeforeInitAndAfterShutdown) {
  VLLogger* logger = VLLogger::instance();
  EXPECT_FALSE(logger->isEnabled());
  int evaluated = 0;
  VL_LOG_ERROR("never " << ++evaluated);
  EXPECT_EQ(0, evaluated);  // not even formatted

  logger->init();
  EXPECT_TRUE(logger->isEnabled());
  VL_LOG_ERROR("while on");
  logger->shutdown();
  EXPECT_FALSE(logger->isEnabled());
  VL_LOG_ERROR("after shutdown " << ++evaluated);
  EXPECT_EQ(0, evaluated);
  std::string text = TestFolder::read(logPath());
  EXPECT_NE(std::string::npos, text.find("while on"));
  EXPECT_EQ(std::string::npos, text.find("after shutdown"));
}

TEST_F(VLLoggerTest, SecondInitAddsNoAppenderAndLevelsAreFiltered) {
  VLLogger* logger = VLLogger::instance();
  logger->init();
  logger->init();
  EXPECT_EQ(1u, logger->getLogger().getAllAppenders().size());
  VL_LOG_TRACE("trace-line");
  VL_LOG_DEBUG("debug-line " << 42);
  VL_LOG_INFO("info-line");
  VL_LOG_WARN("warn-line");
  VL_LOG_ERROR("error-line");
  std::string text = TestFolder::read(logPath());
  EXPECT_EQ(0u, countOf(text, "trace-line"));
  EXPECT_EQ(1u, countOf(text, "debug-line 42"));
  EXPECT_EQ(1u, countOf(text, "info-line"));
  EXPECT_EQ(1u, countOf(text, "warn-line"));
  EXPECT_EQ(1u, countOf(text, "error-line"));
  // Layout: level padded to five, logger name, message, location.
  EXPECT_NE(std::string::npos, text.find("] DEBUG desktop - debug-line 42 ("));
  EXPECT_NE(std::string::npos, text.find("] WARN  desktop - warn-line ("));
  EXPECT_NE(std::string::npos, text.find("VLLogger_test.cpp:"));
  EXPECT_EQ("FileAppender", logger->getLogger().getAllAppenders().front()->getName());
}

TEST_F(VLLoggerTest, InitAgainAfterShutdownWritesAgain) {
  VLLogger* logger = VLLogger::instance();
  logger->init();
  logger->shutdown();
  logger->init();
  EXPECT_TRUE(logger->isEnabled());
  EXPECT_EQ(1u, logger->getLogger().getAllAppenders().size());
  VL_LOG_INFO("second life");
  EXPECT_NE(std::string::npos, TestFolder::read(logPath()).find("second life"));
}

TEST_F(VLLoggerTest, RollOverKeepsOneBackup) {
  VLLogger* logger = VLLogger::instance();
  logger->init();
  std::string line(1000, 'r');
  for (int i = 0; i < 2500; ++i) VL_LOG_INFO(line);
  EXPECT_TRUE(exists(logPath()));
  EXPECT_TRUE(exists(logPath() + ".1"));
  EXPECT_FALSE(exists(logPath() + ".2"));
  struct stat status;
  ASSERT_EQ(0, stat(logPath().c_str(), &status));
  EXPECT_LE(status.st_size, 1000000 + 2000);
}

TEST_F(VLLoggerTest, TheLogResumesWhenSpaceReturnsAfterAFullDisk) {
  TestFolder folder;
  const std::string volume = folder.path();
  int result = TestSmallVolume::run(volume, "64k", [&] {
    setenv("XDG_STATE_HOME", volume.c_str(), 1);
    VLLogger* logger = VLLogger::instance();
    logger->init();
    VL_LOG_INFO("before the disk fills");
    // Everything the volume has left goes to a filler file.
    std::string filler = volume + "/filler";
    FILE* out = fopen(filler.c_str(), "w");
    std::string block(4096, 'f');
    while (out && fwrite(block.data(), 1, block.size(), out) == block.size() && fflush(out) == 0) {
    }
    if (out) fclose(out);
    for (int i = 0; i < 100; ++i) VL_LOG_INFO("while the disk is full " << i);
    unlink(filler.c_str());
    VL_LOG_INFO("after space returned");
    VL_LOG_INFO("and later");
    std::string text = TestFolder::read(logPath().replace(0, stateFolder().path().size(), volume));
    logger->shutdown();
    return text.find("before the disk fills") != std::string::npos && text.find("and later") != std::string::npos ? 0
                                                                                                                  : 1;
  });
  if (result < 0) GTEST_SKIP() << "no small volume on this machine";
  EXPECT_EQ(0, result);
}
