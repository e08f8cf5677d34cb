#pragma once

#include "VLFileHelper.h"

// A file helper that hands every call to another file helper, the target:
// derive from it and override only what a test changes (for instance the
// volume's free space). Every virtual of VLFileHelper is forwarded; the
// non-virtual isWritable and createDirectories work through the forwarders.
//
// Ownership: the target is not owned and must outlive the wrapper (the
// platform's own helper lives for the whole process). Threads: as the
// target; the wrapper keeps no state of its own.
class VLFileHelperWrapper : public VLFileHelper {
 public:
  explicit VLFileHelperWrapper(VLFileHelper* target) : target_(target) {}

  VLFileHelper* target() const { return target_; }

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
  VLFileHelper* target_;
};
