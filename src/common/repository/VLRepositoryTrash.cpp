#include "VLRepositoryTrash.h"

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLThread.h"
#include "VLWakeEvent.h"

namespace {

const std::string_view kTrashSuffix = ".deleted";
const std::string_view kBitmapSuffix = ".part";
// The longest idle wait: a put or a stop ends it at once.
const uint64_t kIdleMilliseconds = 1000;

bool endsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

VLRepositoryTrash::VLRepositoryTrash()
    : m_mutex(VLPlatformFactory::instance()->createMutex()), m_wake(VLPlatformFactory::instance()->createWakeEvent()),
      m_pendingBytes(0), m_pendingPuts(0), m_running(false)
{
}

VLRepositoryTrash::~VLRepositoryTrash()
{
    finish();
}

bool VLRepositoryTrash::isTrashName(std::string_view entry)
{
    if (!endsWith(entry, kTrashSuffix))
        return false;
    entry.remove_suffix(kTrashSuffix.size());
    if (endsWith(entry, kBitmapSuffix))
        entry.remove_suffix(kBitmapSuffix.size());
    return VLRepository::isValidFileName(entry);
}

void VLRepositoryTrash::put(const std::vector<std::string>& paths, uint64_t bytes)
{
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    Put put{{}, 0};
    for (const std::string& path : paths) {
        std::string trashPath = path + std::string(kTrashSuffix);
        if (files->renameFile(path, trashPath))
            put.paths.push_back(std::move(trashPath));
        else
            files->removeFile(path);
    }
    // Bytes whose files were missing or removed at once are not pending.
    if (!put.paths.empty())
        put.bytes = bytes;
    queue(std::move(put));
}

void VLRepositoryTrash::putLeftovers(std::vector<std::string> paths)
{
    queue(Put{std::move(paths), 0});
}

void VLRepositoryTrash::queue(Put put)
{
    if (put.paths.empty())
        return;
    m_pendingBytes += put.bytes;
    ++m_pendingPuts;
    {
        VLMutexLocker lock(m_mutex.get());
        m_queue.push_back(std::move(put));
    }
    if (!m_running)
        m_running = startThread("VLRepositoryTrash", 0) != nullptr;
    m_wake->signal();
    if (!m_running) {
        // No thread to spare: the files go on the calling thread.
        Put now;
        while (take(&now))
            removeAll(now);
    }
}

bool VLRepositoryTrash::take(Put* put)
{
    VLMutexLocker lock(m_mutex.get());
    if (m_queue.empty())
        return false;
    *put = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

void VLRepositoryTrash::removeAll(const Put& put)
{
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    for (const std::string& path : put.paths) {
        if (!files->removeFile(path) && files->getFileSize(path) != 0)
            VL_LOG_WARN("Unable to remove a deleted repository file : " << path);
    }
    m_pendingBytes -= put.bytes;
    --m_pendingPuts;
}

void VLRepositoryTrash::executeRunLoop()
{
    Put put;
    if (take(&put))
        removeAll(put);
    else
        m_wake->wait(kIdleMilliseconds);
}

void VLRepositoryTrash::stop()
{
    VLRunnerObject::stop();
    m_wake->signal();
}

void VLRepositoryTrash::finish()
{
    if (m_running) {
        stop();
        getThread()->join();
        delete getThread();
        setThread(nullptr);
        m_running = false;
    }
    Put put;
    while (take(&put))
        removeAll(put);
}
