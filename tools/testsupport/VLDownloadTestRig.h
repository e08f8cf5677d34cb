#pragma once

// Test and benchmark support (header-only; not used by the core itself): the repositories "cache", "import" and "download" of one identity
// in a folder, the HTTP range provider and a downloader, driven pass by pass
// the way the core's worker thread drives them. The rig is the repositories'
// handler and the provider's URL delegate: it records every download-state
// report and answers each request for a file's URL with the address that the
// test gave for the file's entity.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "VLAskFileUrlDelegate.h"
#include "VLDownloader.h"
#include "VLFileId.h"
#include "VLHttpRepositoryProvider.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLRepositoryHandler.h"

class VLDownloadTestRig : public VLAskFileUrlDelegate, public VLRepositoryHandler {
 public:
  struct StateReport {
    std::string repository;
    std::string file;  // entity id "_" format id
    int state;
  };

  // Opens the three repositories of `identity` under `folder` (made when
  // missing) and the provider. The downloader is made by openDownloader.
  explicit VLDownloadTestRig(const std::string& folder, const std::string& identity = "user")
      : folder_(folder), identity_(identity) {
    mkdir(folder.c_str(), 0700);
    provider_.reset(new VLHttpRepositoryProvider());
    provider_->init(this);
    cache_ = openRepository("cache");
    import_ = openRepository("import");
    download_ = openRepository("download");
  }

  // Ends the session as the desktop façade does: the downloader is cleaned
  // and deleted, then the repositories are closed and the provider cleaned.
  virtual ~VLDownloadTestRig() {
    closeDownloader();
    for (VLRepository* repository : {cache_.get(), import_.get(), download_.get()}) repository->close();
    cache_.reset();
    import_.reset();
    download_.reset();
    provider_->clean();
  }

  // A downloader over "import" and then "download", as a session opens one.
  VLDownloader* openDownloader(unsigned limit) {
    VLRepository* repositories[] = {import_.get(), download_.get()};
    downloader_.reset(new VLDownloader(repositories, 2, limit));
    return downloader_.get();
  }

  void closeDownloader() {
    if (!downloader_) return;
    downloader_->clean();
    downloader_.reset();
  }

  VLDownloader* downloader() { return downloader_.get(); }
  VLHttpRepositoryProvider* provider() { return provider_.get(); }
  VLRepository* cache() { return cache_.get(); }
  VLRepository* import() { return import_.get(); }
  VLRepository* download() { return download_.get(); }
  std::string folder() const { return folder_; }

  // The address given to the provider when it asks for a file of this
  // entity; `formatId` other than -1 answers with that format instead (the
  // page's way of saying the file exists in another format only).
  void setUrl(const std::string& entityId, const std::string& url, int formatId = -1) {
    std::lock_guard<std::mutex> lock(urlMutex_);
    urls_[entityId] = std::make_pair(url, formatId);
  }

  // One pass of the worker: provider, repositories, downloader; then the
  // answers to the URL requests of this pass.
  void pass() {
    provider_->update();
    cache_->update();
    import_->update();
    download_->update();
    if (downloader_) downloader_->update();
    answerUrlRequests();
  }

