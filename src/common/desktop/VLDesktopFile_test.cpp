#include "VLDesktopFile.h"

#include <gtest/gtest.h>

#include <climits>

#include "VLFileFormat.h"
#include "VLFileId.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "TestFolder.h"

namespace {

const uint32_t kFormat = VLFileFormat::getTable()[3].getId();

class DesktopFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repository_.reset(new VLRepository(nullptr, nullptr, "download", "#anonymous#", 604800, folder_.path(),
                                       folder_.path(), 0, false, 0.0));
    repository_->init();
  }
  void TearDown() override { repository_->close(); }

  TestFolder folder_;
  std::unique_ptr<VLRepository> repository_;
};

TEST_F(DesktopFileTest, SnapshotOfARepositoryFile) {
  VLRepositoryFile* file = repository_->getFile(VLFileId("4242", kFormat), true);
  ASSERT_NE(nullptr, file);
  file->setMetadata("{\"title\":\"t\"}");
  file->setProviderData("opaque");
  file->setPosition(7);

  VLDesktopFile record(file);
  EXPECT_EQ(4242, record.getEntityId());
  EXPECT_EQ(int(kFormat), record.getFormatId());
  EXPECT_EQ("download", record.getRepository());
  EXPECT_EQ("{\"title\":\"t\"}", record.getMetadata());
  EXPECT_EQ(0, record.getBytesLoaded());
  EXPECT_EQ(-1, record.getBytesTotal()) << "an unknown size reads as -1";
  EXPECT_EQ(uint32_t(file->getFlags()), record.getFileState());
  EXPECT_EQ(7, record.getPosition());
  EXPECT_EQ("opaque", record.getUrlData());

  file->setMetadata("changed");
  EXPECT_EQ("{\"title\":\"t\"}", record.getMetadata()) << "a record is a snapshot";
}

TEST_F(DesktopFileTest, RecordOfAFileKnownOnlyByItsId) {
  VLDesktopFile record(repository_.get(), VLFileId("77", kFormat));
  EXPECT_EQ(77, record.getEntityId());
  EXPECT_EQ(int(kFormat), record.getFormatId());
  EXPECT_EQ("download", record.getRepository());
  EXPECT_EQ("", record.getMetadata());
  EXPECT_EQ(0, record.getBytesLoaded());
  EXPECT_EQ(-1, record.getBytesTotal());
  EXPECT_EQ(0u, record.getFileState());
  EXPECT_EQ(0, record.getDownloadState());
  EXPECT_EQ(-1, record.getPosition());
  EXPECT_EQ(0, record.getLastListening());
  EXPECT_EQ(0u, record.getListeningCount());
  EXPECT_EQ(0, record.getLastAdd());
  EXPECT_EQ("", record.getUrlData());

  // No repository; an entity id beyond int is clamped, not overflowed.
  VLDesktopFile orphan(nullptr, VLFileId("99999999999999999999", kFormat));
  EXPECT_EQ("", orphan.getRepository());
  EXPECT_EQ(INT_MAX, orphan.getEntityId());
}

}  // namespace
