#pragma once

class VLRepository;
class VLRepositoryFile;

// Callbacks through which repositories and their files report upward. Called on
// the thread that runs the repository's work (the worker thread, or the thread
// that runs its init). The file or repository passed in need only be valid
// during the call. A repository or file with a null handler calls none of these.
// Never deleted through this interface, hence the protected destructor.
class VLRepositoryHandler {
 public:
  // A record was made, loaded from the index, or taken back from removed.
  virtual void onFilesAdded(VLRepositoryFile* file) = 0;
  // The record was just marked removed.
  virtual void onFilesRemoved(VLRepositoryFile* file) = 0;
  // The record's loaded byte count changed, or a new size or validator reset it.
  virtual void onFileProgressesChanged(VLRepositoryFile* file) = 0;
  // The record's download state (its custom field) changed.
  virtual void onDownloadStatesChanged(VLRepositoryFile* file) = 0;
  // The record's loaded byte count has just reached its known size.
  virtual void onFileStatesChanged(VLRepositoryFile* file) = 0;
  // The repository's size check has just turned full, or a file was refused
  // for lack of room where nothing turns full (see VLRepository::makeRoomFor).
  virtual void onVolumeFull(VLRepository* repository) = 0;
  // The repository's availability check has just found its folder not writable.
  virtual void onUnwritable(VLRepository* repository) = 0;
  // The repository's index was found damaged at start and was made again
  // from the rows that could still be read, or is left for the next start
  // when that cannot be done now (its records are then missing in this run).
  virtual void onIndexDamaged(VLRepository* repository) { (void)repository; }

 protected:
  ~VLRepositoryHandler() {}
};
