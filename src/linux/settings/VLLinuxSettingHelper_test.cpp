#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "TestEnvironmentVariable.h"
#include "VLLinuxSettingHelper.h"
#include "TestFolder.h"
#include "VLTestLog.h"

namespace {

bool isFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

class VLSettingHelperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VLTestLog::start(); }

  TestFolder home;
  TestEnvironmentVariable config{"XDG_CONFIG_HOME", nullptr};
  TestEnvironmentVariable cache{"XDG_CACHE_HOME", nullptr};
  TestEnvironmentVariable data{"XDG_DATA_HOME", nullptr};
};

}  // namespace

TEST_F(VLSettingHelperTest, PreferencesPersistAcrossInstances) {
  {
    VLLinuxSettingHelper helper(home.path());
    EXPECT_EQ(home.path() + "/.config/velora-desktop/preferences", helper.getPreferencesPath());
    EXPECT_EQ("#anonymous#", helper.getValue("LastIdentity", "#anonymous#"));
    helper.setValue("#anonymous#", "OutputDevice", "0:0");
    helper.setValue("LastIdentity", "user1");
    helper.setValue("", "Bare", "one");
    helper.setValue("Bare", "two");  // same key as the empty group
  }
  VLLinuxSettingHelper again(home.path());
  EXPECT_EQ("0:0", again.getValue("#anonymous#", "OutputDevice", ""));
  EXPECT_EQ("0:0", again.getValue("#anonymous##OutputDevice", "x"));  // the composed key
  EXPECT_EQ("user1", again.getValue("LastIdentity", "#anonymous#"));
  EXPECT_EQ("two", again.getValue("", "Bare", ""));
  EXPECT_EQ("default", again.getValue("user1", "OutputDevice", "default"));
}

TEST_F(VLSettingHelperTest, DefaultFoldersUnderTheHomeFolder) {
  VLLinuxSettingHelper helper(home.path());
  std::string cachePath = helper.getLocalCachePath("cache");
  EXPECT_EQ(home.path() + "/.cache/velora-desktop/cache", cachePath);
  EXPECT_TRUE(isFolder(cachePath));
  EXPECT_EQ(home.path() + "/.local/share/velora-desktop/storage", helper.getLocalAppPath("storage"));
  EXPECT_TRUE(isFolder(home.path() + "/.local/share/velora-desktop/storage"));
  EXPECT_EQ(home.path() + "/.local/share/velora-desktop/", helper.getLocalAppPath(""));
  EXPECT_EQ(home.path() + "/Music/Velora", helper.getLocalMusicPath());
  EXPECT_TRUE(isFolder(home.path() + "/Music/Velora"));
  {
    TestEnvironmentVariable state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(home.path() + "/.local/state/velora-desktop", helper.getLocalLogPath());
  }
  EXPECT_TRUE(isFolder(home.path() + "/.local/state/velora-desktop"));
  EXPECT_EQ("", helper.getLocalPath(static_cast<VLSettingHelper::LocalFolder>(4)));

  // Removed levels come back on the next call.
  ASSERT_EQ(0, rmdir(cachePath.c_str()));
  ASSERT_EQ(0, rmdir((home.path() + "/.cache/velora-desktop").c_str()));
  EXPECT_EQ(cachePath, helper.getLocalCachePath("cache"));
  EXPECT_TRUE(isFolder(cachePath));
}

TEST_F(VLSettingHelperTest, AbsoluteXdgVariablesWinRelativeOnesAreIgnored) {
  TestFolder elsewhere;
  TestEnvironmentVariable cacheHome("XDG_CACHE_HOME", elsewhere.path().c_str());
  TestEnvironmentVariable dataHome("XDG_DATA_HOME", "relative/data");
  TestEnvironmentVariable configHome("XDG_CONFIG_HOME", elsewhere.path().c_str());
  VLLinuxSettingHelper helper(home.path());
  EXPECT_EQ(elsewhere.path() + "/velora-desktop/cache", helper.getLocalCachePath("cache"));
  EXPECT_EQ(home.path() + "/.local/share/velora-desktop/import", helper.getLocalAppPath("import"));
  EXPECT_EQ(elsewhere.path() + "/velora-desktop/preferences", helper.getPreferencesPath());
  helper.setValue("k", "v");
  EXPECT_EQ("k=v\n", TestFolder::read(elsewhere.path() + "/velora-desktop/preferences"));
}

