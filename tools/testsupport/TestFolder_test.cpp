// The scratch folder: made under $TMPDIR, removed whole, and links in it are
// removed without touching what they point to.

#include "TestEnvironmentVariable.h"
#include "TestFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(TestFolderTest, LivesUnderTmpdirAndGoesWithEverythingInItButWhatItsLinksReach) {
  TestFolder outside;
  const std::string kept = outside.writeFile("kept", "bytes");
  std::string made;
  {
    const std::string tmp = outside.folder("tmp");
    TestEnvironmentVariable tmpdir("TMPDIR", tmp.c_str());
    TestFolder folder;
    made = folder.path();
    EXPECT_EQ(tmp + "/", made.substr(0, tmp.size() + 1));
    EXPECT_EQ(folder.file("a"), folder.writeFile("a", "1"));
    EXPECT_EQ("1", TestFolder::read(folder.file("a")));
    TestFolder::write(folder.folder("sub") + "/b", "2");
    ASSERT_EQ(0, symlink(outside.path().c_str(), folder.file("sub/link").c_str()));
  }
  EXPECT_FALSE(TestFolder::exists(made));
  EXPECT_EQ("bytes", TestFolder::read(kept));
}
