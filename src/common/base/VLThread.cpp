#include "VLThread.h"

#include "VLRunnerObject.h"

VLThread::VLThread(const std::string& name, VLRunnerObject* runner, int parameter)
    : m_parameter(parameter), m_runner(runner)
{
    if (m_runner)
        m_runner->setThread(this);
    m_name = name;
}

VLThread::~VLThread()
{
}

void VLThread::requestStop()
{
    if (m_runner)
        m_runner->stop();
}
