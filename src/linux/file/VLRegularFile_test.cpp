#include "VLRegularFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TestFolder.h"

namespace {

TEST(VLRegularFileTest, ReadsOnlyRegularFilesWithoutBlockingAndWithinTheCap) {
  TestFolder folder;
  std::string file = folder.file("log.txt");
  ASSERT_TRUE(TestFolder::write(file, "0123456789"));
  std::string contents;
  EXPECT_TRUE(VLRegularFile::readHead(file, 4, contents));
  EXPECT_EQ(contents, "0123");
  EXPECT_TRUE(VLRegularFile::readTail(file, 4, contents));
  EXPECT_EQ(contents, "6789");
  EXPECT_TRUE(VLRegularFile::readTail(file, 100, contents));
  EXPECT_EQ(contents, "0123456789");

  // A FIFO without a writer would block an ordinary open for ever.
  std::string fifo = folder.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string error;
  EXPECT_FALSE(VLRegularFile::readHead(fifo, 4, contents, &error));
  EXPECT_EQ(error, "not a regular file");

  std::string zero = folder.file("zero");
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  EXPECT_LT(VLRegularFile::openForReading(zero, VLRegularFile::Links::Followed), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_LT(VLRegularFile::openForReading(zero), 0);
  EXPECT_EQ(errno, ELOOP);

  std::string link = folder.file("link");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  EXPECT_FALSE(VLRegularFile::readHead(link, 4, contents));
  EXPECT_TRUE(VLRegularFile::readHead(link, 4, contents, nullptr, VLRegularFile::Links::Followed));
  EXPECT_EQ(contents, "0123");
}

}  // namespace
