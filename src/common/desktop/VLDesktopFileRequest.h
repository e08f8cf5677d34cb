#pragma once

#include <string>
#include <vector>

// One queued page query for files (getFiles, or getFileCount when countOnly):
// the repositories to search in order, the file-flag mask a file must have in
// full (0 = any), the download-state mask of which a file must have one bit
// (0 = any), and the page callback that receives the answer. The callback is an
// opaque reference held by the bridge; the request never releases it.
// Immutable; made on the main thread and answered on the worker thread.
class VLDesktopFileRequest {
 public:
  VLDesktopFileRequest(const std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                       bool countOnly, void* callback);
  virtual ~VLDesktopFileRequest();

  const std::vector<std::string>& getRepositories() const { return repositories_; }
  int getFileFlags() const { return fileFlags_; }
  unsigned int getDownloadState() const { return downloadState_; }
  void* getCallback() const { return callback_; }
  bool isCountOnly() const { return countOnly_; }

 private:
  std::vector<std::string> repositories_;
  int fileFlags_;
  unsigned int downloadState_;
  void* callback_;
  bool countOnly_;
};
