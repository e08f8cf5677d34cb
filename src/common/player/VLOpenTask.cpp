#include "VLOpenTask.h"

#include "VLWakeEvent.h"

VLOpenTask::VLOpenTask(const std::string& url, std::atomic<size_t>* fileSize, std::string* data,
                       VLFileHandle** handle, std::shared_ptr<VLWakeEvent> served)
    : VLTask(Open), m_url(url), m_fileSize(fileSize), m_data(data), m_handle(handle), m_served(std::move(served))
{
    *m_handle = nullptr;
    m_data->clear();
    m_fileSize->store(kPendingSize, std::memory_order_relaxed);
}

void VLOpenTask::setFileSize(size_t size)
{
    m_fileSize->store(size, std::memory_order_release);
    if (m_served)
        m_served->signal();
}
