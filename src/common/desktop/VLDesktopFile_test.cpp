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

class DesktopFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_repository.reset(new VLRepository(nullptr, nullptr, "download", "#anonymous#", 604800,
                                            m_folder.path(), m_folder.path(), 0, false, 0.0));
        m_repository->init();
    }
    void TearDown() override { m_repository->close(); }

    TestFolder m_folder;
    std::unique_ptr<VLRepository> m_repository;
};

TEST_F(DesktopFileTest, SnapshotOfARepositoryFile)
{
    VLRepositoryFile* file = m_repository->getFile(VLFileId("4242", kFormat), true);
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

TEST_F(DesktopFileTest, RecordOfAFileKnownOnlyByItsId)
{
    VLDesktopFile record(m_repository.get(), VLFileId("77", kFormat));
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

} // namespace
