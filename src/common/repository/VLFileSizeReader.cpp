#include "VLFileSizeReader.h"

#include <system_error>
#include <utility>

#include "VLFileHelper.h"
#include "VLFolder.h"

namespace {

// Requests handed to the helpers at once: few enough that the helpers start
// while the caller is still reading rows, enough that the lock is rare.
const size_t kBatchSize = 64;

} // namespace

VLFileSizeReader::VLFileSizeReader(VLFileHelper* helper, const std::string& directory, unsigned threads)
    : m_helper(helper), m_directory(directory + helper->getSeparator()), m_folder(helper->openFolder(directory))
{
    m_pending.reserve(kBatchSize);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            m_threads.emplace_back(&VLFileSizeReader::runHelper, this);
        } catch (const std::system_error&) {
            break;
        }
    }
}

VLFileSizeReader::~VLFileSizeReader()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void VLFileSizeReader::add(Request* request)
{
    m_pending.push_back(request);
    if (m_pending.size() >= kBatchSize)
        handOver();
}

bool VLFileSizeReader::isDone(Request* request, bool wait)
{
    if (request->done.load(std::memory_order_acquire))
        return true;
    if (!wait)
        return false;
    handOver();
    // Reads queued batches here rather than wait idle; once none is left, the
    // request is in a batch a helper is reading.
    Batch batch;
    while (!request->done.load(std::memory_order_acquire) && takeBatch(&batch))
        read(batch);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_read.wait(lock, [request] { return request->done.load(std::memory_order_acquire); });
    return true;
}

void VLFileSizeReader::handOver()
{
    if (m_pending.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(m_pending));
    }
    m_pending = Batch();
    m_pending.reserve(kBatchSize);
    m_work.notify_one();
}

bool VLFileSizeReader::takeBatch(Batch* batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty())
        return false;
    *batch = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

void VLFileSizeReader::read(const Batch& batch)
{
    std::string path;
    for (Request* request : batch) {
        if (m_folder) {
            request->contentSize = m_folder->getFileSize(request->name.c_str());
            request->bitmapSize = m_folder->getFileSize((request->name + ".part").c_str());
        } else {
            path = m_directory + request->name;
            request->contentSize = m_helper->getFileSize(path);
            request->bitmapSize = m_helper->getFileSize(path + ".part");
        }
        request->sizesRead();
        request->done.store(true, std::memory_order_release);
    }
    // Under the lock, so that a caller between its check and its wait cannot
    // miss the news.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_read.notify_all();
}

void VLFileSizeReader::runHelper()
{
    for (;;) {
        Batch batch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            batch = std::move(m_queue.front());
            m_queue.pop_front();
        }
        read(batch);
    }
}
