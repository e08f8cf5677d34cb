#ifndef TEST_PLATFORM_H
#define TEST_PLATFORM_H

#include <atomic>
#include <cstdint>
#include <string>

#include "VLFileHelperWrapper.h"
#include "VLPlatformFactoryWrapper.h"

// The platform's file helper with an optional fake answer for the volume's
// space, for limits that no test machine's volume could show, and removals of
// repository trash files that can be held back, to catch a deletion half-way.
class TestFileHelper : public VLFileHelperWrapper
{
public:
    explicit TestFileHelper(VLFileHelper* target) : VLFileHelperWrapper(target) {}

    bool getFreeSpace(const std::string& path, double* available, double* total) override;

    // From now on getFreeSpace answers these figures (or fails when
    // succeed is false) instead of asking the volume.
    void fakeFreeSpace(double available, double total, bool succeed = true);
    // Back to the volume's own figures.
    void useRealFreeSpace() { m_fake = false; }
    // How many times getFreeSpace was asked (a measure of size checks).
    int freeSpaceQueries() const { return m_freeSpaceQueries; }

    bool removeFile(const std::string& path) override;
    // While held, a removal of a path ending in ".deleted" waits (any thread
    // may release it).
    void holdTrashRemovals(bool held) { m_trashHeld = held; }

private:
    std::atomic<bool> m_fake{false};
    std::atomic<bool> m_succeed{true};
    std::atomic<double> m_available{0};
    std::atomic<double> m_total{0};
    std::atomic<int> m_freeSpaceQueries{0};
    std::atomic<bool> m_trashHeld{false};
};

// The platform's own factory (VLPlatformFactory::createDefault) with clocks
// the test sets and the file helper above. Installed as the process-wide
// factory by install(), before the core is used; the object lives for the
// whole test program.
class TestPlatform : public VLPlatformFactoryWrapper
{
public:
    // The process's test platform, installed on first call.
    static TestPlatform* install();

    double getTime() override;
    int64_t getEpochTime() override;
    VLFileHelper* getFileHelper() override { return &m_fileHelper; }

    // Freezes the clock at seconds; advance() moves it forward.
    void setTime(double seconds) { m_fakeTime = seconds; m_frozen = true; m_step = 0; }
    void advance(double seconds) { m_fakeTime = m_fakeTime + seconds; }
    // A frozen clock moves ahead by seconds after every read (until setTime):
    // work bounded by time then takes as many reads as the test wants.
    void stepEachRead(double seconds) { m_step = seconds; }
    // Back to the monotonic clock.
    void useRealTime() { m_frozen = false; }

    // Freezes the epoch clock (stored stamps) at seconds since 1970.
    void setEpochTime(int64_t seconds) { m_fakeEpoch = seconds; m_epochFrozen = true; }
    // Back to the system's epoch clock.
    void useRealEpochTime() { m_epochFrozen = false; }

    TestFileHelper& fileHelper() { return m_fileHelper; }

private:
    TestPlatform();

    std::atomic<bool> m_frozen{false};
    std::atomic<double> m_fakeTime{0};
    std::atomic<double> m_step{0};
    std::atomic<bool> m_epochFrozen{false};
    std::atomic<int64_t> m_fakeEpoch{0};
    TestFileHelper m_fileHelper;
};

#endif
