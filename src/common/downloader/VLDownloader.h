#pragma once

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "VLDownloaderAction.h"
#include "VLFileId.h"

class VLMutex;
class VLRepository;
class VLRepositoryFile;

// The queue of offline downloads into the "import" and "download" repositories.
//
// The queue keeps nothing on disk of its own: a file's download state lives in
// its repository file's `custom` column and its place in the queue in the
// `position` column (-1 for none), both saved with the repository's index. One
// position numbering spans every repository of the downloader; lower positions
// are downloaded first, equal ones in the order of the repositories given and
// then of the file ids. A running download is one providing open of the
// repository file, which fetches its missing blocks through the HTTP provider;
// the downloader makes no network call.
//
// Threads: the queueing operations and the limit accessors may be called on
// any thread and return at once; their effect, or a warning in the log, comes
// with the next `update`. Construction, `clean`, `update` and destruction run
// on the one thread that owns the repositories (the core's worker thread, or
// the main thread while the worker is not running), never at the same time.
// Lock order: the downloader's mutex is only held to hand actions over, and no
// repository or provider call is made under it.
class VLDownloader {
 public:
  // The download state, kept in a repository file's `custom` column. The
  // values are distinct bits so that file queries can select states by mask.
  enum DownloadState {
    DOWNLOAD_NONE = 0,     // not in the queue
    DOWNLOAD_PAUSED = 1,   // in the queue, held back until resumed
    DOWNLOAD_QUEUED = 2,   // waiting for a download slot
    DOWNLOAD_RUNNING = 4,  // the downloader holds one providing open of the file
    DOWNLOAD_FAILED = 8,   // stopped by an error, until hidden, removed or the next session
    DOWNLOAD_DONE = 16,    // complete and released
  };

  // The limit taken when the one given to the constructor is refused.
  static constexpr unsigned DEFAULT_MAX_CONCURRENT_DOWNLOADS = 3;

  // Takes `count` repositories in the order given (not owned; they outlive the
  // downloader) and normalises the stored queue: downloads left running by a
  // session that ended without `clean`, and failed ones, are queued again, and
  // the positions of every file in the queue are renumbered from 1 in order.
  // A limit above 2147483647 (a negative number passed as unsigned) is refused
  // with a warning and 3 is taken instead.
  VLDownloader(VLRepository** repositories, unsigned count, unsigned maxConcurrentDownloads);
  // Frees the pending actions without applying them and closes no file: the
  // owner calls `clean` first.
  virtual ~VLDownloader();

  VLDownloader(const VLDownloader&) = delete;
  VLDownloader& operator=(const VLDownloader&) = delete;

  // Any thread; the next `update` uses the new limit. 0 lets nothing run. A
  // value above 2147483647 (a negative number passed as unsigned) is refused
  // with a warning and the limit stays as it was.
  void setMaxConcurrentDownloads(unsigned max);
  // Any thread.
  unsigned getMaxConcurrentDownloads() const;

  // Queueing, any thread: each call appends one action for the next `update`
  // and reports nothing back. A null repository (a name that matched none) is
  // refused at once with a warning.
  void addFile(VLRepository* repository, const VLFileId& id, const std::string& data);
  void removeFile(VLRepository* repository, const VLFileId& id);
  void pauseFile(VLRepository* repository, const VLFileId& id);
  void resumeFile(VLRepository* repository, const VLFileId& id);
  void hideFile(VLRepository* repository, const VLFileId& id);
  void setDownloadPosition(VLRepository* repository, const VLFileId& id, int position);
  void removeAll();
  void pauseAll();
  void resumeAll();
  void hideAll();

  // Owning thread. Gives back the open of every running download (a close
  // that fails is logged) and marks it queued, so the next session resumes
  // it. Pending actions are neither applied nor dropped.
  void clean();

  // Owning thread, once per worker pass. Applies the pending actions in the
  // order they were queued; settles downloads that completed or broke; stops
  // the downloads that may not run (over the limit, highest positions first,
  // or in a repository that is offline, full or unwritable); starts queued
  // ones in position order while a slot is free. A running download that
  // waits for its next try after failures holds no slot meanwhile (64 at
  // most, from the front of the queue; none with limit 0). Before it returns,
  // the index of every repository whose downloads changed state or position
  // is saved, so that a crash loses nothing of the queue.
  void update();

  // The queue's order: ascending position, compared as signed ints.
  static bool comparePositions(VLRepositoryFile* a, VLRepositoryFile* b);

 private:
  typedef std::list<std::unique_ptr<VLDownloaderAction>> ActionList;
  typedef std::pair<VLRepository*, VLFileId> FileKey;

  void queue(VLDownloaderAction* action);
  bool isRefusedLimit(unsigned max) const;
  int getLimit() const;
  void normaliseQueue();

  // Pass 1: the pending actions.
  void applyActions();
  void applyAction(const VLDownloaderAction& action, ActionList& pending);
  void applyFileAction(const VLDownloaderAction& action);
  void applyAdd(VLRepositoryFile* file, const VLDownloaderAction& action);
  bool takeBack(VLRepositoryFile* file);
  void applyRemove(VLRepositoryFile* file);
  void applyPause(VLRepositoryFile* file);
  void applyResume(VLRepositoryFile* file);
  void applyHide(VLRepositoryFile* file);
  void expandAll(VLDownloaderAction::Type singleType, ActionList& pending);
  void applySetPosition(const VLDownloaderAction& action);
  int nextPosition() const;

  // Pass 2: settling, counting and listing.
  int settle(std::vector<VLRepositoryFile*>& queue);
  int countSlots(const std::vector<VLRepositoryFile*>& queue);
  void settleRunning(VLRepositoryFile* file);
  void applyFormatFallback(VLRepositoryFile* file);
  void noteRunningSize(VLRepositoryFile* file, std::map<FileKey, size_t>& sizes);

  // Passes 3 and 4.
  int stopDownloads(const std::vector<VLRepositoryFile*>& queue, int running);
  void startDownloads(const std::vector<VLRepositoryFile*>& queue, int running);

  static bool hasLostBytes(VLRepositoryFile* file);
  bool holdsSlot(VLRepositoryFile* file) const;
  static bool isUsable(VLRepository* repository);
  static FileKey keyOf(VLRepositoryFile* file);
  void setState(VLRepositoryFile* file, int state);
  void setPosition(VLRepositoryFile* file, int position);
  void saveChangedIndexes();

  std::list<VLRepository*> repositories_;
  ActionList actions_;  // guarded by mutex_
  std::unique_ptr<VLMutex> mutex_;
  std::atomic<unsigned> maxConcurrentDownloads_;

  // Owning thread only: the repositories whose files changed download state
  // or position during the current update; saved at its end.
  std::set<VLRepository*> changedRepositories_;
  // Owning thread only: the size of each running download as of its last
  // index save. A size that becomes known while the download runs is saved
  // at once, so that after a crash the next session keeps the blocks on disk
  // and fetches only the missing ones.
  std::map<FileKey, size_t> savedRunningSizes_;
  // Owning thread only: the running downloads of the current update that
  // wait for their next try without holding a slot (see countSlots).
  std::set<VLRepositoryFile*> retrying_;
};
