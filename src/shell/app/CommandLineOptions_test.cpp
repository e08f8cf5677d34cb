#include "CommandLineOptions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "TestEnvironmentVariable.h"
#include "TestFolder.h"
#include "VLLinuxSettingHelper.h"

namespace {

class CommandLineOptionsTest : public ::testing::Test {
 protected:
  TestFolder home;
  TestEnvironmentVariable data{"XDG_DATA_HOME", nullptr};
  TestEnvironmentVariable config{"XDG_CONFIG_HOME", nullptr};
  VLLinuxSettingHelper settings{home.path()};
};

TEST_F(CommandLineOptionsTest, NoOptionDoesNothing) {
  settings.setValue("desktop_DeviceOutputType", "3");
  EXPECT_FALSE(CommandLineOptions::processCommandLineArguments({"velora-desktop", "veloraapp://album/1"}, settings));
  EXPECT_EQ(settings.getValue("desktop_DeviceOutputType", "none"), "3");
}

TEST_F(CommandLineOptionsTest, ResetPreferencesRemovesTheEightKeysOnly) {
  for (const std::string& key : CommandLineOptions::resetKeys()) settings.setValue(key, "old");
  settings.setValue("BetaPlayerURL", "http://beta.example/");
  settings.setValue("user#desktop_DeviceOutputType", "kept");
  EXPECT_TRUE(CommandLineOptions::processCommandLineArguments({"velora-desktop", "--reset-preferences"}, settings));
  ASSERT_EQ(CommandLineOptions::resetKeys().size(), 8u);
  VLLinuxSettingHelper reread(home.path());
  for (const std::string& key : CommandLineOptions::resetKeys()) EXPECT_EQ(reread.getValue(key, "gone"), "gone") << key;
  EXPECT_EQ(reread.getValue("BetaPlayerURL", ""), "http://beta.example/");
  EXPECT_EQ(reread.getValue("user#desktop_DeviceOutputType", ""), "kept");
}

TEST_F(CommandLineOptionsTest, RemoveFolderRemovesTheDataFolderAndNothingOutsideIt) {
  std::string folder = settings.getAndCreateLocalPath(VLSettingHelper::LOCAL_FOLDER_APPLICATION);
  ASSERT_EQ(folder, home.path() + "/.local/share/velora-desktop");
  std::string outside = home.folder("outside");
  ASSERT_TRUE(TestFolder::write(outside + "/precious", "keep me"));
  ASSERT_EQ(mkdir((folder + "/storage").c_str(), 0700), 0);
  ASSERT_TRUE(TestFolder::write(folder + "/storage/localStorage.db", "x"));
  ASSERT_EQ(symlink(outside.c_str(), (folder + "/link").c_str()), 0);
  EXPECT_TRUE(CommandLineOptions::processCommandLineArguments({"velora-desktop", "--remove-folder"}, settings));
  EXPECT_FALSE(TestFolder::exists(folder));
  EXPECT_EQ(TestFolder::read(outside + "/precious"), "keep me");
  EXPECT_TRUE(TestFolder::exists(home.path() + "/.local/share"));
}

// A folder inside that its user cannot read keeps what it holds: the removal
// says it failed, while a readable folder is removed whole (as an ordinary
// user; root reads every folder).
TEST_F(CommandLineOptionsTest, AnUnreadableFolderInsideIsAFailedRemoval) {
  const uid_t nobody = 65534;
  ASSERT_EQ(0, chmod(home.path().c_str(), 0755));
  for (std::string up = home.path(); up.size() > 1; up = up.substr(0, up.rfind('/'))) {
    struct stat folder;
    if (stat(up.c_str(), &folder) != 0 || !(folder.st_mode & S_IXOTH))
      GTEST_SKIP() << up << " cannot be passed through by another user";
    if (up.rfind('/') == 0) break;
  }
  for (const bool readable : {true, false}) {
    const std::string folder = home.path() + (readable ? "/a" : "/b") + "/velora-desktop";
    ASSERT_EQ(0, system(("mkdir -p " + folder + "/sub").c_str()));
    std::ofstream(folder + "/sub/keep") << "kept";
    ASSERT_EQ(0, system(("chown -R 65534:65534 " + folder + "/..").c_str()));
    if (!readable) ASSERT_EQ(0, chmod((folder + "/sub").c_str(), 0));
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
      _exit(CommandLineOptions::removeApplicationSupportDirectory(folder) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(readable ? 0 : 1, WEXITSTATUS(status)) << folder;
    struct stat info;
    EXPECT_EQ(readable ? -1 : 0, lstat((folder + "/sub/keep").c_str(), &info)) << folder;
  }
}

TEST_F(CommandLineOptionsTest, FoldersThatAreNotTheApplicationsAreRefused) {
  std::string other = home.folder("Music");
  ASSERT_TRUE(TestFolder::write(other + "/song.mp3", "x"));
  EXPECT_FALSE(CommandLineOptions::removeApplicationSupportDirectory(other));
  EXPECT_FALSE(CommandLineOptions::removeApplicationSupportDirectory(""));
  EXPECT_FALSE(CommandLineOptions::removeApplicationSupportDirectory("/"));
  EXPECT_FALSE(CommandLineOptions::removeApplicationSupportDirectory("velora-desktop"));
  EXPECT_TRUE(TestFolder::exists(other + "/song.mp3"));
  // Missing already: nothing to do.
  EXPECT_TRUE(CommandLineOptions::removeApplicationSupportDirectory(home.path() + "/none/velora-desktop"));
}

}  // namespace
