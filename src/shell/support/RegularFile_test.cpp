// Reading only plain files of bounded size: what stands in a file's place
// otherwise is refused without blocking and without being read.
#include "RegularFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestFolder.h"

namespace {

TEST(RegularFileTest, ReadsAPlainFileWithinTheLimitAndRefusesEverythingElse) {
  TestFolder folder;
  std::string plain = folder.writeFile("plain", std::string("a\0b", 3));
  std::string contents;
  std::string why;
  ASSERT_TRUE(RegularFile::read(plain, 3, contents, why)) << why;
  EXPECT_EQ(contents, std::string("a\0b", 3));

  std::string fifo = folder.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string zero = folder.file("zero");
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  std::string link = folder.file("link");
  ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);
  struct Refused {
    std::string path;
    size_t limit;
    std::string why;
  };
  for (const Refused& refused :
       {Refused{plain, 2, "larger than 2 bytes"}, Refused{fifo, 100, "a FIFO"}, Refused{zero, 100, "a symbolic link"},
        Refused{link, 100, "a symbolic link"}, Refused{"/dev/zero", 100, "a device"},
        Refused{folder.path(), 100, "a folder"}, Refused{folder.file("missing"), 100, "No such file or directory"}}) {
    SCOPED_TRACE(refused.path);
    contents = "untouched";
    EXPECT_FALSE(RegularFile::read(refused.path, refused.limit, contents, why));
    EXPECT_EQ(why, refused.why);
    EXPECT_EQ(contents, "untouched");
  }
}

}  // namespace
