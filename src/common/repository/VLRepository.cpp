#include "VLRepository.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <set>
#include <sqlite3.h>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "VLBlockBitmap.h"
#include "VLCrypto.h"
#include "VLFileHelper.h"
#include "VLFileSizeReader.h"
#include "VLLogger.h"
#include "VLMappedFile.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepositoryFile.h"
#include "VLRepositoryHandler.h"
#include "VLRepositoryIndexRescue.h"
#include "VLRepositoryMove.h"
#include "VLRepositoryTrash.h"
#include "VLSettingHelper.h"
#include "VLSQLiteDatabase.h"
#include "VLSQLiteStatement.h"

namespace {

const size_t kAllOnes = SIZE_MAX;
// Space kept free on the volume whatever the limits say.
const double kReserve = 300000000.0;
// The largest plausible audio track (70 minutes of CD-quality FLAC, four
// hours of 256 kbit/s MP3): an answer of unknown length that passes it is
// taken for one that never ends.
std::atomic<double> g_largestTrack(500000000.0);
// Seconds between size checks while full, and between probes while unwritable.
const double kRecheckPeriod = 3.0;
// Seconds between index saves.
const double kSavePeriod = 60.0;
// Records whose files one update deletes at most, and the seconds it spends
// on them at most: a removal waits for the disk (a discarding mount waits for
// each one), so the count alone does not bound the time.
const size_t kDeletionsPerPass = 200;
const double kDeletionSeconds = 0.015;
// Seconds one slice of the 60-second save writes rows at most.
const double kSaveSliceSeconds = 0.015;
// Records one update marks removed at most while it clears every record, and
// the seconds it spends deleting their rows at most: a mark reports the
// record to the page, so clearing a large cache at once would hold up the
// worker (and playback with it).
const size_t kClearsPerPass = 10000;
const double kClearSliceSeconds = 0.015;

// The schema tests compare with a single-quoted 'files', which SQLite reads
// as a string whether or not double-quoted literals are enabled in its build.
const char* const kLacksProviderData =
    "SELECT COUNT(sql) FROM sqlite_master WHERE tbl_name = 'files' AND sql NOT LIKE '%\"provider_data\"%'";
const char* const kAddProviderData = "ALTER TABLE \"files\" ADD COLUMN \"provider_data\" VARCHAR DEFAULT '' NOT NULL";
const char* const kLacksTotalLockCount =
    "SELECT COUNT(sql) FROM sqlite_master WHERE tbl_name = 'files' AND sql NOT LIKE '%\"total_lock_count\"%'";
const char* const kAddTotalLockCount =
    "ALTER TABLE \"files\" ADD COLUMN \"total_lock_count\" INTEGER DEFAULT 0 NOT NULL";
const char* const kAddLastAdd = "ALTER TABLE \"files\" ADD COLUMN \"last_add\" INTEGER DEFAULT 0 NOT NULL";

const char* const kForgetValidation =
    "UPDATE files SET last_validation = 0 WHERE repository = ? AND identity = ? AND file_name = ?";
const char* const kDeleteByName = "DELETE FROM files WHERE repository = ? AND identity = ? AND file_name = ?";
const char* const kCountName = "SELECT COUNT(*) FROM files WHERE file_name = ?";
const char* const kAnyStoredFile = "SELECT 1 FROM files WHERE repository = ? AND identity = ? AND size > 0 LIMIT 1";
const char* const kStoredFileNamed =
    "SELECT 1 FROM files WHERE repository = ? AND identity = ? AND file_name = ? AND size > 0";
const char* const kDeleteById =
    "DELETE FROM files WHERE repository = ? AND identity = ? AND entity_id = ? AND format_id = ?";
const char* const kInsert =
    "INSERT OR REPLACE INTO files (entity_id, format_id, size, loaded, etag, file_name, metadata, position, custom, "
    "last_validation, last_open, repository, identity, provider_data, total_lock_count, last_add) VALUES (?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
// Downloads removed while their folder was away, whose files go once it is
// back (see finishRemovalsWhileAway).
const char* const kCreateRemovedTable =
    "CREATE TABLE IF NOT EXISTS \"removed_files\" ( \"repository\" VARCHAR NOT NULL, \"identity\" VARCHAR NOT NULL, "
    "\"file_name\" VARCHAR NOT NULL, PRIMARY KEY (repository, identity, file_name))";
const char* const kRememberRemoval =
    "INSERT OR IGNORE INTO removed_files (repository, identity, file_name) VALUES (?, ?, ?)";
const char* const kSelectRemovals = "SELECT file_name FROM removed_files WHERE repository = ? AND identity = ?";
const char* const kForgetRemoval = "DELETE FROM removed_files WHERE repository = ? AND identity = ? AND file_name = ?";
const char* const kSelectRows =
    "SELECT entity_id, format_id, file_name, size, loaded, etag, metadata, position, custom, last_validation, "
    "last_open, provider_data, total_lock_count, last_add FROM files WHERE repository = ? AND identity = ?";

// Whether a stored format id names a row of the format table. Rows with other
// ids are left alone: loading them would rebadge them as the first format.
bool isKnownFormat(int64_t formatId) {
  if (formatId < 0 || formatId > int64_t(UINT32_MAX)) return false;
  return VLFileFormat::find(uint32_t(formatId))->getId() == uint32_t(formatId);
}

// The time by which eviction ranks a file: when a reader last held it, or,
// for a file no reader has held yet (one still being fetched for its first
// play), when it was added, so that it does not go first.
time_t evictionTime(VLRepositoryFile* file) {
  return file->getTotalLockCount() > 0 ? file->getLastOpen() : file->getLastAdd();
}

// The content file name of a folder entry: the entry itself, or a bitmap's
// name without its ".part".
std::string_view contentFileName(std::string_view entry) {
  const std::string_view suffix = ".part";
  if (entry.size() == 32 + suffix.size() && entry.substr(32) == suffix) entry.remove_suffix(suffix.size());
  return entry;
}

double knownSize(VLRepositoryFile* file) {
  size_t size = file->getSize();
  return size == kAllOnes ? 0.0 : double(size);
}

}  // namespace

const char* const VLRepository::kCreateFilesTable =
    "CREATE TABLE IF NOT EXISTS \"files\" ( \"repository\" VARCHAR NOT NULL, \"identity\" VARCHAR NOT NULL, "
    "\"entity_id\" VARCHAR NOT NULL, \"format_id\" INTEGER NOT NULL, \"size\" INTEGER NOT NULL, \"loaded\" "
    "INTEGER NOT NULL, \"etag\" VARCHAR NOT NULL, \"file_name\" VARCHAR UNIQUE NOT NULL, \"metadata\" VARCHAR NOT "
    "NULL, \"provider_data\" VARCHAR NOT NULL, \"position\" INTEGER NOT NULL, \"custom\" INTEGER NOT NULL, "
    "\"last_validation\" INTEGER NOT NULL, \"last_open\" INTEGER NOT NULL, \"total_lock_count\" INTEGER NOT NULL, "
    "\"last_add\" INTEGER NOT NULL, PRIMARY KEY (repository, identity, entity_id, format_id))";

VLRepository::VLRepository(VLRepositoryHandler* handler, VLHttpRepositoryProvider* provider, const std::string& name,
                           const std::string& identity, uint64_t validationPeriod, const std::string& databaseFolder,
                           const std::string& directory, int maxPercent, bool autoClean, double maxSize)
    : handler_(handler),
      provider_(provider),
      db_(nullptr),
      mutex_(VLPlatformFactory::instance()->createMutex()),
      directory_(directory),
      trash_(new VLRepositoryTrash()),
      name_(name),
      identity_(identity),
      validationPeriod_(validationPeriod),
      offline_(false),
      clearAllPending_(false),
      rowsLoaded_(false),
      lastSave_(0),
      maxSize_(0),
      maxPercent_(0),
      autoClean_(autoClean),
      sizeCheckPending_(false),
      full_(false),
      roomNeeded_(0),
      lastSizeCheck_(0),
      totalSize_(0),
      unavailable_(false),
      readOnly_(false),
      probedVolumeFull_(false),
      lastAvailabilityCheck_(0) {
  // Without a folder for the index there is no index (never one in the
  // folder the program was started from, or at the root).
  if (!databaseFolder.empty())
    dbPath_ = databaseFolder + VLPlatformFactory::instance()->getFileHelper()->getSeparator() + name + ".db";
  setLimits(maxPercent, maxSize);
}

VLRepository::~VLRepository() {
  if (db_ || !files_.empty() || move_) close();
  delete mutex_;
}

