#include "VLDesktopFile.h"

#include <cmath>

#include "VLDesktopSettingValue.h"
#include "VLFileFormat.h"
#include "VLFileId.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

VLDesktopFile::VLDesktopFile(VLRepositoryFile* file)
    : entityId_(VLDesktopSettingValue::entityIdToInt(file->fileId().entityId())),
      formatId_(int(file->fileId().getFormat()->getId())),
      repository_(file->getRepository() ? file->getRepository()->getName() : std::string()),
      metadata_(file->sharedMetadata()),
      bytesLoaded_(int64_t(file->getLoaded()))
      // The repository reports an unknown size as all ones.
      ,
      bytesTotal_(file->getSize() == decltype(file->getSize())(-1) ? -1 : int64_t(file->getSize())),
      fileState_(uint32_t(file->getFlags())),
      downloadState_(int(file->getCustom())),
      position_(int(file->getPosition())),
      lastListening_(int64_t(file->getLastOpen())),
      listeningCount_(uint32_t(file->getTotalLockCount())),
      lastAdd_(int64_t(file->getLastAdd())),
      urlData_(file->sharedProviderData()),
      retryIn_(int(std::ceil(file->getRetryDelay()))),
      failure_(file->getFailure()) {}

VLDesktopFile::VLDesktopFile(VLRepository* repository, const VLFileId& id)
    : entityId_(VLDesktopSettingValue::entityIdToInt(id.getEntityId())),
      formatId_(int(id.getFormat()->getId())),
      repository_(repository ? repository->getName() : std::string()),
      bytesLoaded_(0),
      bytesTotal_(-1),
      fileState_(0),
      downloadState_(0),
      position_(-1),
      lastListening_(0),
      listeningCount_(0),
      lastAdd_(0),
      retryIn_(0) {}

VLDesktopFile::~VLDesktopFile() {}
