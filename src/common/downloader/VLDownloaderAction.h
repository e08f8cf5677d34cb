#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "VLFileId.h"

class VLRepository;

// One request made to the offline-download queue. It waits in VLDownloader's
// pending list until the worker thread's next VLDownloader::update applies it.
//
// An action is made on whichever thread queues it; the downloader owns it from
// then on and deletes it once applied. It keeps its own copy of the file id, so
// the caller's id may go away at once. The repository is not owned and the
// action itself never dereferences it. No lock: one thread at a time.
class VLDownloaderAction {
 public:
  enum Type : uint32_t {
    ACTION_ADD = 0,
    ACTION_REMOVE = 1,
    ACTION_PAUSE = 2,
    ACTION_RESUME = 3,
    ACTION_HIDE = 4,
    ACTION_REMOVE_ALL = 5,
    ACTION_PAUSE_ALL = 6,
    ACTION_RESUME_ALL = 7,
    ACTION_HIDE_ALL = 8,
    ACTION_SET_POSITION = 9,
  };

  // An action about every file in the queue: no repository, no file id.
  explicit VLDownloaderAction(Type type);
  // An action about one file; the id is copied.
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId);
  // ACTION_SET_POSITION: the file and the queue position asked for.
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId, int position);
  // ACTION_ADD with the page's data for the file, or an action made from an
  // "all" action with the file's metadata.
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId, const std::string& data);
  virtual ~VLDownloaderAction();

  VLDownloaderAction(const VLDownloaderAction&) = delete;
  VLDownloaderAction& operator=(const VLDownloaderAction&) = delete;

  Type getType() const { return type_; }
  // The repository named by the action; null for the four "all" actions.
  VLRepository* getRepository() const { return repository_; }
  // The action's own copy of the file id, valid while the action lives; null
  // for the four "all" actions.
  const VLFileId* getFileId() const { return fileId_.get(); }
  // The position asked for by ACTION_SET_POSITION, otherwise -1.
  int getPosition() const { return position_; }
  std::string getData() const { return data_; }

 private:
  Type type_;
  VLRepository* repository_;
  std::unique_ptr<VLFileId> fileId_;
  std::string data_;
  int position_;
};