double VLRepository::now() const {
  return VLPlatformFactory::instance()->getTime();
}

// ---- Names and paths ----

std::string VLRepository::getDirectory() const {
  VLMutexLocker lock(mutex_);
  return directory_;
}

std::string VLRepository::makeFileName(const VLFileId& fileId) const {
  std::ostringstream text;
  text << name_ << "_" << identity_ << "_" << fileId.entityId() << "_" << fileId.getFormat()->getId();
  std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
  return crypto->md5(text.str());
}

std::string VLRepository::getFilePath(const std::string& fileName) const {
  return getDirectory() + VLPlatformFactory::instance()->getFileHelper()->getSeparator() + fileName;
}

std::string VLRepository::getBitmapPath(const std::string& fileName) const {
  return getFilePath(fileName) + ".part";
}

bool VLRepository::isValidFileName(std::string_view fileName) {
  if (fileName.size() != 32) return false;
  for (char c : fileName) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// ---- Records ----

VLRepositoryFile* VLRepository::getFile(const VLFileId& fileId, bool create) {
  auto it = files_.find(fileId);
  if (it != files_.end()) {
    // A record the running clear has not reached yet is cleared first, as
    // if the clear had been done at once: callers see it removed.
    if (isClearPending(fileId)) {
      clearExempt_.insert(fileId);
      it->second->remove();
    }
    return it->second;
  }
  if (!create) return nullptr;
  VLRepositoryFile* file = new VLRepositoryFile(this, identity_, fileId, provider_, handler_);
  files_.insert(std::make_pair(fileId, file));
  // Made after the clear was asked for: it stays.
  if (clearingFrom_) clearExempt_.insert(fileId);
  return file;
}

bool VLRepository::isClearPending(const VLFileId& fileId) const {
  return clearingFrom_ && !(fileId < *clearingFrom_) && clearExempt_.count(fileId) == 0;
}

// The records open when the clear is asked for stay, also once they close;
// those not open are marked removed in id order, a bounded number per update.
void VLRepository::startClear() {
  clearExempt_.clear();
  for (auto& entry : openFiles_) clearExempt_.insert(entry.first);
  if (files_.empty()) {
    clearingFrom_.reset();
    return;
  }
  clearingFrom_.reset(new VLFileId(files_.begin()->first));
}

// Marks removed the next records of the running clear, at most `most`, once
// their rows have left the index. The rows of a slice go in one transaction
// of bounded time (the rows of 100,000 records in one would hold up the
// worker for most of a second), ahead of the marks: a run killed during the
// clear keeps only the rows of the records the clear had not reached, and
// the start removes the cleared files it still finds, as files no row claims.
// Until a slice has marked a record removed, no save writes its row back (see
// writeRows). Rows a slice could not delete go with the next save.
void VLRepository::clearSlice(size_t most, double seconds) {
  if (!clearingFrom_) return;
  const double end = seconds > 0 ? now() + seconds : 0;
  const bool indexed = indexTakesWrites() && VLSQLiteStatement::execute(db_, "BEGIN TRANSACTION");
  std::vector<VLRepositoryFile*> cleared;
  auto it = files_.lower_bound(*clearingFrom_);
  {
    VLSQLiteStatement statement(db_);
    bool deleting = indexed && statement.prepare(kDeleteByName);
    for (size_t visited = 0; it != files_.end() && visited < most && hasTimeLeft(end, visited); ++it, ++visited) {
      VLRepositoryFile* file = it->second;
      if (clearExempt_.count(it->first) != 0 || file->isOpen()) continue;
      if (deleting) {
        statement.rewind();
        deleting = statement.bindText(1, name_) && statement.bindText(2, identity_) &&
                   statement.bindText(3, file->fileName()) && statement.execute();
      }
      cleared.push_back(file);
    }
    if (indexed && !(deleting && VLSQLiteStatement::execute(db_, "END TRANSACTION"))) {
      VL_LOG_ERROR("Unable to delete the index rows of cleared files, they go with the next save : " << name_);
      VLSQLiteStatement::execute(db_, "ROLLBACK");
    }
  }
  for (VLRepositoryFile* file : cleared) file->remove();
  if (it != files_.end()) {
    *clearingFrom_ = it->first;
    return;
  }
  clearingFrom_.reset();
  clearExempt_.clear();
}

const std::map<VLFileId, VLRepositoryFile*>& VLRepository::getFilesWithState(int state) {
  return filesByState_[state];
}

void VLRepository::noteStateChanged(VLRepositoryFile* file, int previous) {
  if (previous != 0) filesByState_[previous].erase(file->fileId());
  if (file->getCustom() == 0) return;
  // The record is in no list of its new state; the load adds records in id
  // order, so the end is the right place for them.
  std::map<VLFileId, VLRepositoryFile*>& files = filesByState_[file->getCustom()];
  files.emplace_hint(files.end(), file->fileId(), file);
}

std::vector<VLRepositoryFile*> VLRepository::takeResetFiles() {
  std::vector<VLRepositoryFile*> files(resetFiles_.begin(), resetFiles_.end());
  resetFiles_.clear();
  return files;
}

void VLRepository::findFiles(unsigned int flagsMask, unsigned int stateMask, std::list<VLRepositoryFile*>* files,
                             unsigned int* count) {
  if (count) *count = 0;
  forEachFound(flagsMask, stateMask, [files, count](VLRepositoryFile* file) {
    if (files) files->push_back(file);
    if (count) ++*count;
  });
}

void VLRepository::forEachFound(unsigned int flagsMask, unsigned int stateMask,
                                const std::function<void(VLRepositoryFile*)>& found) {
  for (auto& entry : files_) {
    VLRepositoryFile* file = entry.second;
    unsigned int flags = static_cast<unsigned int>(file->getFlags());
    if ((flags & VLRepositoryFile::FLAG_REMOVED) || isClearPending(entry.first)) continue;
    if (flagsMask != 0 && (flags & flagsMask) != flagsMask) continue;
    if (stateMask != 0 && (static_cast<unsigned int>(file->getCustom()) & stateMask) == 0) continue;
    found(file);
  }
}

// ---- Limits ----

void VLRepository::getLimits(double* maxSize, int* maxPercent) const {
  if (maxSize) *maxSize = maxSize_;
  if (maxPercent) *maxPercent = maxPercent_;
}

void VLRepository::setLimits(int maxPercent, double maxSize) {
  maxSize_ = std::max(0.0, maxSize);
  maxPercent_ = std::max(0, maxPercent);
  checkSize(false);
}

// The space a repository may use is what it stores plus what the volume has
// free: counting its own files against the free space alone would make it
// full as soon as it had stored as much as was left. The percent and the size
// limit lower the limit.
//
// The reserve is kept free by eviction only, so only a repository that
// evicts keeps it, and only while the volume still has it. It is never a
// reason to refuse a file: a file that takes the volume below the reserve is
// taken anyway once other programs have taken the reserve (keeping it then
// would refuse every file), so a refusal on its account would only hold
// while the volume had a little more free, and for as long as nothing else
// changed it, with a "volume full" that is not true.
double VLRepository::limitFor(double stored, double available, double total) const {
  double space = stored + available;
  double limit = total;
  if (autoClean_ && available > kReserve) limit = std::min(limit, space - kReserve);
  int percent = maxPercent_;
  double size = maxSize_;
  if (percent >= 1) limit = std::min(limit, double(percent) * space / 100.0);
  if (size > 0) limit = std::min(limit, size);
  return limit;
}

void VLRepository::checkSize(bool now) {
  if (!now) {
    sizeCheckPending_ = true;
    return;
  }
  if (unavailable_) return;
  sizeCheckPending_ = false;

  double available = 0;
  double total = 0;
  double usedSize = 0;
  bool full = false;
  if (!VLPlatformFactory::instance()->getFileHelper()->getFreeSpace(getDirectory(), &available, &total)) {
    VL_LOG_WARN("Unable to retrieve volume free space information");
  } else {
    double keptSize = 0;
    std::list<VLRepositoryFile*> candidates;
    // Files being removed hold their blocks until they are gone: counted
    // as stored, the volume's free space does not show them twice.
    const double pending = double(trash_->getPendingBytes());
    usedSize = pending;
    for (auto& entry : files_) usedSize += knownSize(entry.second);
    double limit = limitFor(usedSize, available, total);
    usedSize = pending;
    for (auto& entry : files_) {
      VLRepositoryFile* file = entry.second;
      usedSize += countedSize(file, limit);
      if (!file->isRemoved()) {
        keptSize += countedSize(file, limit);
        if (autoClean_) candidates.push_back(file);
      }
    }
    if (autoClean_) evict(limit, keptSize, candidates);
    full = !autoClean_ && (usedSize > limit || needsRoom(usedSize, keptSize, available, total));
  }
  if (full != full_) {
    full_ = full;
    if (full && handler_) handler_->onVolumeFull(this);
  }
  totalSize_ = static_cast<uint64_t>(usedSize);
  lastSizeCheck_ = this->now();
}

void VLRepository::evict(double limit, double keptSize, std::list<VLRepositoryFile*>& candidates) {
  candidates.sort([](VLRepositoryFile* a, VLRepositoryFile* b) { return evictionTime(a) < evictionTime(b); });
  while (keptSize > limit && !candidates.empty()) {
    VLRepositoryFile* file = candidates.front();
    candidates.pop_front();
    file->remove();
    keptSize -= countedSize(file, limit);
  }
}

// What a file takes against the limit: its size, but for a file larger than
// the limit of an auto-clean repository the bytes it holds: room is made for
// such a file as its bytes arrive, not for the size its server claims.
double VLRepository::countedSize(VLRepositoryFile* file, double limit) const {
  const double size = knownSize(file);
  return autoClean_ && size > limit ? double(file->getHeldBytes()) : size;
}

void VLRepository::setLargestTrack(double bytes) {
  g_largestTrack = bytes;
}

bool VLRepository::makeRoomFor(VLRepositoryFile* file, size_t size, bool* asBytesArrive, bool* tooLarge) {
  if (asBytesArrive) *asBytesArrive = false;
  if (tooLarge) *tooLarge = false;
  // A file growing with an answer of unknown length may never see its end:
  // it grows no larger than a track can be, and only while the volume keeps
  // its reserve free, whatever the limits say.
  const bool growing = file->isGrowing();
  if (growing && double(size) > g_largestTrack) {
    VL_LOG_WARN("Answer of unknown length is larger than a track can be : " << file->getFileId() << " at " << size
                                                                            << " bytes");
    if (tooLarge) *tooLarge = true;
    return false;
  }
  double available = 0;
  double total = 0;
  if (!VLPlatformFactory::instance()->getFileHelper()->getFreeSpace(getDirectory(), &available, &total))
    return true;  // the resize itself will tell
  double stored = double(trash_->getPendingBytes());
  for (auto& entry : files_) stored += knownSize(entry.second);
  // The room the volume offers this repository: what other programs leave.
  const bool othersTookRoom = growing && file->noteOfferedRoom(available + stored);
  const double limit = limitFor(stored, available, total);
  double keptOthers = 0;
  std::list<VLRepositoryFile*> candidates;
  for (auto& entry : files_) {
    VLRepositoryFile* other = entry.second;
    if (other == file || other->isRemoved()) continue;
    keptOthers += countedSize(other, limit);
    if (autoClean_) candidates.push_back(other);
  }
  const double wanted = double(size);
  const double growth = wanted - countedSize(file, limit);
  candidates.sort([](VLRepositoryFile* a, VLRepositoryFile* b) { return evictionTime(a) < evictionTime(b); });

  // Evicted files that are open stay on the volume until their last close:
  // they make room under the limit, not on the volume.
  std::vector<VLRepositoryFile*> evicted;
  double freed = 0;
  auto underLimit = [&] { return keptOthers + wanted <= limit; };
  // A file growing in the cache may always take the room the cache's limit
  // gives (a track of unknown length plays on a volume short of the
  // reserve, as one of known size does), and more only while the volume
  // keeps its reserve.
  auto onVolume = [&] {
    if (growth > available + freed) return false;
    return !growing || growth + kReserve <= available + freed || (autoClean_ && underLimit());
  };
  for (VLRepositoryFile* candidate : candidates) {
    if (underLimit() && onVolume()) break;
    evicted.push_back(candidate);
    keptOthers -= countedSize(candidate, limit);
    if (!candidate->isOpen()) freed += countedSize(candidate, limit);
  }
  // With auto-clean the limit only says how much to evict: a file larger than
  // the limit still plays, and the size check that follows its new size
  // evicts it too, so that it leaves after its last close. Only a file the
  // volume cannot hold, even with every file evicted, is refused. A file
  // growing with an answer of unknown length is taken the same way, up to its
  // bounds above, and is sized (and evicted) when its answer ends.
  bool limitHolds = !autoClean_;
  if (!onVolume() || (limitHolds && !underLimit())) {
    VL_LOG_WARN("Repository file does not fit : " << file->getFileId() << " needs " << size << " bytes, the limit is "
                                                  << limit << " and " << available << " bytes are available");
    // Its answer fails: the repository is not full for an answer that may
    // never have ended. Past the reserve it is the answer's own size, unless
    // other programs took the room meanwhile, or the volume never offered
    // the answer room past the reserve (the volume is full then).
    if (growing) {
      if (tooLarge) *tooLarge = !othersTookRoom && file->wasOfferedRoomPast(keptOthers + kReserve);
      return false;
    }
    // Without auto-clean the user can make room: the repository is full
    // until then. A size larger than the volume never fits: that file alone
    // fails. An auto-clean repository never turns full; in both cases the
    // handler still hears why the file fails (it tells the page once per
    // episode), instead of the page waiting in silence.
    if (!autoClean_ && wanted <= total) {
      roomNeeded_ = size;
      roomNeededBy_.reset(new VLFileId(file->getFileId()));
      checkSize(true);
    } else if (handler_) {
      handler_->onVolumeFull(this);
    }
    return false;
  }
  // A size larger than the limit is only what a server claims until its
  // bytes come (a claim of 300 MB for a track of 0.5 MB would otherwise empty
  // the cache and take the volume): the file takes its room, and evicts
  // others, as they arrive (VLRepositoryFile::setContent).
  if (autoClean_ && !growing && wanted > limit && asBytesArrive) {
    *asBytesArrive = true;
    return true;
  }
  for (VLRepositoryFile* candidate : evicted) candidate->remove();
  return true;
}

// Whether the file refused for lack of room is still wanted and still lacks
// it; forgotten otherwise.
bool VLRepository::needsRoom(double stored, double kept, double available, double total) {
  if (!roomNeededBy_) return false;
  VLRepositoryFile* file = getFile(*roomNeededBy_, false);
  bool wanted = file && !file->isRemoved() && (file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
  if (wanted) {
    double current = knownSize(file);
    double size = double(roomNeeded_);
    if (kept - current + size > limitFor(stored, available, total) || size - current > available) return true;
  }
  roomNeededBy_.reset();
  roomNeeded_ = 0;
  return false;
}

void VLRepository::checkAvailability(bool now) {
  VLFileHelper::Writability writability = VLFileHelper::NOT_WRITABLE;
  if (makeDirectory()) writability = VLPlatformFactory::instance()->getFileHelper()->probeWritability(getDirectory());
  // Nothing is stored into a repository whose index only reads: no row
  // would record it, and a restart would find it gone.
  const bool takesFiles = writability == VLFileHelper::WRITABLE || writability == VLFileHelper::VOLUME_FULL;
  if (takesFiles && !reopenIndexForWriting()) writability = VLFileHelper::READ_ONLY;
  bool unavailable = writability == VLFileHelper::NOT_WRITABLE || writability == VLFileHelper::READ_ONLY;
  // A read-only folder (a volume remounted so after an error) cannot take
  // transfers, but the complete files it holds can still be read and played.
  readOnly_ = writability == VLFileHelper::READ_ONLY;
  if (unavailable != unavailable_) {
    unavailable_ = unavailable;
    if (unavailable && readOnly_)
      VL_LOG_WARN("Repository directory is read-only, its files are only read : " << getDirectory());
    if (unavailable && !readOnly_)
      VL_LOG_WARN("Repository directory cannot be used, its files wait for it : " << getDirectory());
    if (!unavailable) VL_LOG_INFO("Repository directory can be used again : " << getDirectory());
    if (!unavailable) finishRemovalsWhileAway();
    if (unavailable && handler_) handler_->onUnwritable(this);
  }
  // A folder on a full volume still reads what it holds: its files stay
  // found and played, and what needs room is refused as it asks for it.
  bool volumeFull = writability == VLFileHelper::VOLUME_FULL;
  if (volumeFull != probedVolumeFull_) {
    probedVolumeFull_ = volumeFull;
    if (volumeFull) VL_LOG_WARN("Repository volume is full, its files are read but none can grow : " << getDirectory());
    if (volumeFull && handler_) handler_->onVolumeFull(this);
  }
  lastAvailabilityCheck_ = this->now();
}

// ---- Directory ----

// The folder can vanish while the client runs (a user or a cleaner empties
// ~/.cache). The cache's files can be fetched again anywhere, so its folder is
// made again with every folder above it. A download folder is made again only
// where its parent still exists, and only while it is to hold no stored file:
// a download folder that has gone while it held downloads is most likely on a
// disk that is not mounted (its mount point still there), and a folder made
// there would take the whole library again onto another disk. For the same
// reason a download folder that holds none of the files its index names with
// stored bytes is not taken for theirs (a folder made in its place): the
// repository waits for the right one, probing every few seconds.
bool VLRepository::makeDirectory() {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  const std::string directory = getDirectory();
  if (autoClean_) return files->createDirectories(directory);
  if (!claimsStoredFiles()) return files->createDirectory(directory);
  return holdsClaimedFile(directory);
}

// Whether a record, or before the load a row, names a file with stored bytes.
bool VLRepository::claimsStoredFiles() {
  if (rowsLoaded_ || !files_.empty()) {
    for (auto& entry : files_) {
      if (holdsBytes(entry.second)) return true;
    }
    return false;
  }
  if (!db_) return false;
  VLSQLiteStatement statement(db_);
  bool row = false;
  return statement.prepare(kAnyStoredFile) && statement.bindText(1, name_) && statement.bindText(2, identity_) &&
         statement.step(&row) && row;
}

bool VLRepository::holdsBytes(VLRepositoryFile* file) {
  return !file->isRemoved() && file->getSize() != kAllOnes && file->getSize() > 0;
}

// Whether the folder holds a content file that a record (or before the load,
// a row) names with stored bytes. A missing or empty folder answers at once.
bool VLRepository::holdsClaimedFile(const std::string& directory) {
  std::vector<std::string> names;
  VLPlatformFactory::instance()->getFileHelper()->forEachFile(directory, [&names](std::string_view entry) {
    if (isValidFileName(entry)) names.emplace_back(entry);
  });
  if (names.empty()) return false;
  if (rowsLoaded_ || !files_.empty()) {
    std::unordered_set<std::string_view> claimed;
    for (auto& entry : files_) {
      if (holdsBytes(entry.second)) claimed.insert(entry.second->fileName());
    }
    for (const std::string& name : names) {
      if (claimed.count(name)) return true;
    }
    return false;
  }
  VLSQLiteStatement statement(db_);
  if (!statement.prepare(kStoredFileNamed)) return false;
  for (const std::string& name : names) {
    bool row = false;
    statement.rewind();
    if (!statement.bindText(1, name_) || !statement.bindText(2, identity_) || !statement.bindText(3, name) ||
        !statement.step(&row))
      return false;
    if (row) return true;
  }
  return false;
}

void VLRepository::setDirectory(const std::string& directory, bool apply) {
  if (!apply) {
    VLMutexLocker lock(mutex_);
    pendingDirectory_ = directory;
    return;
  }
  std::string current = getDirectory();
  {
    VLMutexLocker lock(mutex_);
    if (pendingDirectory_ == directory) pendingDirectory_.clear();
  }
  if (directory.empty() || directory == current) return;

  // A folder that cannot take files would look like another volume and
  // every file would be dropped: probe it first and stay where we are.
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  if (!files->createDirectory(directory) || !files->isWritable(directory)) {
    VL_LOG_ERROR("Repository directory is not writable, the files stay where they are : " << directory);
    if (handler_) handler_->onUnwritable(this);
    return;
  }
  if (files->isSameVolume(current, directory))
    switchDirectory(directory, true);
  else
    startMove(directory);
}

void VLRepository::startMove(const std::string& directory) {
  std::string separator(1, VLPlatformFactory::instance()->getFileHelper()->getSeparator());
  std::vector<VLRepositoryMove::Copy> copies;
  for (auto& entry : files_) {
    VLRepositoryFile* file = entry.second;
    if (file->getCustom() == 0 || file->getSize() == VLRepositoryFile::UNKNOWN_SIZE || file->getSize() == 0) continue;
    std::string name = file->getFileName();
    copies.push_back(VLRepositoryMove::Copy{getFilePath(name), directory + separator + name});
    copies.push_back(VLRepositoryMove::Copy{getBitmapPath(name), directory + separator + name + ".part"});
  }
  VL_LOG_INFO("Repository files are copied to another volume : " << name_ << " => " << directory << " ("
                                                                 << copies.size() << " files)");
  // Stored before the first copy: a run that ends during the copying leaves
  // copies that only the next start, told where they are, can remove.
  storeMoveTarget(directory);
  move_.reset(new VLRepositoryMove(directory, copies));
  if (!move_->start()) {
    VL_LOG_ERROR("Unable to start copying repository files, they stay where they are : " << directory);
    move_.reset();
    storeMoveTarget(std::string());
  }
}

void VLRepository::finishMove() {
  std::unique_ptr<VLRepositoryMove> move(std::move(move_));
  if (move->hasFailed()) {
    VL_LOG_ERROR("Repository files stay where they are : " << getDirectory());
    move->abandon();
    storeMoveTarget(std::string());
    if (handler_) handler_->onUnwritable(this);
    return;
  }
  std::string directory = move->getDirectory();
  move.reset();
  switchDirectory(directory, false);
  storeMoveTarget(std::string());
}

std::string VLRepository::moveTargetPreference() const {
  return directoryPreference_.empty() ? std::string() : directoryPreference_ + "MoveTarget";
}

void VLRepository::storeMoveTarget(const std::string& directory) {
  const std::string key = moveTargetPreference();
  if (!key.empty()) VLPlatformFactory::instance()->getSettingHelper()->setValue(identity_, key, directory);
}

// The copies that a move to another volume had made when its run ended (a
// kill, a crash, a power loss) before it switched over: the records' files
// are still in the directory, and a file in the move's target that a record
// names is one of those copies, whole or cut short. They are removed, so that
// a move that never finished leaves nothing behind.
void VLRepository::removeUnfinishedMoveCopies() {
  const std::string key = moveTargetPreference();
  if (key.empty()) return;
  const std::string target = VLPlatformFactory::instance()->getSettingHelper()->getValue(identity_, key, std::string());
  if (target.empty()) return;
  if (target != getDirectory()) {
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    const std::string prefix = target + files->getSeparator();
    size_t removed = 0;
    for (auto& entry : files_) {
      const std::string path = prefix + entry.second->fileName();
      if (files->removeFile(path + ".part")) ++removed;
      if (files->removeFile(path)) ++removed;
    }
    VL_LOG_WARN("Repository files were being copied when the last run ended, the copies are removed : "
                << target << " (" << removed << " files)");
  }
  storeMoveTarget(std::string());
}

// The new directory is stored before any old file goes: a crash after this
// point starts again where the files are (the copies, or the renamed files).
void VLRepository::switchDirectory(const std::string& directory, bool sameVolume) {
  if (!directoryPreference_.empty())
    VLPlatformFactory::instance()->getSettingHelper()->setValue(identity_, directoryPreference_, directory);
  std::string oldDirectory;
  {
    VLMutexLocker lock(mutex_);
    oldDirectory = directory_;
    directory_ = directory;
  }
  for (auto& entry : files_) entry.second->move(oldDirectory, sameVolume);
}

// ---- Periodic work ----

bool VLRepository::update() {
  bool result = true;
  double current = now();
  // Taken once, so that a request made while this pass runs is kept for the next.
  bool clearAll = clearAllPending_.exchange(false);

  if (sizeCheckPending_ || (full_ && lastSizeCheck_ + kRecheckPeriod < current)) checkSize(true);
  std::string pending;
  {
    VLMutexLocker lock(mutex_);
    pending = pendingDirectory_;
  }
  if (move_ && move_->isDone()) finishMove();
  if (!pending.empty() && !move_) setDirectory(pending, true);
  // An index write refused since the last probe is probed at once.
  if (unavailable_ ? lastAvailabilityCheck_ + kRecheckPeriod < current : indexRefusedWrites_) checkAvailability(true);

  if (clearAll) startClear();
  clearSlice(kClearsPerPass, kClearSliceSeconds);
  deleteRemovedFiles();
  std::vector<VLRepositoryFile*> open;
  open.reserve(openFiles_.size());
  for (auto& entry : openFiles_) open.push_back(entry.second);
  for (VLRepositoryFile* file : open) {
    if (!file->update()) result = false;
  }
  // The 60-second save goes in slices of bounded time: with many rows changed
  // (a clear, a large queue change) one save would hold up the worker for
  // seconds. The slices go on in the next updates until every row is saved.
  if (lastSave_ + kSavePeriod < current) {
    lastSave_ = current;
    saveUnfinished_ = true;
  }
  if (saveUnfinished_) {
    if (!saveRows(kSaveSliceSeconds) || !hasUnsavedRows()) saveUnfinished_ = false;
  }
  return result;
}

// Deleting a record renames its two files (see discardFiles): a pass deletes
// a bounded number, so that clearing a large cache never holds up the worker
// (and playback with it); the rest go in the next passes. The rows of the
// pass's records leave the index first (see deleteRowsOf). The size is
// checked once the deletions are done and their files are gone.
void VLRepository::deleteRemovedFiles() {
  std::vector<VLRepositoryFile*> due;
  for (auto it = removedFiles_.begin(); it != removedFiles_.end() && due.size() < kDeletionsPerPass;) {
    auto entry = files_.find(*it);
    if (entry != files_.end() && entry->second->isRemovedAndClosed()) {
      due.push_back(entry->second);
      ++it;
    } else {
      it = removedFiles_.erase(it);
    }
  }
  const bool rowsGone = deleteRowsOf(due);
  size_t deleted = 0;
  const double deletionEnd = now() + kDeletionSeconds;
  for (VLRepositoryFile* file : due) {
    if (deleted > 0 && now() >= deletionEnd) break;
    auto entry = files_.find(file->fileId());
    deleteRemovedAndClosed(entry, rowsGone);
    ++deleted;
  }
  if (deleted > 0 && removedFiles_.empty()) sizeCheckOnceDiscarded_ = true;
  if (sizeCheckOnceDiscarded_ && trash_->isEmpty()) {
    sizeCheckOnceDiscarded_ = false;
    checkSize(true);
  }
}

// In a repository of downloads the rows of records about to be deleted leave
// the index before their files leave the disk, in one transaction: a row
// whose files are gone is a damaged download to the next start, which would
// fetch it again after a crash. (A cache's start drops such a row, and a
// clear deletes its rows itself.) Files that are not where they should be
// cannot be removed: their folder is not there, or it is the empty mount
// point of a disk not mounted. The same transaction remembers the names of
// those that hold bytes, for when they are back. False when the rows are left
// to the next save.
bool VLRepository::deleteRowsOf(const std::vector<VLRepositoryFile*>& files) {
  if (autoClean_ || files.empty() || !indexTakesWrites()) return false;
  std::vector<std::string> names;
  std::vector<std::string> unreachable;
  names.reserve(files.size());
  for (VLRepositoryFile* file : files) {
    names.push_back(file->fileName());
    const bool storedBytes = file->getSize() != kAllOnes && file->getSize() > 0;
    if (storedBytes && !hasFilesOnDisk(file->fileName())) unreachable.push_back(file->fileName());
  }
  if (!inTransaction([&] { return runEach(kRememberRemoval, unreachable) && runEach(kDeleteByName, names); })) {
    VL_LOG_ERROR("Unable to delete the index rows of removed downloads before their files : " << name_);
    return false;
  }
  if (!unreachable.empty())
    VL_LOG_WARN("Downloads are removed while their files are away, the files go once they are back : "
                << unreachable.size() << " in " << getDirectory());
  return true;
}

bool VLRepository::hasFilesOnDisk(const std::string& fileName) const {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  return files->getFileSize(getFilePath(fileName)) > 0 || files->getFileSize(getBitmapPath(fileName)) > 0;
}

// The files of downloads removed while their folder was away go once the
// folder can be used again (at a start, or when it comes back). A name that a
// record holds again belongs to that record, and is forgotten; one whose files
// are not found is kept for later (the folder in use may be one made in the
// place of a disk's, or its empty mount point), unless the folder holds a
// file that a record claims: it is then the right one, and files not in it
// were deleted by hand. Every other is forgotten once its files are handed
// to the trash.
void VLRepository::finishRemovalsWhileAway() {
  if (autoClean_ || !indexTakesWrites() || unavailable_) return;
  std::vector<std::string> pending;
  {
    VLSQLiteStatement statement(db_);
    bool row = false;
    bool ok = statement.prepare(kSelectRemovals) && statement.bindText(1, name_) && statement.bindText(2, identity_);
    while (ok && (ok = statement.step(&row)) && row) pending.push_back(statement.columnText(0));
  }
  if (pending.empty()) return;
  std::unordered_set<std::string_view> claimed;
  for (auto& entry : files_) claimed.insert(entry.second->fileName());
  const bool rightFolder = holdsClaimedFile(getDirectory());
  std::vector<std::string> finished;
  std::vector<std::string> paths;
  for (const std::string& name : pending) {
    if (!isValidFileName(name) || claimed.count(name)) {
      finished.push_back(name);
    } else if (hasFilesOnDisk(name)) {
      paths.push_back(getBitmapPath(name));
      paths.push_back(getFilePath(name));
      finished.push_back(name);
    } else if (rightFolder) {
      finished.push_back(name);
    }
  }
  if (!paths.empty()) {
    VL_LOG_INFO("Files of downloads removed while their folder was away are removed : " << paths.size() / 2 << " in "
                                                                                        << getDirectory());
    trash_->put(paths, 0);
  }
  runForNames(kForgetRemoval, finished);
}

void VLRepository::discardFiles(const std::string& fileName, uint64_t bytes) {
  // The bitmap goes first: a crash between the two never leaves set bits
  // for content that is gone.
  trash_->put({getBitmapPath(fileName), getFilePath(fileName)}, bytes);
}

bool VLRepository::isDiscarding() const {
  return !trash_->isEmpty();
}

void VLRepository::noteOpened(VLRepositoryFile* file) {
  openFiles_[file->getFileId()] = file;
}

void VLRepository::noteClosed(VLRepositoryFile* file) {
  openFiles_.erase(file->getFileId());
  if (file->isRemoved()) removedFiles_.insert(file->getFileId());
}

void VLRepository::noteRemoved(VLRepositoryFile* file) {
  // A clear-all removes the records in id order: the end is the right place.
  if (!file->isOpen()) removedFiles_.insert(removedFiles_.end(), file->getFileId());
}

void VLRepository::deleteRemovedAndClosed(std::map<VLFileId, VLRepositoryFile*>::iterator& it, bool rowGone) {
  VLRepositoryFile* file = it->second;
  file->clean();
  changedRows_.erase(file);
  resetFiles_.erase(file);
  openFiles_.erase(it->first);
  removedFiles_.erase(it->first);
  if (file->getCustom() != 0) filesByState_[file->getCustom()].erase(it->first);
  if (!rowGone) deletedRows_.insert(it->first);
  delete file;
  it = files_.erase(it);
}

void VLRepository::close() {
  if (move_) {
    VL_LOG_WARN("Repository closes while its files are copied, they stay where they are : " << getDirectory());
    move_->abandon();
    move_.reset();
    storeMoveTarget(std::string());
  }
  // A clear under way is finished: its records lose their files and rows.
  clearSlice(SIZE_MAX, 0);
  // Removed records lose their rows, then their files.
  std::vector<VLRepositoryFile*> removed;
  for (auto& entry : files_) {
    if (entry.second->isRemoved()) removed.push_back(entry.second);
  }
  const bool rowsGone = deleteRowsOf(removed);
  for (auto it = files_.begin(); it != files_.end();) {
    it->second->clean();
    if (it->second->isRemoved())
      deleteRemovedAndClosed(it, rowsGone);
    else
      ++it;
  }
  saveFiles();
  trash_->finish();
  sizeCheckOnceDiscarded_ = false;
  for (auto& entry : files_) delete entry.second;
  files_.clear();
  changedRows_.clear();
  deletedRows_.clear();
  filesByState_.clear();
  resetFiles_.clear();
  openFiles_.clear();
  removedFiles_.clear();
  if (db_) {
    VLSQLiteDatabase::close(db_);
    db_ = nullptr;
  }
  rowsLoaded_ = false;
}

// ---- Index database ----

void VLRepository::init() {
  bool ok = openAndLoad(true);
  if (!ok) ok = rescueDamagedIndex();
  if (!ok) close();
}

// The entries of the directory that bear a name this code makes (a content
// file's, or its bitmap's), read on a thread of its own, with the content
// names they stand for (views of the entries).
struct VLRepository::OwnFiles {
  bool listed = false;
  std::vector<std::string> entries;
  std::unordered_set<std::string_view> names;
  std::vector<std::string> trash;  // paths of files with trash names
};

bool VLRepository::openAndLoad(bool removeOrphanFiles) {
  bool ok = openIndex();
  if (ok) checkAvailability(true);
  // The folder is listed while the index loads: reading a folder of many
  // files takes as long as the load itself.
  std::future<OwnFiles> listing;
  if (ok && !unavailable_ && removeOrphanFiles) listing = listOwnFiles();
  std::vector<VLRepositoryFile*> damaged;
  if (ok && !loadFiles(!unavailable_, &damaged)) ok = false;
  if (ok) repairDamagedDownloads(damaged);
  if (ok && removeOrphanFiles) removeUnfinishedMoveCopies();
  if (ok) finishRemovalsWhileAway();
  if (ok && listing.valid()) removeOrphans(listing.get());
  return ok;
}

// An index that SQLite finds damaged would leave the repository without one
// for good: the records could not be listed, and nothing new could be saved.
// It is made again from the rows that can still be read, and the page is
// told, also when it cannot be made again yet (a full disk) and the records
// are missing for this run. Content files that no rescued row claims are left
// on the disk in this run, so that nothing is deleted on the word of a damaged
// file (a repository of downloads never removes them, see removeOrphans).
bool VLRepository::rescueDamagedIndex() {
  close();
  if (dbPath_.empty()) return false;
  VLRepositoryIndexRescue rescue(dbPath_);
  if (!rescue.isDamaged()) return false;
  bool ok = rescue.rebuild() && openAndLoad(false);
  if (handler_) handler_->onIndexDamaged(this);
  return ok;
}

bool VLRepository::openIndex() {
  if (dbPath_.empty()) {
    VL_LOG_ERROR("No folder for the index of the repository : " << name_);
    return false;
  }
  // Another process holding the index (a second instance, a backup) makes
  // statements wait a little instead of failing at once.
  if (VLSQLiteDatabase::open(dbPath_, VLSQLiteDatabase::Access::ReadWrite, VLSQLiteDatabase::WhenLocked::Wait, &db_) !=
      SQLITE_OK) {
    VL_LOG_ERROR("Unable to open SQLite database : " << dbPath_);
    return false;
  }

  VLSQLiteStatement statement(db_);
  bool row = false;
  if (!statement.prepare(kLacksProviderData) || !statement.step(&row)) return false;
  bool lacksProviderData = row && statement.columnInt(0) == 1;
  statement.finalize();
  if (lacksProviderData && !VLSQLiteStatement::execute(db_, kAddProviderData)) return false;

  if (!statement.prepare(kLacksTotalLockCount) || !statement.step(&row)) return false;
  bool lacksTotalLockCount = row && statement.columnInt(0) == 1;
  statement.finalize();
  if (lacksTotalLockCount &&
      (!VLSQLiteStatement::execute(db_, kAddTotalLockCount) || !VLSQLiteStatement::execute(db_, kAddLastAdd)))
    return false;

  if (!VLSQLiteStatement::execute(db_, kCreateFilesTable) || !VLSQLiteStatement::execute(db_, kCreateRemovedTable) ||
      !VLSQLiteStatement::execute(db_, "PRAGMA synchronous = OFF"))
    return false;
  if (VLSQLiteDatabase::isReadOnly(db_))
    VL_LOG_WARN(
        "Repository index is read-only, nothing is stored into the repository until it can be written : " << dbPath_);
  return true;
}

// A connection opened while the index's folder was read-only (a home
// remounted so after a file-system error) only reads, also once the folder
// is writable again: it is then opened anew, for writing, before anything is
// stored into the repository. The rows it read are the file's rows, so the
// records stand. False while the index cannot be written.
bool VLRepository::reopenIndexForWriting() {
  if (indexRefusedWrites_) {
    if (!indexTakesTrialWrite()) return false;
    indexRefusedWrites_ = false;
    VL_LOG_INFO("Repository index can be written again : " << dbPath_);
  }
  if (!VLSQLiteDatabase::isReadOnly(db_)) return true;
  sqlite3* db = nullptr;
  if (VLSQLiteDatabase::open(dbPath_, VLSQLiteDatabase::Access::ReadWrite, VLSQLiteDatabase::WhenLocked::Wait, &db) !=
      SQLITE_OK)
    return false;
  if (VLSQLiteDatabase::isReadOnly(db) || !VLSQLiteStatement::execute(db, "PRAGMA synchronous = OFF")) {
    VLSQLiteDatabase::close(db);
    return false;
  }
  VLSQLiteDatabase::close(db_);
  db_ = db;
  VL_LOG_INFO("Repository index can be written again : " << dbPath_);
  return true;
}

bool VLRepository::takesRemovals() {
  if (!VLSQLiteDatabase::isReadOnly(db_) && !indexRefusedWrites_) return true;
  const double current = now();
  if (current - lastRemovalRefusal_ < kRecheckPeriod) return false;
  lastRemovalRefusal_ = current;
  VL_LOG_WARN("Repository index is read-only, removals are refused until it can be written : " << dbPath_);
  if (handler_) handler_->onUnwritable(this);
  return false;
}

bool VLRepository::indexTakesWrites() const {
  return db_ && rowsLoaded_ && !VLSQLiteDatabase::isReadOnly(db_) && !indexRefusedWrites_;
}

// A connection opened for writing stays so when its folder turns read-only
// while the client runs (a file-system error remounts it so), but its writes
// fail: they cannot make their journal, or reach the file. The repository
// then counts as read-only, as with an index opened read-only, until a trial
// write passes (see reopenIndexForWriting); the rows stay to be saved. A
// full volume is not that: the repository's size checks handle it.
void VLRepository::noteIndexWriteFailure(int code) {
  code &= 0xff;
  if (indexRefusedWrites_ || (code != SQLITE_READONLY && code != SQLITE_CANTOPEN && code != SQLITE_IOERR)) return;
  indexRefusedWrites_ = true;
  VL_LOG_WARN(
      "Repository index cannot be written any more, nothing is stored into the repository until it can : " << dbPath_);
}

// A write that changes nothing: it needs the journal that a read-only folder
// refuses. Run without logging, as it is tried at every probe.
bool VLRepository::indexTakesTrialWrite() {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE; CREATE TABLE write_trial (x); ROLLBACK", nullptr, nullptr, nullptr) ==
      SQLITE_OK)
    return true;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

// A download whose content has its recorded size and was whole at the last
// save lost only its bitmap (truncated or deleted by hand): the bytes were on
// the disk before the row counted them, so the bitmap is made again with every
// block present, and the file is validated with the server at its next use.
bool VLRepository::restoreWholeBitmap(const std::string& fileName, uint64_t size) {
  const std::string path = getBitmapPath(fileName);
  VL_LOG_WARN("Repository bitmap is damaged, made again for the whole file : " << path);
  std::unique_ptr<VLMappedFile> bitmap(VLPlatformFactory::instance()->createMappedFile(path));
  if (!bitmap->open(getBitmapSize(size_t(size)))) return false;
  if (size > 0) markBlocks(bitmap->getData(), 0, size_t(size));
  bool flushed = bitmap->flush(0, bitmap->getSize());
  bitmap->close();
  return flushed;
}

// A download whose content or bitmap no longer matches its row keeps its
// record, with nothing present, and the downloader queues it again. Its files
// are given their recorded lengths (every block missing) only when it is
// opened to be fetched, a few at a time: making them all at the start would
// hold it up, and take the space of the whole library at once, when many
// files have gone.
void VLRepository::repairDamagedDownloads(const std::vector<VLRepositoryFile*>& damaged) {
  const size_t logged = 20;
  for (size_t i = 0; i < damaged.size(); ++i) {
    VLRepositoryFile* file = damaged[i];
    if (i < logged)
      VL_LOG_WARN("Download does not match its index row, it is fetched again : " << getFilePath(file->fileName()));
    noteRowChanged(file);
    noteContentReset(file);
  }
  if (damaged.size() > logged)
    VL_LOG_WARN("Downloads that do not match their index rows are fetched again : " << damaged.size() << " in "
                                                                                    << getDirectory());
}

// A row of the index as the load reads it, with the sizes of its files once
// they are checked (name is the row's file name). The thread that checks them
// also makes the record of a row whose files match, unreported: the worker
// then only files it.
struct VLRepository::IndexRow : VLFileSizeReader::Request {
  explicit IndexRow(VLRepository* owner) : repository(owner) {}
  void sizesRead() override;

  VLRepository* repository;
  bool checked = false;
  std::unique_ptr<VLRepositoryFile> record;
  std::string entityId;
  int64_t formatId = 0;
  int64_t size = 0;
  int64_t loaded = 0;
  std::string etag;
  std::string metadata;
  int64_t position = 0;
  int64_t custom = 0;
  int64_t lastValidation = 0;
  int64_t lastOpen = 0;
  std::string providerData;
  int64_t totalLockCount = 0;
  int64_t lastAdd = 0;
};

struct VLRepository::LoadOutcome {
  std::vector<std::string> mismatched;
  std::vector<std::string> restored;
  std::vector<VLRepositoryFile*>* damaged;
};

namespace {

// Threads that check the rows' files beside the scan: the checks wait on the
// file system, and a few lookups at once keep it busy.
unsigned sizeThreads() {
  return std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
}

}  // namespace

// One scan of the index loads the records and, while the directory can be
// used, checks the files of every row of known size (a row whose files are
// not what it records would hand out bytes that are not there). The checks
// run on a few threads while the scan goes on; each record is made, in the
// rows' order, once its row's files are checked. A cached file that does not
// match loses its row and is fetched again when played; a download keeps its
// record (see checkRowFiles). Rows are only deleted or updated once the scan
// is over.
bool VLRepository::loadFiles(bool checkFiles, std::vector<VLRepositoryFile*>* damaged) {
  lastSave_ = now();
  if (!db_) return false;
  if (!files_.empty()) {
    VL_LOG_ERROR("File list has been already loaded");
    return false;
  }
  std::unique_ptr<VLFileSizeReader> sizes;
  if (checkFiles)
    sizes.reset(new VLFileSizeReader(VLPlatformFactory::instance()->getFileHelper(), getDirectory(), sizeThreads()));
  LoadOutcome outcome;
  outcome.damaged = damaged;
  // Rows stay at their addresses while their files are checked.
  std::deque<IndexRow> rows;
  VLSQLiteStatement statement(db_);
  bool row = false;
  bool result = statement.prepare(kSelectRows) && statement.bindText(1, name_) && statement.bindText(2, identity_);
  while (result && (result = statement.step(&row)) && row) {
    rows.emplace_back(this);
    IndexRow& read = rows.back();
    readRow(statement, &read);
    if (checkFiles && read.size != -1 && isValidFileName(read.name)) {
      read.checked = true;
      sizes->add(&read);
    }
    while (!rows.empty() && (!rows.front().checked || sizes->isDone(&rows.front(), false))) {
      takeRow(rows.front(), &outcome);
      rows.pop_front();
    }
  }
  statement.finalize();
  for (; !rows.empty(); rows.pop_front()) {
    if (rows.front().checked) sizes->isDone(&rows.front(), true);
    takeRow(rows.front(), &outcome);
  }
  sizes.reset();
  // Restored bitmaps are on the disk already: their rows forget the
  // validation even when the scan failed after them.
  if (!forgetValidation(outcome.restored) || !result || !deleteRowsByName(outcome.mismatched)) return false;
  rowsLoaded_ = true;
  checkSize(true);
  return true;
}

void VLRepository::readRow(VLSQLiteStatement& statement, IndexRow* row) {
  row->entityId = statement.columnText(0);
  row->formatId = statement.columnInt64(1);
  row->name = statement.columnText(2);
  row->size = statement.columnInt64(3);
  row->loaded = statement.columnInt64(4);
  row->etag = statement.columnText(5);
  row->metadata = statement.columnText(6);
  row->position = statement.columnInt64(7);
  row->custom = statement.columnInt64(8);
  row->lastValidation = statement.columnInt64(9);
  row->lastOpen = statement.columnInt64(10);
  row->providerData = statement.columnText(11);
  row->totalLockCount = statement.columnInt64(12);
  row->lastAdd = statement.columnInt64(13);
}

void VLRepository::IndexRow::sizesRead() {
  if (filesMatch(*this)) record.reset(repository->makeRecord(*this, time_t(lastValidation)));
}

// Files the record of a row whose files are checked, as the check decides.
void VLRepository::takeRow(IndexRow& row, LoadOutcome* outcome) {
  time_t lastValidation = time_t(row.lastValidation);
  bool damagedRow = false;
  if (row.checked && !row.record) {
    switch (checkRowFiles(row)) {
      case FILES_MATCH: break;
      case FILES_CACHED_MISMATCH: outcome->mismatched.push_back(std::move(row.name)); return;
      case FILES_BITMAP_RESTORED:
        outcome->restored.push_back(row.name);
        lastValidation = 0;
        break;
      case FILES_DAMAGED:
        // Nothing of it counts as present until it is fetched again.
        row.loaded = 0;
        damagedRow = true;
        break;
    }
  }
  VLRepositoryFile* file = loadRow(row, lastValidation);
  if (file && damagedRow) outcome->damaged->push_back(file);
}

// What a row of known size found on the disk. A download whose content has
// its size and was whole at the last save lost only its bitmap, which is made
// again; any other download that does not match is damaged.
VLRepository::RowFiles VLRepository::checkRowFiles(const IndexRow& row) {
  if (filesMatch(row)) return FILES_MATCH;
  if (row.custom == 0) return FILES_CACHED_MISMATCH;
  const uint64_t expected = static_cast<uint64_t>(row.size);
  if (row.contentSize == expected && row.loaded == row.size && restoreWholeBitmap(row.name, expected))
    return FILES_BITMAP_RESTORED;
  return FILES_DAMAGED;
}

bool VLRepository::filesMatch(const IndexRow& row) {
  const uint64_t expected = static_cast<uint64_t>(row.size);
  return row.contentSize == expected && row.bitmapSize == getBitmapSize(expected);
}

// Files the record of a row (made beforehand when its files were checked),
// or skips a row that cannot be loaded (an unknown format, a name that is not
// ours): null.
VLRepositoryFile* VLRepository::loadRow(IndexRow& row, time_t lastValidation) {
  std::unique_ptr<VLRepositoryFile> file(std::move(row.record));
  if (!file) file.reset(makeRecord(row, lastValidation));
  if (!file) {
    VL_LOG_WARN("Repository index row is skipped : " << row.entityId << "_" << row.formatId << " (" << row.name << ")");
    return nullptr;
  }
  file->announce();
  // The scan yields the rows in the order of the primary key, which is the
  // order of the ids: each record goes at the end of the map.
  files_.emplace_hint(files_.end(), file->fileId(), file.get());
  return file.release();
}

// Touches nothing of the repository's state: the load calls it on the
// threads that check the rows' files. Null (the row left as it was) for a row
// that cannot be loaded.
VLRepositoryFile* VLRepository::makeRecord(IndexRow& row, time_t lastValidation) {
  if (!isKnownFormat(row.formatId) || !isValidFileName(row.name)) return nullptr;
  // A stream's empty answer is its file for one play only (its last close
  // forgets it); a cached row that still holds one, left by a crash during
  // that play, is a file not fetched yet.
  const size_t size = row.size == 0 && autoClean_ ? VLRepositoryFile::UNKNOWN_SIZE : size_t(row.size);
  return new VLRepositoryFile(this, identity_, VLFileId(std::move(row.entityId), uint32_t(row.formatId)), provider_,
                              handler_, std::move(row.name), size, size_t(row.loaded), std::move(row.etag),
                              std::move(row.metadata), std::move(row.providerData), int(row.position), int(row.custom),
                              lastValidation, time_t(row.lastOpen), static_cast<unsigned int>(row.totalLockCount),
                              time_t(row.lastAdd), false);
}

bool VLRepository::forgetValidation(const std::vector<std::string>& fileNames) {
  return runForNames(kForgetValidation, fileNames);
}

bool VLRepository::deleteRowsByName(const std::vector<std::string>& fileNames) {
  return runForNames(kDeleteByName, fileNames);
}

// Runs the statement (repository, identity, file name) for every name in one
// transaction: a cleaner that emptied the cache leaves every row to delete,
// and a transaction each would hold the start up for seconds. A failure
// rolls every change back.
bool VLRepository::runForNames(const char* sql, const std::vector<std::string>& fileNames) {
  return fileNames.empty() || inTransaction([&] { return runEach(sql, fileNames); });
}

// The statement (repository, identity, file name) once for every name.
bool VLRepository::runEach(const char* sql, const std::vector<std::string>& fileNames) {
  if (fileNames.empty()) return true;
  VLSQLiteStatement statement(db_);
  bool ok = statement.prepare(sql);
  for (size_t i = 0; ok && i < fileNames.size(); ++i) {
    statement.rewind();
    ok = statement.bindText(1, name_) && statement.bindText(2, identity_) && statement.bindText(3, fileNames[i]) &&
         statement.execute();
  }
  return ok;
}

// Runs work in one transaction, which a failure rolls back.
bool VLRepository::inTransaction(const std::function<bool()>& work) {
  if (!VLSQLiteStatement::execute(db_, "BEGIN TRANSACTION")) return false;
  if (work() && VLSQLiteStatement::execute(db_, "END TRANSACTION")) return true;
  noteIndexWriteFailure(sqlite3_errcode(db_));
  VLSQLiteStatement::execute(db_, "ROLLBACK");
  return false;
}

std::future<VLRepository::OwnFiles> VLRepository::listOwnFiles() {
  auto list = [directory = getDirectory()] {
    OwnFiles files;
    files.listed = VLPlatformFactory::instance()->getFileHelper()->forEachFile(
        directory, [&files, &directory](std::string_view entry) {
          if (isValidFileName(contentFileName(entry)))
            files.entries.emplace_back(entry);
          else if (VLRepositoryTrash::isTrashName(entry))
            files.trash.push_back(directory + VLPlatformFactory::instance()->getFileHelper()->getSeparator() +
                                  std::string(entry));
        });
    // Made here, beside the load: the entries no longer move.
    files.names.reserve(files.entries.size());
    for (const std::string& entry : files.entries) files.names.insert(contentFileName(entry));
    return files;
  };
  try {
    return std::async(std::launch::async, list);
  } catch (const std::system_error&) {
    // No thread to spare: listed when the result is asked for.
    return std::async(std::launch::deferred, list);
  }
}

// A content file whose row is gone (the sync drops the rows of damaged files,
// and a crash can come between a file's creation and its first save) would
// stay on the volume for ever. In the cache, a file of the directory that
// bears a name this code makes, and that neither a record nor a row of any
// index in the database folder claims (identities and repositories may share
// a folder), is removed with its bitmap. A repository of downloads removes
// none: a file without a row there may be a download whose row a damaged
// index lost (the damaged file kept aside still names it), and its bytes are
// the user's, not a cache's to fetch again.
void VLRepository::removeOrphans(OwnFiles listing) {
  if (!listing.listed) return;
  // Files of records deleted by a run that ended before it removed them.
  trash_->putLeftovers(std::move(listing.trash));
  if (!autoClean_) return;
  // What the records claim leaves the listed names; the rest are unclaimed.
  for (auto it = files_.begin(); it != files_.end() && !listing.names.empty(); ++it)
    listing.names.erase(it->second->fileName());
  std::set<std::string> unclaimed;
  for (std::string_view name : listing.names) unclaimed.emplace(name);
  unclaimed = unindexed(std::move(unclaimed));
  if (unclaimed.empty()) return;
  // Removed on the trash's thread, as deleted records' files are: there may
  // be many (a clear cut short by a crash), and the start need not wait.
  VLFileHelper* helper = VLPlatformFactory::instance()->getFileHelper();
  const std::string directory = getDirectory();
  std::vector<std::string> paths;
  for (const std::string& entry : listing.entries) {
    if (unclaimed.count(std::string(contentFileName(entry))))
      paths.push_back(directory + helper->getSeparator() + entry);
  }
  VL_LOG_WARN("Repository files have no index row and are removed : " << unclaimed.size() << " in " << directory
                                                                      << ", such as " << paths.front());
  trash_->put(paths, 0);
}

// Of the names, those that no row of this index, nor of another index in the
// same folder, names; none at all when an index cannot be read (any doubt
// counts as claimed). Each index is opened once: after a clear cut short by
// a crash, a cache may hold many thousands of files no row claims.
std::set<std::string> VLRepository::unindexed(std::set<std::string> names) {
  VLFileHelper* helper = VLPlatformFactory::instance()->getFileHelper();
  std::string folder = dbPath_.substr(0, dbPath_.rfind(helper->getSeparator()));
  std::list<std::string> indexes;
  helper->listFiles(folder, &indexes);
  indexes.remove(dbPath_);
  indexes.push_front(dbPath_);
  for (const std::string& path : indexes) {
    if (names.empty()) break;
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".db") != 0) continue;
    sqlite3* db = db_;
    if (path != dbPath_ && VLSQLiteDatabase::open(path, VLSQLiteDatabase::Access::ReadOnly,
                                                  VLSQLiteDatabase::WhenLocked::Fail, &db) != SQLITE_OK)
      return {};
    bool read = true;
    {
      VLSQLiteStatement statement(db);
      read = statement.prepare(kCountName);
      for (auto it = names.begin(); read && it != names.end();) {
        bool row = false;
        read = statement.bindText(1, *it) && statement.step(&row) && row;
        const bool claimed = read && statement.columnInt(0) > 0;
        read = read && statement.reset();
        it = claimed ? names.erase(it) : std::next(it);
      }
    }
    if (db != db_) VLSQLiteDatabase::close(db);
    if (!read) return {};
  }
  return names;
}

