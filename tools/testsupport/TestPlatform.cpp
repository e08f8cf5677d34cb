#include "TestPlatform.h"

bool TestFileHelper::getFreeSpace(const std::string& path, double* available, double* total)
{
    ++m_freeSpaceQueries;
    if (!m_fake)
        return VLFileHelperWrapper::getFreeSpace(path, available, total);
    if (!m_succeed)
        return false;
    if (available)
        *available = m_available;
    if (total)
        *total = m_total;
    return true;
}

void TestFileHelper::fakeFreeSpace(double available, double total, bool succeed)
{
    m_available = available;
    m_total = total;
    m_succeed = succeed;
    m_fake = true;
}

TestPlatform::TestPlatform()
    : VLPlatformFactoryWrapper(VLPlatformFactory::createDefault()), m_fileHelper(target()->getFileHelper())
{
}

TestPlatform* TestPlatform::install()
{
    static TestPlatform* platform = [] {
        TestPlatform* made = new TestPlatform();
        VLPlatformFactory::setInstance(made);
        return made;
    }();
    return platform;
}

double TestPlatform::getTime()
{
    if (m_frozen) {
        double time = m_fakeTime;
        if (m_step != 0)
            m_fakeTime = time + m_step;
        return time;
    }
    return VLPlatformFactoryWrapper::getTime();
}

int64_t TestPlatform::getEpochTime()
{
    if (m_epochFrozen)
        return m_fakeEpoch;
    return VLPlatformFactoryWrapper::getEpochTime();
}
