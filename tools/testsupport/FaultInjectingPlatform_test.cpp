#include "FaultInjectingPlatform.h"

#include <gtest/gtest.h>

#include <memory>

#include "TestFolder.h"
#include "VLMappedFile.h"
#include "VLTestLog.h"

// The armed call fails, and only that one: counted from the arming, across
// every mapped file made by the platform; the failed file is closed and its
// bytes on disk are as they were, with the real failure's error logged.
TEST(FaultInjectingPlatform, TheArmedOpenOrResizeFailsAloneAndChangesNothingOnDisk) {
  VLTestLog::start();
  TestFolder folder;
  ASSERT_TRUE(TestFolder::write(folder.file("a"), std::string(100, 'a')));
  VLPlatformFactory* previous = VLPlatformFactory::instance();
  {
    FaultInjectingPlatform faults(previous);
    EXPECT_EQ(&faults, VLPlatformFactory::instance());
    std::unique_ptr<VLMappedFile> a(VLPlatformFactory::instance()->createMappedFile(folder.file("a")));
    std::unique_ptr<VLMappedFile> b(faults.createMappedFile(folder.file("b")));
    const int injected = faults.injectedFaults();

    faults.failNthOpen(2);
    size_t mark = VLTestLog::mark();
    ASSERT_TRUE(a->open());
    EXPECT_EQ(100u, a->getSize());
    EXPECT_FALSE(b->open());
    EXPECT_FALSE(b->isOpen());
    EXPECT_FALSE(TestFolder::exists(folder.file("b")));
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("open has failed (5) : " + folder.file("b")));
    EXPECT_TRUE(b->open());  // once only
    EXPECT_EQ(injected + 1, faults.injectedFaults());

    faults.failNthResize(1);
    mark = VLTestLog::mark();
    EXPECT_FALSE(a->resize(4096, true));
    EXPECT_FALSE(a->isOpen());
    EXPECT_EQ(std::string(100, 'a'), TestFolder::read(folder.file("a")));
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("posix_fallocate has failed (28) : " + folder.file("a")));
    EXPECT_TRUE(a->resize(4096, true));
    EXPECT_EQ(4096u, TestFolder::sizeOf(folder.file("a")));

    // Disarmed: no fault is left waiting for a later test.
    faults.failNthOpen(1);
    faults.failNthOpen(0);
    EXPECT_TRUE(a->open());
    EXPECT_EQ(injected + 2, faults.injectedFaults());
  }
  EXPECT_EQ(previous, VLPlatformFactory::instance());
}
