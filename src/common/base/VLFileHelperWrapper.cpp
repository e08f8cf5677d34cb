#include "VLFileHelperWrapper.h"

bool VLFileHelperWrapper::createDirectory(const std::string& path)
{
    return m_target->createDirectory(path);
}

char VLFileHelperWrapper::getSeparator()
{
    return m_target->getSeparator();
}

uint64_t VLFileHelperWrapper::getFileSize(const std::string& path)
{
    return m_target->getFileSize(path);
}

VLFolder* VLFileHelperWrapper::openFolder(const std::string& path)
{
    return m_target->openFolder(path);
}

bool VLFileHelperWrapper::listFiles(const std::string& directory, std::list<std::string>* files)
{
    return m_target->listFiles(directory, files);
}

bool VLFileHelperWrapper::forEachFile(const std::string& directory,
                                      const std::function<void(std::string_view name)>& visit)
{
    return m_target->forEachFile(directory, visit);
}

bool VLFileHelperWrapper::removeFile(const std::string& path)
{
    return m_target->removeFile(path);
}

bool VLFileHelperWrapper::renameFile(const std::string& from, const std::string& to)
{
    return m_target->renameFile(from, to);
}

bool VLFileHelperWrapper::copyFile(const std::string& from, const std::string& to)
{
    return m_target->copyFile(from, to);
}

bool VLFileHelperWrapper::isSameVolume(const std::string& first, const std::string& second)
{
    return m_target->isSameVolume(first, second);
}

bool VLFileHelperWrapper::getFreeSpace(const std::string& path, double* available, double* total)
{
    return m_target->getFreeSpace(path, available, total);
}