bool VLRepository::saveFiles() {
  lastSave_ = now();
  saveUnfinished_ = false;
  return saveRows(0);
}

// Deletions go before writes, also across slices: a record made again under a
// deleted id is written only once the old row is gone.
bool VLRepository::saveRows(double seconds) {
  bool result = indexTakesWrites();
  if (result && hasUnsavedRows()) {
    const double end = seconds > 0 ? now() + seconds : 0;
    std::vector<VLFileId> deleted;
    std::vector<VLRepositoryFile*> written;
    result = VLSQLiteStatement::execute(db_, "BEGIN TRANSACTION") && deleteRows(end, &deleted) &&
             (deleted.size() < deletedRows_.size() || writeRows(end, &written)) &&
             VLSQLiteStatement::execute(db_, "END TRANSACTION");
    if (result) {
      for (const VLFileId& id : deleted) deletedRows_.erase(id);
      for (VLRepositoryFile* file : written) changedRows_.erase(file);
    } else {
      // Nothing of a failed save is kept; its rows are written by the next.
      noteIndexWriteFailure(sqlite3_errcode(db_));
      VLSQLiteStatement::execute(db_, "ROLLBACK");
    }
  }
  return result;
}

// Whether a save slice ending at end (0: none) has time left for another row;
// the first row always goes, so that every slice makes progress.
bool VLRepository::hasTimeLeft(double end, size_t done) const {
  return end == 0 || done == 0 || now() < end;
}

