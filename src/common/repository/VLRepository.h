#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "VLFileId.h"

struct sqlite3;
class VLHttpRepositoryProvider;
class VLMutex;
class VLRepositoryFile;
class VLRepositoryHandler;
class VLRepositoryMove;
class VLRepositoryTrash;
class VLSQLiteStatement;

// One named store of audio files for one identity: a directory of content
// files, each with its ".part" block bitmap, an SQLite index (table "files" in
// "<database folder>/<name>.db", shared by all identities) and one
// VLRepositoryFile per file, keyed by file id. It keeps the used size under a
// limit taken from the volume's space and the user's settings (evicting the
// least recently used files with auto-clean, else reporting full), checks
// that its directory is writable, moves its files when the directory changes,
// saves the index every 60 seconds and drives every file's periodic work.
//
// Ownership: the repository owns its file records; the handler and the
// provider are not owned. The owner calls close before destroying it.
//
// Threads: init, close, update, getFile, findFiles, getFiles and the files'
// own work run on one thread at a time: the core's worker thread, or the
// thread that opens or closes the session while the worker is not running.
// setLimits, getLimits, setDirectory with apply false, getDirectory,
// getTotalSize, clearAll and setOffline may be called from any thread: they
// store or read single values (atomics, or strings under the repository's
// mutex) that the worker's next update applies.
//
// Timers (size checks while full, availability probes, index saves) use the
// platform factory's monotonic getTime, which tests may replace.
class VLRepository {
 public:
  // The statement that makes the index's "files" table when it is missing;
  // tools that write index rows of their own make the table with it too.
  static const char* const kCreateFilesTable;

  VLRepository(VLRepositoryHandler* handler, VLHttpRepositoryProvider* provider, const std::string& name,
               const std::string& identity, uint64_t validationPeriod, const std::string& databaseFolder,
               const std::string& directory, int maxPercent, bool autoClean, double maxSize);
  // Closes the repository when the owner has not.
  virtual ~VLRepository();

  VLRepository(const VLRepository&) = delete;
  VLRepository& operator=(const VLRepository&) = delete;

  // Opens and prepares the index, checks the directory, reconciles the index
  // with the files on disk and loads the records, then checks the size. On
  // any failure the repository is closed and goes on without an index (its
  // rows are left as they were). Reports every loaded record as added.
  // Removes the files of downloads removed while the directory was away
  // (see deleteRowsOf), when it is back.
  void init();
  // Cleans every record, saves the index (only when it was fully loaded),
  // deletes the records and closes the database.
  void close();
  // The periodic work: pending size check, pending directory, availability
  // probe while unavailable, the next records of a clear-all (a bounded
  // number per call), deletion of removed
  // records that are closed (a bounded number per call), the update of
  // every open record (closed ones have no periodic work), the index save
  // every 60 s. Its cost follows the open and removed records, not the
  // whole repository. False when a file's update failed.
  bool update();

  // The block of the ".part" bitmaps: 4096 bytes.
  size_t getBlockSize() const { return 4096; }
  std::string getName() const { return name_; }
  std::string getIdentity() const { return identity_; }
  // Any thread.
  std::string getDirectory() const;
  uint64_t getValidationPeriod() const { return validationPeriod_; }
  // Every record, ordered by file id.
  std::map<VLFileId, VLRepositoryFile*>& getFiles() { return files_; }
  // The record for the id (also when it is marked removed). Without create a
  // missing record gives null; with create one is made, reported as added
  // and returned.
  VLRepositoryFile* getFile(const VLFileId& fileId, bool create);
  // Over the records not marked removed, in id order: those whose flags hold
  // every bit of flagsMask (0: any) and whose download state shares a bit
  // with stateMask (0: any) are appended to files and counted. Either output
  // may be null.
  void findFiles(unsigned int flagsMask, unsigned int stateMask, std::list<VLRepositoryFile*>* files,
                 unsigned int* count);
  // The same records, each handed to found in id order as it is met (no
  // list is made).
  void forEachFound(unsigned int flagsMask, unsigned int stateMask,
                    const std::function<void(VLRepositoryFile*)>& found);

  // A cache (made with autoClean): what it holds may be let go and fetched
  // again.
  bool isCache() const { return autoClean_; }

