#include "VLFileHelperWrapper.h"

bool VLFileHelperWrapper::createDirectory(const std::string& path) {
  return target_->createDirectory(path);
}

bool VLFileHelperWrapper::createPrivateDirectory(const std::string& path) {
  return target_->createPrivateDirectory(path);
}

char VLFileHelperWrapper::getSeparator() {
  return target_->getSeparator();
}

uint64_t VLFileHelperWrapper::getFileSize(const std::string& path) {
  return target_->getFileSize(path);
}

VLFolder* VLFileHelperWrapper::openFolder(const std::string& path) {
  return target_->openFolder(path);
}

bool VLFileHelperWrapper::listFiles(const std::string& directory, std::list<std::string>* files) {
  return target_->listFiles(directory, files);
}

bool VLFileHelperWrapper::forEachFile(const std::string& directory,
                                      const std::function<void(std::string_view name)>& visit) {
  return target_->forEachFile(directory, visit);
}

bool VLFileHelperWrapper::removeFile(const std::string& path) {
  return target_->removeFile(path);
}

bool VLFileHelperWrapper::renameFile(const std::string& from, const std::string& to) {
  return target_->renameFile(from, to);
}

bool VLFileHelperWrapper::copyFile(const std::string& from, const std::string& to) {
  return target_->copyFile(from, to);
}

bool VLFileHelperWrapper::isSameVolume(const std::string& first, const std::string& second) {
  return target_->isSameVolume(first, second);
}

bool VLFileHelperWrapper::getFreeSpace(const std::string& path, double* available, double* total) {
  return target_->getFreeSpace(path, available, total);
}
