#include "VLThreadLinuxImpl.h"

#include <cstring>

#include "VLLogger.h"
#include "VLRunnerObject.h"

VLThreadLinuxImpl::VLThreadLinuxImpl(const std::string& name, VLRunnerObject* runner, int parameter)
    : VLThread(name, runner, parameter), m_handle(), m_started(false), m_joined(false)
{
}

VLThreadLinuxImpl::~VLThreadLinuxImpl()
{
    if (m_started && !m_joined)
        pthread_detach(m_handle);
}

bool VLThreadLinuxImpl::start()
{
    int error = pthread_create(&m_handle, nullptr, &VLRunnerObject::threadEntry, getRunner());
    if (error != 0) {
        VL_LOG_ERROR("pthread_create has failed (" << error << ") : " << getName());
        if (getRunner())
            getRunner()->setThread(nullptr);
        return false;
    }
    m_started = true;
    return true;
}

void VLThreadLinuxImpl::join()
{
    if (!m_started || m_joined)
        return;
    pthread_join(m_handle, nullptr);
    m_joined = true;
}