  // Runs passes, 10 ms apart like the worker's, until `done` holds. Gives up
  // after `seconds` so that a broken build fails instead of hanging.
  bool runUntil(const std::function<bool()>& done, double seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      pass();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  void passes(int count) {
    for (int i = 0; i < count; ++i) pass();
  }

  // The record of a file, or null when the repository has none.
  VLRepositoryFile* file(VLRepository* repository, const std::string& entityId, uint32_t formatId = 6) {
    return repository->getFile(VLFileId(entityId, formatId), false);
  }

  // The file's download state, or -1 when the repository has no record.
  int state(VLRepository* repository, const std::string& entityId, uint32_t formatId = 6) {
    VLRepositoryFile* record = file(repository, entityId, formatId);
    return record ? record->getCustom() : -1;
  }

  int position(VLRepository* repository, const std::string& entityId, uint32_t formatId = 6) {
    VLRepositoryFile* record = file(repository, entityId, formatId);
    return record ? record->getPosition() : -2;
  }

  std::vector<StateReport> stateReports() {
    std::lock_guard<std::mutex> lock(reportMutex_);
    return stateReports_;
  }

  void clearStateReports() {
    std::lock_guard<std::mutex> lock(reportMutex_);
    stateReports_.clear();
  }

  // The states reported for one file, in order.
  std::vector<int> statesOf(const std::string& entityId, uint32_t formatId = 6) {
    std::string name = entityId + "_" + std::to_string(formatId);
    std::vector<int> states;
    for (const StateReport& report : stateReports()) {
      if (report.file == name) states.push_back(report.state);
    }
    return states;
  }

  size_t urlRequestCount() {
    std::lock_guard<std::mutex> lock(urlMutex_);
    return urlRequestCount_;
  }

  // VLAskFileUrlDelegate: recorded here, answered after the pass.
  void askFileUrl(VLRepository* repository, const VLFileId& fileId) override {
    std::lock_guard<std::mutex> lock(urlMutex_);
    urlRequests_.emplace_back(repository, fileId);
    ++urlRequestCount_;
  }
  bool isJSReady() override { return true; }

  // VLRepositoryHandler: only download states are recorded.
  void onFilesAdded(VLRepositoryFile*) override {}
  void onFilesRemoved(VLRepositoryFile*) override {}
  void onFileProgressesChanged(VLRepositoryFile*) override {}
  void onFileStatesChanged(VLRepositoryFile*) override {}
  void onVolumeFull(VLRepository*) override {}
  void onUnwritable(VLRepository*) override {}
  void onDownloadStatesChanged(VLRepositoryFile* file) override {
    VLFileId id = file->getFileId();
    std::lock_guard<std::mutex> lock(reportMutex_);
    stateReports_.push_back({file->getRepository()->getName(),
                             id.getEntityId() + "_" + std::to_string(id.getFormat()->getId()), file->getCustom()});
  }

 private:
  std::unique_ptr<VLRepository> openRepository(const std::string& name) {
    std::string databases = folder_ + "/repositories";
    std::string directory = folder_ + "/" + name;
    mkdir(databases.c_str(), 0700);
    mkdir(directory.c_str(), 0700);
    std::unique_ptr<VLRepository> repository(
        new VLRepository(this, provider_.get(), name, identity_, 604800, databases, directory, 0, false, 0));
    repository->init();
    return repository;
  }

  void answerUrlRequests() {
    std::vector<std::pair<VLRepository*, VLFileId>> requests;
    {
      std::lock_guard<std::mutex> lock(urlMutex_);
      requests.swap(urlRequests_);
    }
    for (auto& request : requests) {
      const VLFileId& id = request.second;
      std::pair<std::string, int> answer;
      {
        std::lock_guard<std::mutex> lock(urlMutex_);
        auto found = urls_.find(id.getEntityId());
        if (found != urls_.end())
          answer = found->second;
        else
          answer = std::make_pair(std::string(), -1);
      }
      int formatId = answer.second >= 0 ? answer.second : static_cast<int>(id.getFormat()->getId());
      provider_->setFileUrl(request.first, id, answer.first, formatId, "data-" + id.getEntityId());
    }
  }

  std::string folder_;
  std::string identity_;
  std::unique_ptr<VLHttpRepositoryProvider> provider_;
  std::unique_ptr<VLRepository> cache_;
  std::unique_ptr<VLRepository> import_;
  std::unique_ptr<VLRepository> download_;
  std::unique_ptr<VLDownloader> downloader_;

  std::mutex urlMutex_;
  std::map<std::string, std::pair<std::string, int>> urls_;
  std::vector<std::pair<VLRepository*, VLFileId>> urlRequests_;
  size_t urlRequestCount_ = 0;

  std::mutex reportMutex_;
  std::vector<StateReport> stateReports_;
};
