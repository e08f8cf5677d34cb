#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VLFileId.h"
#include "VLRepository.h"

class VLHttpRepositoryProvider;
class VLMappedFile;
class VLRepositoryHandler;

// The in-memory record of one audio file held by a repository: its identity,
// its content file and ".part" block bitmap (both memory-mapped while the
// record is open), the columns the index stores for it, who has it open or
// locked, whether it is being fetched (providing) and the reads waiting for
// missing blocks.
//
// Blocks present: readers and the fetch scheduling see an in-memory copy of
// the bitmap, which a block joins as soon as its bytes are in the shared
// mapping. The ".part" file on disk lags it: a block's bit is set there only
// once a flush of its bytes has returned, so that after a crash (even a power
// loss) a set bit never stands for bytes that are not on the disk. Blocks
// whose on-disk bit still waits are committed about a second after they
// arrived (their write-back began at once), and all of them on completion,
// at the last close and before an index save.
//
// Ownership: the repository owns every record and deletes it. The record owns
// its two mapped files, made on its first open (a repository loads many more
// records than are ever opened); the handler and the provider are not owned.
//
// Threads: every operation runs on the core's worker thread (or on the thread
// that opens or closes the repository while the worker is not running). The
// class has no lock.
//
// Change reports go synchronously to the handler (which may be null):
// onFilesAdded, onFilesRemoved, onFileProgressesChanged,
// onDownloadStatesChanged and onFileStatesChanged.
//
// Clocks: stored times (last_open, last_add, last_validation) are epoch
// seconds from the platform factory's getEpochTime; ages and delays (read
// requests, retry delays, the periodic recount) come from its monotonic
// getTime. Tests may replace both.
class VLRepositoryFile {
 public:
  // Open options, combinable; 0 is a plain open or close.
  enum OpenOptions {
    OPEN_LOCK = 1,     // a reader holds the file: counts a lock and a use
    OPEN_PROVIDE = 2,  // fetch the missing content from the network
    OPEN_READD = 4     // take a removed record back
  };

  // State flags of getFlags (the page's file_state).
  enum Flags {
    FLAG_REMOVED = 1,
    FLAG_COMPLETE = 2,
    FLAG_OPEN = 4,
    FLAG_LOCKED = 8,
    FLAG_PROVIDING = 16,
    FLAG_NOT_EMPTY = 32  // the size is not 0 (also while it is unknown)
  };

  // The size of a file whose size is not known yet, and the length that
  // means "to the end of the file".
  static constexpr size_t UNKNOWN_SIZE = SIZE_MAX;

