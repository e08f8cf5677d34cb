#include "VLDesktopFile.h"

#include <cmath>

#include "VLDesktopSettingValue.h"
#include "VLFileFormat.h"
#include "VLFileId.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

VLDesktopFile::VLDesktopFile(VLRepositoryFile* file)
    : m_entityId(VLDesktopSettingValue::entityIdToInt(file->fileId().entityId()))
    , m_formatId(int(file->fileId().getFormat()->getId()))
    , m_repository(file->getRepository() ? file->getRepository()->getName() : std::string())
    , m_metadata(file->sharedMetadata())
    , m_bytesLoaded(int64_t(file->getLoaded()))
    // The repository reports an unknown size as all ones.
    , m_bytesTotal(file->getSize() == decltype(file->getSize())(-1) ? -1 : int64_t(file->getSize()))
    , m_fileState(uint32_t(file->getFlags()))
    , m_downloadState(int(file->getCustom()))
    , m_position(int(file->getPosition()))
    , m_lastListening(int64_t(file->getLastOpen()))
    , m_listeningCount(uint32_t(file->getTotalLockCount()))
    , m_lastAdd(int64_t(file->getLastAdd()))
    , m_urlData(file->sharedProviderData())
    , m_retryIn(int(std::ceil(file->getRetryDelay())))
    , m_failure(file->getFailure())
{
}

VLDesktopFile::VLDesktopFile(VLRepository* repository, const VLFileId& id)
    : m_entityId(VLDesktopSettingValue::entityIdToInt(id.getEntityId()))
    , m_formatId(int(id.getFormat()->getId()))
    , m_repository(repository ? repository->getName() : std::string())
    , m_bytesLoaded(0)
    , m_bytesTotal(-1)
    , m_fileState(0)
    , m_downloadState(0)
    , m_position(-1)
    , m_lastListening(0)
    , m_listeningCount(0)
    , m_lastAdd(0)
    , m_retryIn(0)
{
}

VLDesktopFile::~VLDesktopFile()
{
}
