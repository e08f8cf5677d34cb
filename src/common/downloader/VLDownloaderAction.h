#ifndef VL_DOWNLOADER_ACTION_H
#define VL_DOWNLOADER_ACTION_H

#include <cstdint>
#include <memory>
#include <string>

#include "VLFileId.h"

class VLRepository;

// One request made to the offline-download queue, waiting in VLDownloader's
// pending list until the worker thread's next VLDownloader::update applies it.
//
// An action is built on whichever thread queues it and then handed to the
// downloader, which owns it and deletes it once applied. It holds a copy of the
// file id, so the caller's id may go away at once. The repository is not owned
// and is never dereferenced by the action itself.
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

  // An action about every file of the queue: no repository, no file id.
  explicit VLDownloaderAction(Type type);
  // An action about one file; the id is copied.
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId);
  // ACTION_SET_POSITION: the file and its requested queue position.
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId, int position);
  // ACTION_ADD (the page's data for the file), or an action generated from an
  // "all" action (the file's metadata).
  VLDownloaderAction(Type type, VLRepository* repository, const VLFileId& fileId, const std::string& data);
  virtual ~VLDownloaderAction();

  VLDownloaderAction(const VLDownloaderAction&) = delete;
  VLDownloaderAction& operator=(const VLDownloaderAction&) = delete;

  Type getType() const;
  // The repository named by the action; null for the four "all" actions.
  VLRepository* getRepository() const;
  // The action's own copy of the file id, valid while the action lives; null
  // for the four "all" actions.
  const VLFileId* getFileId() const;
  // The requested position for ACTION_SET_POSITION, otherwise -1.
  int getPosition() const;
  std::string getData() const;

private:
  Type type;
  VLRepository* repository;
  std::unique_ptr<VLFileId> fileId;
  std::string data;
  int position;
};

#endif