// The XDG rules: a base folder that is missing is made with its parents,
// private to the user; folders that exist keep their mode.
TEST_F(VLSettingHelperTest, XdgFoldersAreMadeWithTheirParentsPrivateToTheUser) {
  TestFolder elsewhere;
  ASSERT_EQ(0, chmod(elsewhere.path().c_str(), 0755));
  TestEnvironmentVariable dataHome("XDG_DATA_HOME", (elsewhere.path() + "/a/b/data/").c_str());
  TestEnvironmentVariable stateHome("XDG_STATE_HOME", (elsewhere.path() + "//c/state").c_str());
  TestEnvironmentVariable configHome("XDG_CONFIG_HOME", (elsewhere.path() + "/d/config").c_str());
  VLLinuxSettingHelper helper(home.path());
  EXPECT_EQ(elsewhere.path() + "/a/b/data/velora-desktop/storage", helper.getLocalAppPath("storage"));
  EXPECT_EQ(elsewhere.path() + "//c/state/velora-desktop", helper.getLocalLogPath());
  helper.setValue("k", "v");
  EXPECT_EQ("k=v\n", TestFolder::read(elsewhere.path() + "/d/config/velora-desktop/preferences"));
  for (const char* made : {"/a", "/a/b", "/a/b/data", "/a/b/data/velora-desktop", "/c", "/c/state", "/d"}) {
    struct stat status;
    ASSERT_EQ(0, stat((elsewhere.path() + made).c_str(), &status)) << made;
    EXPECT_EQ(0700u, status.st_mode & 07777) << made;
  }
  struct stat status;
  ASSERT_EQ(0, stat(elsewhere.path().c_str(), &status));
  EXPECT_EQ(0755u, status.st_mode & 07777);
}

TEST_F(VLSettingHelperTest, MusicFolderFromUserDirs) {
  ASSERT_EQ(0, mkdir((home.path() + "/.config").c_str(), 0755));
  home.writeFile(".config/user-dirs.dirs",
                 "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                 "XDG_MUSIC_DIR=\"$HOME/My \\\"Tunes\\\"\"\n");
  VLLinuxSettingHelper helper(home.path());
  EXPECT_EQ(home.path() + "/My \"Tunes\"/Velora", helper.getLocalMusicPath());

  home.writeFile(".config/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/\"\n");  // disabled
  EXPECT_EQ(home.path() + "/Music/Velora", helper.getLocalMusicPath());

  TestFolder absolute;
  home.writeFile(".config/user-dirs.dirs", "XDG_MUSIC_DIR=\"" + absolute.path() + "\"\n");
  EXPECT_EQ(absolute.path() + "/Velora", helper.getLocalMusicPath());
}

TEST_F(VLSettingHelperTest, UnusableHomeGivesNoFolderAndWritesNothingInTheCurrentFolder) {
  // The home folder is a regular file, so no level below it can be made
  // (ENOTDIR, which also holds for root).
  std::string file = home.writeFile("not-a-folder", "x");
  VLLinuxSettingHelper helper(file);
  TestFolder current;
  char previous[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(current.path().c_str()));

  size_t mark = VLTestLog::mark();
  EXPECT_EQ("", helper.getLocalCachePath("cache"));
  EXPECT_EQ("", helper.getLocalMusicPath());
  {
    TestEnvironmentVariable state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ("", helper.getLocalLogPath());
  }
  EXPECT_FALSE(isFolder(current.path() + "/cache"));
  ASSERT_EQ(0, chdir(previous));

  std::string log = VLTestLog::since(mark);
  EXPECT_NE(std::string::npos, log.find("Unable to create directory : " + file + "/.cache (Not a directory)"));
  EXPECT_NE(std::string::npos, log.find("Unable to retrieve local cache path"));
  EXPECT_NE(std::string::npos, log.find("Unable to retrieve local music path"));
  EXPECT_EQ("", helper.getLocalPath(VLSettingHelper::LOCAL_FOLDER_APPLICATION));

  // A sub-folder that cannot be made gives the empty text.
  VLLinuxSettingHelper good(home.path());
  ASSERT_NE("", good.getLocalCachePath("other"));
  home.writeFile(".cache/velora-desktop/cache", "");
  EXPECT_EQ("", good.getLocalCachePath("cache"));
}
