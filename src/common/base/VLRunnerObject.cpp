#include "VLRunnerObject.h"

#include "VLPlatformFactory.h"
#include "VLThread.h"

VLRunnerObject::VLRunnerObject() : m_stop(false), m_thread(nullptr)
{
}

VLRunnerObject::~VLRunnerObject()
{
    delete m_thread;
}

void VLRunnerObject::run()
{
    // The flag is deliberately not cleared here: it was cleared when the thread
    // registered itself, so a stop() that comes before this thread gets scheduled
    // still ends the loop.
    while (!m_stop.load(std::memory_order_acquire))
        executeRunLoop();
}

void VLRunnerObject::stop()
{
    m_stop.store(true, std::memory_order_release);
}

void VLRunnerObject::executeRunLoop()
{
}

VLThread* VLRunnerObject::startThread(const std::string& name, int parameter)
{
    return VLPlatformFactory::instance()->createThread(name, this, parameter);
}

void VLRunnerObject::setThread(VLThread* thread)
{
    m_thread = thread;
    if (thread)
        m_stop.store(false, std::memory_order_release);
}

void* VLRunnerObject::threadEntry(void* runner)
{
    if (runner)
        static_cast<VLRunnerObject*>(runner)->run();
    return nullptr;
}