  // While offline the files start no transfer and stop the running ones.
  // Any thread.
  void setOffline(bool offline) { offline_ = offline; }
  bool isOffline() const { return offline_; }
  // Offline, or full at the last size check (no transfer may run).
  bool isOfflineOrFull() const { return offline_ || full_; }
  // The directory was not writable at the last availability check.
  bool isUnavailable() const { return unavailable_; }
  // The files it holds can be read: it is available, or its directory was
  // there but read-only at the last availability check.
  bool canReadFiles() const { return !unavailable_ || readOnly_; }
  // Bytes of all files of known size at the last size check. Any thread.
  uint64_t getTotalSize() const { return totalSize_; }
  // The size limit in bytes (0: none) and in percent of the volume's
  // available space (0: none); either pointer may be null. Any thread.
  void getLimits(double* maxSize, int* maxPercent) const;
  // Stores the limits (negative values as 0) and asks for a size check at
  // the next update. Any thread.
  void setLimits(int maxPercent, double maxSize);
  // Asks the next update to remove every record that is not open then. Any
  // thread. The updates mark the records removed a bounded number at a time
  // (see update); until a record is marked, findFiles leaves it out and
  // getFile marks it first, so that callers see the clear as done at once.
  void clearAll() { clearAllPending_ = true; }
  // With apply false (any thread) the directory is switched at the next
  // update. With apply true (worker): the new directory is created and
  // probed; when not usable, nothing moves, nothing is deleted and the
  // handler is told onUnwritable. On the same volume the records' files are
  // renamed at once. On another volume the files of downloads (records with
  // a download state) are copied on a thread of their own while the
  // repository goes on in the old directory without transfers; once every
  // copy is whole an update switches over (the new directory is stored as
  // the preference, then the old files go) and cached bytes are dropped. A
  // failed copy leaves everything where it was. getDirectory answers the
  // old directory until the switch.
  void setDirectory(const std::string& directory, bool apply);
  // The identity's preference under which a directory switch is stored at
  // once, before any old file is removed, so that a crash right after it
  // still finds the files. Empty (the default): not stored.
  void setDirectoryPreference(const std::string& key) { directoryPreference_ = key; }
  // Files are being copied to another volume: no transfer may run.
  bool isMoving() const { return move_ != nullptr; }
  // The size check: with now false only marks it pending; with now true
  // measures the volume and the files, evicts (auto-clean) or updates the
  // full state, telling the handler onVolumeFull when it turns full.
  void checkSize(bool now);
  // Whether file may be given size bytes. With auto-clean the least recently
  // used other records are evicted, as many as it takes to bring the file
  // under the limit (and to keep the volume's 300 MB reserve while it has
  // it), or all of them when that cannot be done: a file larger than the
  // limit is taken and leaves after its last close. Without auto-clean the
  // new size must fit under the limit. In both cases a size the volume
  // cannot hold, even with every other record evicted, is refused and
  // evicts nothing; a repository without auto-clean is then full while the
  // file is wanted and the volume lacks the room (a size larger than the
  // whole volume is refused alone). A refusal that turns nothing full
  // (auto-clean, or larger than the volume) tells the handler onVolumeFull
  // on each refusal. A file whose end is not known yet (growing) is taken
  // the same way, but never larger than a track can be (500 MB) nor past
  // the volume's 300 MB reserve, unless it fits under an auto-clean
  // repository's limit; such a refusal is its answer's alone: it
  // turns nothing full and tells the handler nothing. tooLarge (not null)
  // then tells a bound passed by the answer itself (true) from room that
  // other programs took since the file's providing open, or from a volume
  // that never offered it room past the reserve (false: the answer may go
  // on once the room is back; see VLRepositoryFile::noteOfferedRoom).
  // With asBytesArrive (not null), a size larger than the limit of an
  // auto-clean repository that the volume could hold evicts nothing now:
  // asBytesArrive is set, and the file takes its room as its bytes arrive
  // (it counts the bytes it holds, not its size, against the limit: see
  // VLRepositoryFile::setContent), evicting others then and itself once they
  // pass the limit.
  bool makeRoomFor(VLRepositoryFile* file, size_t size, bool* asBytesArrive = nullptr, bool* tooLarge = nullptr);
  // The size past which an answer of unknown length is taken for one that
  // never ends: 500 MB. Tests set a smaller one, before any repository is
  // made, so as not to store that much.
  static void setLargestTrack(double bytes);
  // Makes the directory again when it is missing and may be made (see
  // makeDirectory: not a download folder that held stored files), probes it
  // and tells the handler onUnwritable when it turns unusable. An index
  // opened read-only (its folder was) counts as a read-only directory until
  // this check can open it for writing, and one whose writes failed for want
  // of writing (its folder turned read-only) until a trial write passes. A
  // folder whose volume is full stays usable for the files it holds: the
  // handler is told onVolumeFull when the probe first finds it so. A
  // directory that turns usable again gets the removals made while it was
  // away finished.
  void checkAvailability(bool now);
  // Whether a removal may be made now: false while the index only reads (its
  // folder was read-only when it was opened, or turned so, see
  // checkAvailability), as a removal it cannot record would come back at the
  // next start. A refusal is logged and told to the handler onUnwritable, at
  // most once per 3 seconds. True for a repository without an index. Worker.
  bool takesRemovals();
  // Writes the rows of the records that changed since the last save, and
  // deletes those of the records deleted since, in one transaction;
  // nothing at all when nothing changed. Besides the save that update makes
  // every 60 seconds: for changes that must survive a crash, such as the
  // download queue's or a new file's size. A failed save is rolled back and
  // its rows stay to be written by the next one.
  bool saveFiles();
  // Rows changed or deleted since the last save.
  bool hasUnsavedRows() const { return !changedRows_.empty() || !deletedRows_.empty(); }
  // Called by a record when one of its index columns changed (and by a new
  // record): its row is written by the next save.
  void noteRowChanged(VLRepositoryFile* file) { changedRows_.insert(file); }
  // The records whose download state (getCustom) is state, by file id; state
  // 0 is not listed. Kept as states change, so that the download queue
  // walks its own files, not the whole repository.
  const std::map<VLFileId, VLRepositoryFile*>& getFilesWithState(int state);
  // Called by a record when its download state changed from previous.
  void noteStateChanged(VLRepositoryFile* file, int previous);
  // The records whose stored content was replaced or lost (a new size or
  // validator, files repaired or dropped) since the last call, once each.
  std::vector<VLRepositoryFile*> takeResetFiles();
  // Called by a record whose stored content was replaced or lost.
  void noteContentReset(VLRepositoryFile* file) { resetFiles_.insert(file); }
  // Called by a record on its first open, at its last close and when it is
  // marked removed: update works on the open records and deletes the
  // removed closed ones without walking the others.
  void noteOpened(VLRepositoryFile* file);
  void noteClosed(VLRepositoryFile* file);
  void noteRemoved(VLRepositoryFile* file);