  // A new record: named by VLRepository::makeFileName, reported as added.
  VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler);
  // A record from an index row. With report it is reported as added at
  // once (see announce); without, it touches nothing but itself, so that it
  // may be made on any thread, until announce is called.
  VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler, std::string file_name, size_t size,
                   size_t loaded, std::string etag, std::string metadata, std::string provider_data, int position,
                   int custom, time_t last_validation, time_t last_open, unsigned int total_lock_count, time_t last_add,
                   bool report = true);
  // Reports a record made from an index row without report, once, on the
  // worker: the repository lists it under its download state and the
  // handler hears onFilesAdded.
  void announce();
  // Unmaps and closes both files; deletes nothing on disk, reports nothing.
  virtual ~VLRepositoryFile();

  VLRepositoryFile(const VLRepositoryFile&) = delete;
  VLRepositoryFile& operator=(const VLRepositoryFile&) = delete;

  // ---- Accessors (no failure, no log) ----
  VLRepository* getRepository() const { return repository_; }
  VLFileId getFileId() const { return fileId_; }
  // Reference forms for hot paths; valid while the record lives.
  const VLFileId& fileId() const { return fileId_; }
  std::string getFileName() const { return fileName_; }
  const std::string& fileName() const { return fileName_; }
  // UNKNOWN_SIZE while the size is not known.
  size_t getSize() const { return size_; }
  // Bytes present, as of the last recount.
  size_t getLoaded() const { return loaded_; }
  // Bytes present now while open (as of the last recount while closed); 0
  // while the size is unknown.
  size_t getHeldBytes();
  std::string getEtag() const { return etag_; }
  std::string getMetadata() const { return metadata_ ? *metadata_ : std::string(); }
  void setMetadata(const std::string& metadata);
  std::string getProviderData() const { return providerData_ ? *providerData_ : std::string(); }
  void setProviderData(const std::string& data);
  // The same texts, shared rather than copied (null when empty): a text is
  // never changed once made (a new one replaces it), so a snapshot may keep
  // it and read it on any thread.
  typedef std::shared_ptr<const std::string> SharedText;
  const SharedText& sharedMetadata() const { return metadata_; }
  const SharedText& sharedProviderData() const { return providerData_; }
  // The source URL handed to the provider at the next start; never stored.
  // An empty URL makes the provider ask the page for one.
  void setUrl(const std::string& url) { url_ = url; }
  // Download-queue position, -1 for none.
  int getPosition() const { return position_; }
  void setPosition(int position);
  // The downloader's state of the file.
  int getCustom() const { return custom_; }
  // Reports onDownloadStatesChanged when the value changes.
  void setCustom(int custom);
  time_t getLastValidation() const { return lastValidation_; }
  // Records now as the last validation of the stored content.
  void touchValidation();
  time_t getLastOpen() const { return lastOpen_; }
  unsigned int getTotalLockCount() const { return totalLockCount_; }
  time_t getLastAdd() const { return lastAdd_; }
  bool isOpen() const { return openCount_ != 0; }
  bool isRemoved() const { return removed_; }
  // Removed and not open: the repository may delete the record.
  bool isRemovedAndClosed() const { return removed_ && openCount_ == 0; }
  // Marks the record removed (reporting onFilesRemoved once); always true.
  bool remove();

  // ---- Storage, states and lifecycle ----

  // Maps both files on the first open (checking their lengths against the
  // known size: files changed behind our back are resized and their blocks
  // counted missing), counts the open and applies the options. False, with
  // nothing changed, when a file cannot be mapped.
  bool open(unsigned int options);
  // Undoes one open (and one lock with OPEN_LOCK). The last close stops
  // providing (cancelling the transfer), forgets an empty content of a
  // cached file (a stream's empty answer holds for one play only),
  // recounts the loaded bytes and unmaps both files. False when there is no
  // such open or lock.
  bool close(unsigned int options);

  // Copies the bytes present from offset on, up to the first missing block,
  // into buffer; done receives the count. A read cut short by a missing
  // block records a read request from the read's first block, which drives
  // the transfer. endOfFile (when not null) receives whether the clamped
  // range ends at the file's end; it is left alone for a clamped length of 0.
  // False when the file is not open.
  bool read(void* buffer, size_t offset, size_t length, size_t* done, bool* endOfFile);
  // Stores the whole blocks of buffer from offset (a block boundary) and
  // marks them present; a final partial block only when it ends the file.
  // The bytes are written through to the disk before their bits are set, so
  // that a set bit survives a crash only with its block. done receives the
  // bytes stored. False when the file is not open, the offset is not on a
  // block boundary or the bytes could not be written through.
  bool write(const void* buffer, size_t offset, size_t length, size_t* done);
  // Stores blocks as write does but leaves them unmarked until settle():
  // the blocks of many writes then start for the disk at once. A write that
  // does not follow the staged range settles that range first. Until
  // settle() the blocks count as missing; the writer settles before anyone
  // else looks.
  bool stage(const void* buffer, size_t offset, size_t length, size_t* done);
  // Marks the staged blocks present for readers and starts writing them to
  // the disk without waiting; their on-disk bits follow once they are known
  // written (see above). Also commits the blocks whose delay is over, and
  // every block once the file is complete. False when the file changed
  // under the staged blocks (they stay missing and are fetched again) or a
  // commit failed to write its blocks through (their on-disk bits stay
  // clear). True when nothing is staged.
  bool settle();

  // A new size and/or validator from a response. Unchanged values (an
  // UNKNOWN_SIZE size or an empty validator take no part) succeed without
  // effect. Otherwise the content and bitmap are resized (new size) or the
  // bitmap cleared (new validator only), so every block counts as missing,
  // and the index row is written at once. Refused while a reader holds a
  // lock, and when the repository has no room for the new size. A size
  // larger than the cache's limit takes its room as its bytes arrive, not
  // at once (VLRepository::makeRoomFor): the content file is sized without
  // reserving its room, and the repository measures again as bytes come.
  bool setContent(size_t size, const std::string& etag);
  // Forgets the stored content: its size, validator and every block, so
  // that the next start fetches the whole file again (bytes that are no
  // audio file). Refused while a reader holds a lock, and when the files
  // cannot be opened or emptied.
  bool discardContent();
  // Whether the stored content begins as a web page (markup text: its
  // first character '<'), which no audio file does. False while its first
  // bytes are not present.
  bool beginsAsPage();
  // Whether the files at the record's paths still have its lengths: another
  // program may have replaced them (by a folder, say) or cut them while they
  // were mapped, and the mappings then wrote to files the paths no longer
  // name. When they have not, nothing counts as present any more (logged).
  // For a closed record of known size; true for one of unknown size.
  bool checkStoredFiles();
  // Recounts the loaded bytes from the bitmap and reports progress (and
  // completion). False when the bitmap is not open.
  bool refreshLoaded();
  // The state flags above.
  int getFlags();
  // Follows the repository from oldDirectory to its new directory: renames
  // the files on the same volume; on another volume copies the files of a download (a record
  // with a download state); otherwise (or when that fails) drops them and
  // marks the record removed, recreating empty files at their lengths while open.
  void move(const std::string& oldDirectory, bool sameVolume);
  // Closes every open and lock still held and, for a removed record, has
  // the repository delete its content and bitmap files (discardFiles).
  void clean();
  // An answer whose length is known only when it ends is stored as it
  // comes. beginGrowing (at its headers) keeps the file's blocks when the
  // validator is the stored one and empties the file otherwise (refused
  // while a reader holds it); growFor then gives the file room for the bytes
  // up to end, ahead of them: its size is provisional meanwhile, and the
  // file never counts as complete. finishGrowing gives it its final size;
  // a download's end is taken only once an answer ends where an earlier one
  // ended and none ended further, or three in a row ended there (the file
  // stays growing until then).
  // growFor needs room for the whole blocks up to end and asks for a step
  // ahead of them, cut short where it would pass a track's size, the
  // volume's reserve or the room the volume has (VLRepository::makeRoomFor):
  // the file may grow up to any. The last close of a file still growing
  // empties it (size unknown again). False when the room or a resize is
  // refused (the file stays growing) or the file is not growing; tooLarge
  // (not null) is then set when the answer itself passed a bound, and left
  // false when the volume lacks the room (filled by other programs, or a
  // failing disk), which may come back. While open only.
  bool beginGrowing(const std::string& etag);
  bool growFor(size_t end, bool* tooLarge = nullptr);
  bool finishGrowing(size_t size, bool* tooLarge = nullptr);
  // Called by the repository at each room check while the file grows, with
  // the room the volume offers the repository (its free space and the
  // repository's own files). True when other programs took more than a few
  // megabytes of it since the most it offered after the providing open,
  // however much the file holds: a refused growth is then a volume they
  // filled (the answer would have fitted the most room), not its size.
  bool noteOfferedRoom(double offered);
  // Whether the most room the volume offered (see noteOfferedRoom) passed
  // `kept`, what the file may not take of it (the other files and the
  // volume's reserve), by more than a few megabytes. When it did not, a
  // refused growth tells nothing of the answer's size: the volume was short
  // of its reserve when the file began to grow (or when the program started
  // again), and the answer waits for room as one with a length does.
  bool wasOfferedRoomPast(double kept) const;
  // Whether an answer without a length is being stored (the size is then
  // provisional and the end of the data is not yet known).
  bool isGrowing() const { return growing_; }

  // Commits every block present and writes the bitmap through to the disk
  // while the record is open, before an index row that counts its blocks is
  // saved.
  void flushBitmap();

  // ---- Fetch scheduling ----

  // Forgets the read request that a short read of offset and length
  // recorded: its reader has given it up.
  void withdrawRead(size_t offset, size_t length);
  // Whether a read request waits; offset (when not null) receives the
  // smallest waiting offset. Drops requests older than 5 seconds, and every
  // request when the chosen one is already present.
  bool isSeekWaiting(size_t* offset);
  // The run of present (loaded true) or missing blocks from the block that
  // holds offset, within offset + length clamped to the size, in bytes from
  // that block's start (at most the size). False when the bitmap is not open.
  bool getInterval(size_t offset, size_t length, bool loaded, size_t* run);
  // Appends, for each run of present (or missing) blocks, its first and last
  // byte offsets (the last at most size - 1). False, appending nothing, while
  // the size is unknown or the bitmap is not open.
  bool getIntervals(bool loaded, std::list<unsigned long>& out);
  // Whether every byte of offset..offset + length (clamped to the size) is
  // present; false (unknown size) counts as not loaded. Opens and closes the
  // record around the check when it is closed. False when that fails.
  bool isRangeLoaded(size_t offset, size_t length, bool* loaded);
  // True when the stored content is due for validation (never while offline).
  bool needsValidation();
  // ready: no validation due, and the file is complete or data has arrived
  // since the last providing open. Always returns true.
  bool isReady(bool* ready);
  // The periodic work: polls the transfer, starts, moves, retries or stops
  // it, and recounts the loaded bytes every 0.5 s while open. False when the
  // provider's state or a start failed (the next pass decides again).
  // Retries wait 4, 8, ... seconds, at most 5 minutes; a transfer that
  // brought new bytes starts the count again. A file in a download state
  // retries for as long as it provides, any other gives up after 16.
  // Failures that never reached the server are retried within 2 seconds for
  // the first 20 seconds (a network drop, a restarting server), even while a
  // reader waits, and are not counted meanwhile: whoever waits gives up by
  // the time it has waited (getFailingFor), not by a count. Empty answers to
  // a download are tried again 4 times, after 4 to 32 seconds, before
  // providing ends. A download's answer without a length that does not
  // confirm its end counts as a failure, except the first of its run (the
  // next answer is asked for at once to confirm it).
  bool update();
  // Whether the providing file's transfers have failed without bringing new
  // bytes since its providing open or its last bytes: it waits between tries
  // on the retry schedule.
  bool isRetrying() const { return providing_ && failingSince_ != 0; }
  // Seconds (of the provider's running time, which leaves out time in which
  // the transfers were not pumped) since transfers began to fail without
  // bringing new bytes, or since the running transfer began to wait for its
  // first byte when that is longer; 0 while neither is the case.
  double getFailingFor();
  // Seconds until the next retry after a failure; 0 when none is waiting.
  double getRetryDelay();
  // Why the last transfer failed ("HTTP 503", a connection error); empty
  // when transfers bring bytes again or none has failed.
  std::string getFailure() const { return failure_; }

 private:
  // Copies content then bitmap to the other volume and removes the old
  // files; false (nothing left at the new paths) when a copy fails.
  static bool copyToOtherVolume(const std::string& oldContentPath, const std::string& newContentPath,
                                const std::string& oldBitmapPath, const std::string& newBitmapPath);

  void init(std::string fileName);
  void rowChanged() { repository_->noteRowChanged(this); }
  enum Access { Read, Write, Stage };
  bool readWriteMem(void* buffer, size_t offset, size_t length, Access access, size_t* done, bool* endOfFile);
  // The copy of readWriteMem through the mappings; faulted when a file was
  // shortened under them. False when the written bytes could not be flushed.
  bool copyMapped(void* buffer, size_t offset, size_t length, Access access, bool atEnd, size_t* count, bool* faulted);
  bool remapChangedFiles();
  void addSeek(const std::pair<size_t, size_t>& request);
  bool openInRemadeDirectory();
  bool mapFiles();
  void makeMappedFiles();
  bool isContentMapped() const;
  bool isBitmapMapped() const;
  bool checkMappedLengths();
  // Nothing stored counts as present any more: the files are not what the
  // record wrote.
  void forgetLoaded();
  bool mappingsCover();
  void remapAfterFailedResize();
  bool resizeKeepingBlocks(size_t size);
  bool emptyFiles();
  bool confirmsEnd(size_t size);
  void noteBytesArrived(size_t count);
  // Stores a new size and validator with nothing present, and tells the
  // repository, the index and the handler.
  void storeReset(size_t size, const std::string& etag);
  size_t bitCount();
  bool isComplete();
  // The bits readers see; as long as the bitmap mapping while open.
  const void* presentBits() const { return present_.data(); }
  // Makes the bits readers see those of the bitmap file again, forgetting
  // any commit still waiting: after the first open and any change of the
  // bitmap as a whole.
  void loadPresentBits();
  // Sets the on-disk bits of the blocks written since at least
  // kCommitDelay (all when `all`), once a flush of their bytes returned.
  bool commitWritten(bool all);
  size_t presentBytes();
  size_t firstMissingFrom(size_t offset);
  bool driveTransfer();
  bool finishedWithoutProgress();
  bool broughtNewBytes();
  bool discardPageDownload();
  void scheduleRetry(bool unanswered, bool empty);
  void scheduleEmptyAnswerRetry(double current);
  void reportRetry();
  void noteAwaitedAnswer(uint32_t state);
  enum StartKind { START_UNKNOWN_SIZE, START_VALIDATION, START_MISSING };
  bool startTransfer(size_t offset);
  bool startTransferAt(size_t offset, size_t length, StartKind kind);
  void seekTransfer(size_t offset);
  void cancelTransfer();
  void refreshWhileOpen();
  void reopen(VLMappedFile* file, bool wasOpen, const char* failure);
  double now() const;
  // The provider's running time, on which whoever waits counts its patience.
  double patienceNow() const;
  // A shared text of a copy of text (null when empty), and whether shared holds text.
  static SharedText shareText(std::string text);
  static bool holds(const SharedText& shared, const std::string& text);

  VLRepository* repository_;
  VLFileId fileId_;
  VLRepositoryHandler* handler_;
  VLHttpRepositoryProvider* provider_;
  VLMappedFile* content_;  // both null until the first open
  VLMappedFile* bitmap_;
  unsigned int openCount_;
  unsigned int lockCount_;
  bool providing_;
  int retryCount_;
  int emptyAnswers_;  // empty answers to a download since its providing open or its last bytes
  double nextTry_;    // monotonic seconds; 0 = none
  bool dataArrived_;
  size_t bitsAtStart_;   // present blocks when the running transfer started
  double failingSince_;  // patienceNow of the first failure without progress; 0 = none
  // A response's new validator or size was refused while a reader held the
  // file: its retries wait out their delay even while a reader waits.
  bool validatorRefused_;
  // The last failure never reached the server (refused, unreachable, no
  // answer in time): its retries too wait out their (short) delay.
  bool unanswered_;
  // patienceNow since the running transfer has waited for its first byte (no
  // answer, or headers and no body yet); 0 = it is not waiting.
  double awaitingSince_;
  // An answer without a length is being stored (see beginGrowing).
  bool growing_;
  // Where the answers without a length of a download ended furthest, and
  // how many ended without confirming their end, since the content was last
  // reset (all ones and 0: none): see finishGrowing.
  size_t endedAt_;
  int unconfirmedEnds_;
  // Where the last of them ended, and how many in a row ended there.
  size_t lastEndedAt_;
  int endedAlike_;
  // The most room the volume offered while the file grew (noteOfferedRoom).
  double mostOffered_;
  // The size was taken without its room (see setContent), and the bytes
  // stored since the repository last measured.
  bool roomAsBytesArrive_;
  size_t arrivedSinceRoomCheck_;
  std::string failure_;
  std::string url_;
  // Index columns.
  std::string fileName_;
  size_t size_;
  size_t loaded_;
  double lastRefresh_;  // monotonic seconds
  std::string etag_;
  SharedText metadata_;
  SharedText providerData_;
  int position_;
  int custom_;
  time_t lastValidation_;
  bool removed_;
  time_t lastOpen_;
  unsigned int totalLockCount_;
  time_t lastAdd_;
  // Waiting reads: (block-aligned offset, length) to the monotonic time of
  // their last recording.
  std::map<std::pair<size_t, size_t>, double> readRequests_;
  // Bytes stored by stage() and not yet marked: [stagedStart_, stagedEnd_).
  size_t stagedStart_;
  size_t stagedEnd_;
  // The block bits readers see (see the class comment).
  std::vector<uint8_t> present_;
  // Blocks present whose on-disk bits wait, in the order they were
  // settled, with the monotonic time their write-back began. A vector, not a
  // deque: an empty deque already holds more than half a kilobyte, and every
  // record of a repository has one.
  struct Written {
    size_t offset;
    size_t length;
    double since;
  };
  std::vector<Written> written_;
};
