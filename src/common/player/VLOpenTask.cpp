#include "VLOpenTask.h"

VLOpenTask::VLOpenTask(const std::string& url, std::atomic<size_t>* fileSize, std::string* data,
                       VLFileHandle** handle)
    : VLTask(Open), m_url(url), m_fileSize(fileSize), m_data(data), m_handle(handle)
{
    *m_handle = nullptr;
    m_data->clear();
    m_fileSize->store(kPendingSize, std::memory_order_relaxed);
}
