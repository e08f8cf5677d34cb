#include "FileArchiver.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <sys/stat.h>

#include "TestFolder.h"
#include "TestSmallVolume.h"
#include "ZipException.h"
#include "ZipTestPeers.h"

namespace {

std::string randomBytes(size_t length) {
  std::mt19937 generator(7);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = char(generator());
  return bytes;
}

// Python's listing reduced to "name method flags content-hex" per entry.
std::vector<std::string> pythonEntries(const std::string& archive) {
  int status = -1;
  std::vector<std::string> entries;
  for (const std::vector<std::string>& fields : pythonZipEntries(archive, &status))
    entries.push_back(fields[0] + " " + fields[1] + " " + fields[2] + " " + fields[4]);
  EXPECT_EQ(0, status);
  return entries;
}

TEST(FileArchiverTest, PacksFilesInOrderByLastPathComponentAtBestCompression) {
  TestFolder folder;
  std::string log = folder.file("desktop.log");
  std::string other = folder.folder("other") + "/desktop.log";
  std::string big = folder.file("big.bin");
  std::string empty = folder.file("empty.txt");
  TestFolder::write(log, "2024-01-01 first line\n");
  TestFolder::write(other, "second file, same name\n");
  TestFolder::write(big, randomBytes(300000));
  TestFolder::write(empty, "");
  std::string archive = folder.file("bundle.zip");
  TestFolder::write(archive, "an older archive, replaced");

  FileArchiver archiver({log, other, big, folder.file("missing.txt"), empty});
  archiver.createArchiveWithName(archive);

  EXPECT_EQ(0, unzipTest(archive).status) << unzipTest(archive).output;
  std::vector<std::string> expected = {
      "desktop.log 8 2 " + zipDigest("2024-01-01 first line\n"),
      "desktop.log 8 2 " + zipDigest("second file, same name\n"),
      "big.bin 8 2 " + zipDigest(randomBytes(300000)),
      "missing.txt 8 2 " + zipDigest(""),  // unreadable: an empty entry
      "empty.txt 8 2 " + zipDigest(""),
  };
  EXPECT_EQ(expected, pythonEntries(archive));
}

TEST(FileArchiverTest, AnEmptyListMakesAValidEmptyArchive) {
  TestFolder folder;
  std::string archive = folder.file("empty.zip");
  FileArchiver().createArchiveWithName(archive);
  EXPECT_TRUE(pythonEntries(archive).empty());
  EXPECT_EQ(22u, TestFolder::sizeOf(archive));  // the end-of-central-directory record alone
}

TEST(FileArchiverTest, AFailureRaisesAndLeavesNoHalfWrittenArchive) {
  TestFolder folder;
  std::string missingFolder = folder.file("missing/bundle.zip");
  EXPECT_THROW(FileArchiver().createArchiveWithName(missingFolder), ZipException);

  std::string big = folder.file("big.bin");
  TestFolder::write(big, randomBytes(200000));
  std::string volume = folder.folder("volume");
  int result = TestSmallVolume::run(volume, "64k", [&] {
    std::string archive = volume + "/bundle.zip";
    try {
      FileArchiver({big}).createArchiveWithName(archive);
      return 1;  // a 200 kB random file cannot fit in 64 kB
    } catch (const ZipException& exception) {
      return TestFolder::exists(archive) ? 2 : 0;
    }
  });
  if (result == -1) GTEST_SKIP() << "no user namespaces here for a small volume";
  EXPECT_EQ(0, result);
}

}  // namespace
