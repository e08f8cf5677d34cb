#pragma once

#include <sys/types.h>

#include "VLFileHelper.h"

// The file helper over POSIX calls. No state.
class VLLinuxFileHelper : public VLFileHelper {
 public:
  bool createDirectory(const std::string& path) override;
  bool createPrivateDirectory(const std::string& path) override;
  char getSeparator() override;
  uint64_t getFileSize(const std::string& path) override;
  VLFolder* openFolder(const std::string& path) override;
  bool listFiles(const std::string& directory, std::list<std::string>* files) override;
  bool forEachFile(const std::string& directory, const std::function<void(std::string_view name)>& visit) override;
  bool removeFile(const std::string& path) override;
  bool renameFile(const std::string& from, const std::string& to) override;
  bool copyFile(const std::string& from, const std::string& to) override;
  bool isSameVolume(const std::string& first, const std::string& second) override;
  bool getFreeSpace(const std::string& path, double* available, double* total) override;

 private:
  static bool makeFolder(const std::string& path, mode_t mode);
};
