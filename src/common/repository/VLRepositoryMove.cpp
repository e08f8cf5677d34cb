#include "VLRepositoryMove.h"

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLThread.h"

namespace {

// Pause of the thread's idle passes once the copying is done, until it is stopped.
const int64_t kIdleMilliseconds = 10;

} // namespace

VLRepositoryMove::VLRepositoryMove(const std::string& directory, const std::vector<Copy>& copies)
    : m_directory(directory), m_copies(copies), m_next(0), m_done(copies.empty()), m_failed(false), m_joined(true)
{
}

VLRepositoryMove::~VLRepositoryMove()
{
    join();
}

bool VLRepositoryMove::start()
{
    if (m_done)
        return true;
    m_joined = !startThread("VLRepositoryMove", 0);
    return !m_joined;
}

void VLRepositoryMove::executeRunLoop()
{
    if (m_done) {
        VLPlatformFactory::instance()->sleep(kIdleMilliseconds);
        return;
    }
    const Copy& copy = m_copies[m_next];
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    // A file removed meanwhile (a download the user took off) has nothing to carry.
    if (!files->copyFile(copy.from, copy.to) && files->getFileSize(copy.from) != 0) {
        VL_LOG_ERROR("Unable to copy repository file to the new directory : " << copy.from << " => " << copy.to);
        m_failed = true;
        m_done = true;
        return;
    }
    if (++m_next == m_copies.size())
        m_done = true;
}

void VLRepositoryMove::join()
{
    if (m_joined)
        return;
    stop();
    getThread()->join();
    m_joined = true;
}

void VLRepositoryMove::abandon()
{
    join();
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    for (const Copy& copy : m_copies)
        files->removeFile(copy.to);
}