bool VLRepository::deleteRows(double end, std::vector<VLFileId>* deleted) {
  VLSQLiteStatement statement(db_);
  if (!statement.prepare(kDeleteById)) return false;
  for (const VLFileId& id : deletedRows_) {
    if (!hasTimeLeft(end, deleted->size())) break;
    if (!statement.bindText(1, name_) || !statement.bindText(2, identity_) || !statement.bindText(3, id.entityId()) ||
        !statement.bindInt64(4, int64_t(id.getFormat()->getId())) || !statement.execute() || !statement.reset())
      return false;
    deleted->push_back(id);
  }
  return true;
}

bool VLRepository::writeRows(double end, std::vector<VLRepositoryFile*>* written) {
  VLSQLiteStatement statement(db_);
  if (!statement.prepare(kInsert)) return false;
  for (auto it = changedRows_.begin(); it != changedRows_.end();) {
    VLRepositoryFile* file = *it;
    // A removed record is on its way out, and the clear has deleted the rows
    // of those it has still to reach: no row of theirs is written back. A
    // record taken back changes its row again.
    if (file->isRemoved() || isClearPending(file->fileId())) {
      it = changedRows_.erase(it);
      continue;
    }
    if (!hasTimeLeft(end, written->size())) break;
    // A set bit must be on the disk before a row that counts its block.
    file->flushBitmap();
    VLFileId fileId = file->getFileId();
    size_t size = file->getSize();
    if (!statement.bindText(1, fileId.entityId()) || !statement.bindInt64(2, int64_t(fileId.getFormat()->getId())) ||
        !statement.bindInt64(3, size == kAllOnes ? -1 : int64_t(size)) ||
        !statement.bindInt64(4, int64_t(file->getLoaded())) || !statement.bindText(5, file->getEtag()) ||
        !statement.bindText(6, file->getFileName()) || !statement.bindText(7, file->getMetadata()) ||
        !statement.bindInt64(8, int64_t(file->getPosition())) || !statement.bindInt64(9, int64_t(file->getCustom())) ||
        !statement.bindInt64(10, int64_t(file->getLastValidation())) ||
        !statement.bindInt64(11, int64_t(file->getLastOpen())) || !statement.bindText(12, name_) ||
        !statement.bindText(13, identity_) || !statement.bindText(14, file->getProviderData()) ||
        !statement.bindInt64(15, int64_t(int(file->getTotalLockCount()))) ||
        !statement.bindInt64(16, int64_t(file->getLastAdd())) || !statement.execute() || !statement.reset())
      return false;
    written->push_back(file);
    ++it;
  }
  return true;
}
