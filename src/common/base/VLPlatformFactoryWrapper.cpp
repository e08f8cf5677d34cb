#include "VLPlatformFactoryWrapper.h"

VLThread* VLPlatformFactoryWrapper::createThread(const std::string& name, VLRunnerObject* runner, int parameter)
{
    return m_target->createThread(name, runner, parameter);
}

VLMutex* VLPlatformFactoryWrapper::createMutex()
{
    return m_target->createMutex();
}

VLWakeEvent* VLPlatformFactoryWrapper::createWakeEvent()
{
    return m_target->createWakeEvent();
}

VLCrypto* VLPlatformFactoryWrapper::createCrypto()
{
    return m_target->createCrypto();
}

VLFileHelper* VLPlatformFactoryWrapper::getFileHelper()
{
    return m_target->getFileHelper();
}

VLMappedFile* VLPlatformFactoryWrapper::createMappedFile(const std::string& path)
{
    return m_target->createMappedFile(path);
}

void VLPlatformFactoryWrapper::sleep(uint64_t milliseconds)
{
    m_target->sleep(milliseconds);
}

double VLPlatformFactoryWrapper::getTime()
{
    return m_target->getTime();
}

int64_t VLPlatformFactoryWrapper::getEpochTime()
{
    return m_target->getEpochTime();
}

VLSettingHelper* VLPlatformFactoryWrapper::getSettingHelper()
{
    return m_target->getSettingHelper();
}

bool VLPlatformFactoryWrapper::getProxyConfig(const std::string& url, std::string& proxy)
{
    return m_target->getProxyConfig(url, proxy);
}

std::string VLPlatformFactoryWrapper::getNoProxyHosts()
{
    return m_target->getNoProxyHosts();
}
