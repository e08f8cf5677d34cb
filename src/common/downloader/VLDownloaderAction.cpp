#include "VLDownloaderAction.h"

VLDownloaderAction::VLDownloaderAction(Type type) : m_type(type), m_repository(nullptr), m_position(-1)
{
}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId)
    : m_type(type), m_repository(repository), m_fileId(new VLFileId(fileId)), m_position(-1)
{
}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId,
                                       int position)
    : m_type(type), m_repository(repository), m_fileId(new VLFileId(fileId)), m_position(position)
{
}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId,
                                       const std::string& data)
    : m_type(type), m_repository(repository), m_fileId(new VLFileId(fileId)), m_data(data), m_position(-1)
{
}

VLDownloaderAction::~VLDownloaderAction()
{
}
