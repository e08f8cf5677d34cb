#include "VLDownloaderAction.h"

VLDownloaderAction::VLDownloaderAction(Type type) : type_(type), repository_(nullptr), position_(-1) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId)
    : type_(type), repository_(repository), fileId_(new VLFileId(fileId)), position_(-1) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId, int position)
    : type_(type), repository_(repository), fileId_(new VLFileId(fileId)), position_(position) {}

VLDownloaderAction::VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId,
                                       const std::string& data)
    : type_(type), repository_(repository), fileId_(new VLFileId(fileId)), data_(data), position_(-1) {}

VLDownloaderAction::~VLDownloaderAction() {}
