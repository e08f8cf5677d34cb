#include "VLDownloaderAction.h"

VLDownloaderAction::VLDownloaderAction(Type type)
    : type(type), repository(nullptr), position(-1) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId)
    : type(type), repository(repository), fileId(new VLFileId(fileId)), position(-1) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId,
                                       int position)
    : type(type), repository(repository), fileId(new VLFileId(fileId)), position(position) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId,
                                       const std::string& data)
    : type(type), repository(repository), fileId(new VLFileId(fileId)), data(data), position(-1) {}

VLDownloaderAction::~VLDownloaderAction() = default;

VLDownloaderAction::Type VLDownloaderAction::getType() const { return type; }

VLRepository* VLDownloaderAction::getRepository() const { return repository; }

const VLFileId* VLDownloaderAction::getFileId() const { return fileId.get(); }

int VLDownloaderAction::getPosition() const { return position; }

std::string VLDownloaderAction::getData() const { return data; }