  // The content file name of a file id: the MD5 digest of
  // name "_" identity "_" entity id "_" format id, in 32 lowercase hex digits.
  std::string makeFileName(const VLFileId& fileId) const;
  // directory + "/" + fileName, and the same + ".part".
  std::string getFilePath(const std::string& fileName) const;
  std::string getBitmapPath(const std::string& fileName) const;
  // Whether a name is one that makeFileName could have made: the index's
  // file names become paths, so nothing else is accepted from it.
  static bool isValidFileName(std::string_view fileName);
  // Deletes the content and bitmap files of a deleted record, whose known
  // size was bytes: renamed at once, removed on the trash's thread, and
  // counted as stored until then. Worker.
  void discardFiles(const std::string& fileName, uint64_t bytes);
  // Files of deleted records are still being removed. Any thread.
  bool isDiscarding() const;

 private:
  // Makes the directory when it is missing and may be made; true when it is
  // a folder the repository may use.
  bool makeDirectory();
  bool claimsStoredFiles();
  static bool holdsBytes(VLRepositoryFile* file);
  bool holdsClaimedFile(const std::string& directory);
  bool openAndLoad(bool removeOrphanFiles);
  bool rescueDamagedIndex();
  bool restoreWholeBitmap(const std::string& fileName, uint64_t size);
  void repairDamagedDownloads(const std::vector<VLRepositoryFile*>& damaged);
  // Index database.
  bool openIndex();
  bool reopenIndexForWriting();
  // Notes an index write that failed with the SQLite result code.
  void noteIndexWriteFailure(int code);
  bool indexTakesTrialWrite();
  // The index is loaded and its connection can write (one opened on a
  // read-only folder only reads): rows may be written and deleted.
  bool indexTakesWrites() const;
  bool loadFiles(bool checkFiles, std::vector<VLRepositoryFile*>* damaged);
  struct IndexRow;
  struct LoadOutcome;
  static void readRow(VLSQLiteStatement& statement, IndexRow* row);
  void takeRow(IndexRow& row, LoadOutcome* outcome);
  enum RowFiles { FILES_MATCH, FILES_CACHED_MISMATCH, FILES_BITMAP_RESTORED, FILES_DAMAGED };
  RowFiles checkRowFiles(const IndexRow& row);
  static bool filesMatch(const IndexRow& row);
  VLRepositoryFile* loadRow(IndexRow& row, time_t lastValidation);
  VLRepositoryFile* makeRecord(IndexRow& row, time_t lastValidation);
  bool forgetValidation(const std::vector<std::string>& fileNames);
  bool deleteRowsByName(const std::vector<std::string>& fileNames);
  bool runForNames(const char* sql, const std::vector<std::string>& fileNames);
  bool runEach(const char* sql, const std::vector<std::string>& fileNames);
  bool inTransaction(const std::function<bool()>& work);
  struct OwnFiles;
  std::future<OwnFiles> listOwnFiles();
  void removeOrphans(OwnFiles listing);
  std::set<std::string> unindexed(std::set<std::string> names);
  // One save transaction: deletions, then writes, until end (0: all).
  bool saveRows(double seconds);
  bool hasTimeLeft(double end, size_t done) const;
  bool deleteRows(double end, std::vector<VLFileId>* deleted);
  bool writeRows(double end, std::vector<VLRepositoryFile*>* written);
  void rowsSaved();
  // Size check.
  double limitFor(double stored, double available, double total) const;
  double countedSize(VLRepositoryFile* file, double limit) const;
  bool needsRoom(double stored, double kept, double available, double total);
  void evict(double limit, double keptSize, std::list<VLRepositoryFile*>& candidates);
  // Deletes the record and hands its files to the trash; its row is deleted
  // by the next save unless rowGone.
  void deleteRemovedAndClosed(std::map<VLFileId, VLRepositoryFile*>::iterator& it, bool rowGone);
  void deleteRemovedFiles();
  bool deleteRowsOf(const std::vector<VLRepositoryFile*>& files);
  // The content or bitmap file of the name holds bytes in the directory.
  bool hasFilesOnDisk(const std::string& fileName) const;
  void finishRemovalsWhileAway();
  // Clear-all.
  void startClear();
  // Deletes the rows of the next records of the running clear, at most
  // `most` and for `seconds` at most (0: no bound), then marks them removed.
  void clearSlice(size_t most, double seconds);
  // The running clear has still to mark this record removed.
  bool isClearPending(const VLFileId& fileId) const;
  // Directory.
  void startMove(const std::string& directory);
  void finishMove();
  // The identity's preference that holds the target of a move to another
  // volume while its copies are made (empty without a directory preference).
  std::string moveTargetPreference() const;
  void storeMoveTarget(const std::string& directory);
  void removeUnfinishedMoveCopies();
  void switchDirectory(const std::string& directory, bool sameVolume);
  double now() const;

  VLRepositoryHandler* handler_;
  VLHttpRepositoryProvider* provider_;
  sqlite3* db_;
  std::string dbPath_;
  VLMutex* mutex_;  // guards directory_ and pendingDirectory_
  std::string directory_;
  std::string pendingDirectory_;
  std::string directoryPreference_;
  std::unique_ptr<VLRepositoryMove> move_;    // the copying to another volume, while it runs
  std::unique_ptr<VLRepositoryTrash> trash_;  // removes the files of deleted records
  std::string name_;
  std::string identity_;
  uint64_t validationPeriod_;
  std::map<VLFileId, VLRepositoryFile*> files_;
  std::set<VLRepositoryFile*> changedRows_;  // records whose rows the next save writes
  std::set<VLFileId> deletedRows_;           // ids whose rows the next save deletes
  std::map<int, std::map<VLFileId, VLRepositoryFile*>> filesByState_;
  std::map<VLFileId, VLRepositoryFile*> openFiles_;  // the records update works on
  std::set<VLFileId> removedFiles_;                  // removed records that may be closed
  std::set<VLRepositoryFile*> resetFiles_;
  std::atomic<bool> offline_;
  std::atomic<bool> clearAllPending_;
  std::unique_ptr<VLFileId> clearingFrom_;  // while a clear runs: the first record it has not reached
  std::set<VLFileId> clearExempt_;          // records the running clear leaves (open, new, already done)
  bool rowsLoaded_;                         // every index row was loaded: saving is safe
  double lastSave_;
  bool saveUnfinished_ = false;  // the 60-second save has rows left for the next update
  std::atomic<double> maxSize_;
  std::atomic<int> maxPercent_;
  bool autoClean_;
  std::atomic<bool> sizeCheckPending_;
  bool sizeCheckOnceDiscarded_ = false;  // deletions are done: check once their files are gone
  std::atomic<bool> full_;
  size_t roomNeeded_;  // bytes a refused file wanted, while it is wanted
  std::unique_ptr<VLFileId> roomNeededBy_;
  double lastSizeCheck_;
  std::atomic<uint64_t> totalSize_;
  std::atomic<bool> unavailable_;
  std::atomic<bool> readOnly_;  // unavailable, but the directory is there to be read
  bool probedVolumeFull_;       // the last availability check found the volume without room for a new file
  double lastAvailabilityCheck_;
  double lastRemovalRefusal_ = -1e18;  // when a refused removal was last told
  bool indexRefusedWrites_ = false;    // an index write failed for want of writing, see noteIndexWriteFailure
};
