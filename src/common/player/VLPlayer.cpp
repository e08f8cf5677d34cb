#include "VLPlayer.h"

#include "VETypes.h"
#include "VLAudioInterface.h"
#include "VLCancelTask.h"
#include "VLCloseTask.h"
#include "VLFileFormat.h"
#include "VLFileHandle.h"
#include "VLFileId.h"
#include "VLHttpRepositoryProvider.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLOpenTask.h"
#include "VLPlatformFactory.h"
#include "VLReadTask.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLSettingHelper.h"
#include "VLStreamUrl.h"
#include "VLWakeEvent.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <set>
#include <sstream>

namespace {

// Repository file flags.
const unsigned int kFlagComplete = VLRepositoryFile::FLAG_COMPLETE;
const unsigned int kFlagLocked = VLRepositoryFile::FLAG_LOCKED;
const unsigned int kFlagProviding = VLRepositoryFile::FLAG_PROVIDING;
const unsigned int kFlagNotEmpty = VLRepositoryFile::FLAG_NOT_EMPTY;

// Repository file open and close options.
const int kOptionLock = 1;
const int kOptionProvide = 2;

// streamOpen looks at its task again after this long even without a signal
// (a wake event that the platform could not make never signals).
const int kOpenLookMilliseconds = 10;
// A stream whose file has failed to arrive for this long (seconds, without a
// byte in between), or whose reader has waited this long for more of its
// bytes, fails to the page: a listener waits no longer, while a download of
// the same server goes on retrying in the background.
const double kStreamPatienceSeconds = 20;
const long kValidationPeriodSeconds = 604800;
const unsigned int kLosslessFormatId = 6;
const size_t kUnknownSize = static_cast<size_t>(-1);
// The size the engine is given for a file whose answer has no length while it
// arrives (the largest it takes): its reads wait for the bytes as they come,
// and the first read past the end that is finally known ends the stream.
const size_t kGrowingStreamSize = UINT_MAX;

const char* const kCacheName = "cache";
const char* const kImportName = "import";
const char* const kDownloadName = "download";

// A read's rank in the queue: its engine priority (0..100), every other task
// 100. Lower ranks are served first; the sort is stable, so equal ranks keep
// their arrival order and reads of priority 100 never overtake an open.
int rankOf(const VLTask* task) {
  if (!task->isRead()) return 100;
  return std::min(static_cast<const VLReadTask*>(task)->getRequest()->priority, 100);
}

std::string describeFile(VLRepositoryFile* file) {
  std::ostringstream text;
  text << file->getFileId() << " in " << file->getRepository()->getName() << " repository";
  return text.str();
}

// A format serves a request of the primary class (format 6) or of the secondary
// class (any other format).
bool servesRequest(const VLFileFormat* format, bool lossless) {
  if (!format->isEnabled()) return false;
  if (lossless) return format->isPrimaryClass() && !format->isSecondaryClass();
  return format->isSecondaryClass() && !format->isPrimaryClass();
}

// The identity's stored folder for a repository, else the default one, looked
// up (which makes it) only then: an empty stored folder (a run that had none)
// is no folder, so the default, which may be makeable now, is taken instead.
std::string storedFolder(VLSettingHelper* settings, const std::string& identity, const char* key,
                         const std::function<std::string()>& defaultFolder) {
  std::string folder = settings->getValue(identity, key, "");
  return folder.empty() ? defaultFolder() : folder;
}

// Stores a repository's folder for the identity's next session; a repository
// without one (its default could not be made) leaves the stored one alone.
void storeFolder(VLSettingHelper* settings, const std::string& identity, const char* key, VLRepository* repository) {
  if (!repository) return;
  const std::string folder = repository->getDirectory();
  if (!folder.empty()) settings->setValue(identity, key, folder);
}

VLRepositoryFile* repositoryFileOf(VLFileHandle* handle, bool create) {
  return handle->getRepository()->getFile(handle->getFileId(), create);
}

}  // namespace

VLPlayer* VLPlayer::instance() {
  static VLPlayer* player = new VLPlayer();
  return player;
}

VLPlayer::VLPlayer()
    : repositories_{nullptr, nullptr, nullptr},
      cache_(repositories_[0]),
      import_(repositories_[1]),
      download_(repositories_[2]),
      provider_(nullptr),
      mutex_(VLPlatformFactory::instance()->createMutex()),
      wake_(VLPlatformFactory::instance()->createWakeEvent()),
      initialised_(false) {}

VLPlayer::~VLPlayer() {
  clean();
  // Tasks that no session served any more: the engine that queued them is gone.
  for (VLTask* task : pending_) delete task;
  while (!incoming_.empty()) {
    delete incoming_.front();
    incoming_.pop();
  }
  delete mutex_;
  delete wake_;
}

// ---------------------------------------------------------------------------
// Entry points

bool VLPlayer::pushTask(VLTask* task, bool needSession) {
  // The flag is tested under the same lock that clean() takes to clear it, so a
  // task is either queued before the session's last pass or refused: none can
  // be left behind in a queue that nobody serves any more.
  {
    VLMutexLocker locker(mutex_);
    if (needSession && !initialised_.load(std::memory_order_relaxed)) return false;
    incoming_.push(task);
  }
  wake();
  return true;
}

void VLPlayer::wake() {
  wake_->signal();
}

void VLPlayer::waitForWork(uint64_t milliseconds) {
  if (provider_)
    provider_->waitForActivity(wake_, milliseconds);
  else
    wake_->wait(milliseconds);
}

bool VLPlayer::isQuiet() const {
  if (!pending_.empty() || (provider_ && provider_->hasTransfers())) return false;
  return !audioInterface_ || audioInterface_->getPlaybackState() != VLAudioInterface::PlaybackPlaying;
}

VLFileHandle* VLPlayer::streamOpen(const std::string& url, size_t* fileSize, std::string* data,
                                   std::shared_ptr<const std::atomic<bool>> wanted) {
  std::atomic<size_t> size(0);
  VLFileHandle* handle = nullptr;
  std::shared_ptr<VLWakeEvent> served(VLPlatformFactory::instance()->createWakeEvent());
  if (!pushSessionTask(new VLOpenTask(url, &size, data, &handle, served, wanted))) {
    data->clear();
    *fileSize = 0;
    return nullptr;
  }
  // The worker writes the handle and the data, publishes the size, then
  // signals. An open its sound let go of meanwhile ends at the worker's next
  // pass, which this wakes.
  bool abandoned = false;
  while (size.load(std::memory_order_acquire) == VLOpenTask::kPendingSize) {
    served->wait(kOpenLookMilliseconds);
    if (!abandoned && wanted && !wanted->load()) {
      abandoned = true;
      wake();
    }
  }
  *fileSize = size.load(std::memory_order_relaxed);
  return handle;
}

bool VLPlayer::asyncStreamRead(VEReadRequest* request) {
  return pushTask(new VLReadTask(request), false);
}

bool VLPlayer::streamClose(VLFileHandle* handle) {
  return pushSessionTask(new VLCloseTask(handle));
}

bool VLPlayer::asyncStreamCancel(VLFileHandle* handle) {
  return pushSessionTask(new VLCancelTask(handle));
}

bool VLPlayer::pushSessionTask(VLTask* task) {
  if (pushTask(task, true)) return true;
  delete task;
  return false;
}

// ---------------------------------------------------------------------------
// Serving the queue

bool VLPlayer::update() {
  return update(false, false);
}

bool VLPlayer::update(bool skipComponents, bool force) {
  serveQueue(force);
  if (skipComponents) return true;
  return updateComponents();
}

void VLPlayer::serveQueue(bool force) {
  takeIncomingTasks();
  orderTasks(pending_);
  dropCancelledReads();
  serveTasks(force);
}

void VLPlayer::orderTasks(std::list<VLTask*>& tasks) {
  tasks.sort([](const VLTask* a, const VLTask* b) { return rankOf(a) < rankOf(b); });
}

void VLPlayer::takeIncomingTasks() {
  std::list<VLTask*> arrived;
  {
    VLMutexLocker locker(mutex_);
    while (!incoming_.empty()) {
      arrived.push_back(incoming_.front());
      incoming_.pop();
    }
  }
  for (VLTask* task : arrived) {
    if (task->isRead())
      endSupersededReads(static_cast<VLFileHandle*>(static_cast<VLReadTask*>(task)->getRequest()->handle));
    pending_.push_back(task);
  }
}

// The engine's reader keeps one read of a stream outstanding: a new read of a
// handle means that the earlier ones were given up (a seek moved the reader
// elsewhere). They end here unread, and their file forgets the bytes they
// waited for: after a burst of seeks during a network drop, the transfer
// resumes at the reader's latest target, not at an older one.
void VLPlayer::endSupersededReads(VLFileHandle* handle) {
  VLRepositoryFile* file = openHandles_.count(handle) ? repositoryFileOf(handle, false) : nullptr;
  for (VLTask* task : pending_) {
    if (!task->isRead()) continue;
    const VEReadRequest* request = static_cast<VLReadTask*>(task)->getRequest();
    if (request->handle == handle && file) file->withdrawRead(request->offset, request->sizeBytes);
  }
  endReadsOf(handle);
}

void VLPlayer::dropCancelledReads() {
  std::set<VLTask*> cancelled;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (!(*it)->isCancel()) {
      ++it;
      continue;
    }
    VLFileHandle* handle = static_cast<VLCancelTask*>(*it)->getHandle();
    for (VLTask* task : pending_) {
      if (task->isRead() && static_cast<VLReadTask*>(task)->getRequest()->handle == handle) cancelled.insert(task);
    }
    delete *it;
    it = pending_.erase(it);
  }
  if (cancelled.empty()) return;
  pending_.remove_if([&cancelled](VLTask* task) { return cancelled.count(task) != 0; });
  // The engine keeps a request, and the stream behind it, until its result
  // is written: a cancelled read ends as failed rather than never.
  for (VLTask* task : cancelled) {
    VEReadRequest* request = static_cast<VLReadTask*>(task)->getRequest();
    request->bytesRead = 0;
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    delete task;
  }
}

void VLPlayer::serveTasks(bool force) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    VLTask* task = *it;
    bool done = false;
    VLFileHandle* closedHandle = nullptr;
    if (task->isRead()) {
      done = doReadTask(static_cast<VLReadTask*>(task), force);
    } else if (task->isOpen()) {
      done = doOpenTask(static_cast<VLOpenTask*>(task), force);
    } else if (task->isClose()) {
      closedHandle = static_cast<VLCloseTask*>(task)->getHandle();
      done = doCloseTask(static_cast<VLCloseTask*>(task), force);
    }
    if (!done) {
      ++it;
      continue;
    }
    delete task;
    it = pending_.erase(it);
    if (closedHandle) endReadsOf(closedHandle);
  }
}

// A handle is deleted by its close task. The engine never closes a handle with
// a read still pending, except when its system was closed under that read and a
// close had to be sent for it: such reads end here, before anything could use
// the deleted handle.
void VLPlayer::endReadsOf(VLFileHandle* handle) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (!(*it)->isRead() || static_cast<VLReadTask*>(*it)->getRequest()->handle != handle) {
      ++it;
      continue;
    }
    VEReadRequest* request = static_cast<VLReadTask*>(*it)->getRequest();
    request->bytesRead = 0;
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    delete *it;
    it = pending_.erase(it);
  }
}

bool VLPlayer::updateComponents() {
  bool result = true;
  if (provider_) result = provider_->update() && result;
  for (VLRepository* repository : repositories_) {
    if (repository) result = repository->update() && result;
  }
  // The provider may have waited on the network for a while: reads that came
  // in meanwhile, or whose data arrived, are served before the audio update,
  // not one whole pass later.
  serveQueue(false);
  if (audioInterface_) result = audioInterface_->update() && result;
  applyDiscards();
  return result;
}

void VLPlayer::discardUnplayable(const VLFileHandle& handle) {
  if (handle.getRepository() != cache_ || !cache_) return;
  VL_LOG_WARN(
      "Cached file is no audio the engine can play, it is fetched again at the next play : " << handle.getFileId());
  unplayable_.push_back(handle.getFileId());
}

bool VLPlayer::hasFailedReads(const VLFileHandle* handle) const {
  return failedReads_.count(handle) != 0;
}

void VLPlayer::applyDiscards() {
  for (auto it = unplayable_.begin(); it != unplayable_.end();) {
    VLRepositoryFile* file = cache_ ? cache_->getFile(*it, false) : nullptr;
    if (file && (file->getFlags() & kFlagLocked)) {
      ++it;
      continue;
    }
    if (file && (file->getFlags() & kFlagComplete) && !file->discardContent())
      VL_LOG_WARN("Unable to discard repository file : " << describeFile(file));
    it = unplayable_.erase(it);
  }
}

bool VLPlayer::doReadTask(VLReadTask* task, bool force) {
  VEReadRequest* request = task->getRequest();
  VL_LOG_TRACE("File reading task attempt : " << static_cast<void*>(task));
  VLFileHandle* handle = static_cast<VLFileHandle*>(request->handle);
  if (!handle) {
    VL_LOG_ERROR("Unexpected missing file handle, read offset/size are : " << request->offset << "-"
                                                                           << request->sizeBytes);
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    return true;
  }
  if (!openHandles_.count(handle)) {
    VL_LOG_ERROR("Unexpected closed file handle, read offset/size are : " << request->offset << "-"
                                                                          << request->sizeBytes);
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    return true;
  }
  VLRepositoryFile* file = repositoryFileOf(handle, true);
  size_t bytesRead = 0;
  bool endOfFile = false;
  if (!file || !file->read(request->buffer, request->offset, request->sizeBytes, &bytesRead, &endOfFile)) {
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    return true;
  }
  request->bytesRead = static_cast<unsigned int>(bytesRead);
  if (bytesRead >= request->sizeBytes) {
    VL_LOG_TRACE("File reading task finished : " << static_cast<void*>(task));
    request->result.store(VE_OK, std::memory_order_release);
    return true;
  }
  // The end of the file only when every byte up to it was copied: a range that
  // merely reaches the end may still lack blocks before it.
  const size_t fileSize = file->getSize();
  const bool reachedEnd = fileSize != kUnknownSize && !file->isGrowing() && request->offset + bytesRead >= fileSize;
  if (reachedEnd) {
    request->result.store(VE_ERR_FILE_EOF, std::memory_order_release);
    return true;
  }
  // Starvation counts on the transfers' running time: a process that did not
  // run (stopped, frozen) kept no listener waiting, and bytes that came
  // meanwhile are taken in by the pass's pump before this read is tried again.
  const double clock = provider_ ? provider_->getRunningTime() : VLPlatformFactory::instance()->getTime();
  const double starved = task->noteTry(bytesRead, clock);
  if (force || isGivenUp(file, starved)) {
    if (!force) failedReads_.insert(handle);
    request->result.store(VE_ERR_INTERNAL, std::memory_order_release);
    return true;
  }
  // The file has recorded a request for the missing blocks, which drives the
  // transfer; the whole range is read again on the next pass.
  return false;
}

bool VLPlayer::doOpenTask(VLOpenTask* task, bool force) {
  VLFileHandle* handle = task->getHandle();
  VLRepositoryFile* file = nullptr;
  bool opened = false;
  if (task->isAbandoned()) {
    // Its sound is gone: the file it opened to provide is closed, so that a
    // transfer nobody needs stops, and the waiting thread is released.
    VL_LOG_DEBUG("Stream open abandoned by its sound : " << task->getUrl());
    file = handle ? repositoryFileOf(handle, false) : nullptr;
    giveUpOpen(task, file, file != nullptr);
    return true;
  }
  if (!handle) {
    const std::string url = task->getUrl();
    bool found = false;
    if (!searchSupportedFile(url, &found, &handle)) {
      VL_LOG_ERROR("Unable to search supported repository file : " << url);
      giveUpOpen(task, nullptr, false);
      return true;
    }
    if (!found) {
      VL_LOG_INFO("Unable to find appropriate repository file : " << url);
      giveUpOpen(task, nullptr, false);
      return true;
    }
    task->setHandle(handle);
    file = repositoryFileOf(handle, true);
    if (!file) {
      VL_LOG_ERROR("Unable to open repository file : " << handle->getFileId() << " in "
                                                       << handle->getRepository()->getName() << " repository");
      giveUpOpen(task, nullptr, false);
      return true;
    }
    opened = file->open(kOptionProvide);
    if (!opened) {
      VL_LOG_ERROR("Unable to open repository file : " << describeFile(file));
      giveUpOpen(task, file, false);
      return true;
    }
    file->setUrl(url);
  } else {
    opened = true;
    file = repositoryFileOf(handle, true);
    if (!file) {
      giveUpOpen(task, nullptr, false);
      return true;
    }
  }

  bool ready = false;
  if (!file->isReady(&ready)) {
    VL_LOG_ERROR("Unable to check repository file locking : " << describeFile(file));
    giveUpOpen(task, file, opened);
    return true;
  }
  // The engine needs the file's size; a file can only be handed over once it
  // is known.
  if (ready && file->getSize() != kUnknownSize) {
    if (!file->open(kOptionLock)) {
      VL_LOG_ERROR("Unable to open and lock repository file : " << describeFile(file));
      giveUpOpen(task, file, opened);
      return true;
    }
    openHandles_.insert(handle);
    task->setData(file->getProviderData());
    task->setFileSize(file->isGrowing() ? kGrowingStreamSize : file->getSize());
    return true;
  }
  if (isGivenUp(file)) {
    VL_LOG_TRACE("Repository file is not providing, abort : " << file->getFileId());
    giveUpOpen(task, file, opened);
    return true;
  }
  if (force) {
    giveUpOpen(task, file, opened);
    return true;
  }
  return false;
}

// Missing bytes that will not come: the file no longer provides, or its
// transfers have failed, or its reader has been starved of them (a server that
// trickles, a connection that died without being closed), for longer than a
// listener waits.
bool VLPlayer::isGivenUp(VLRepositoryFile* file, double starved) {
  if (!(file->getFlags() & kFlagProviding)) return true;
  double failing = std::max(file->getFailingFor(), starved);
  if (failing <= kStreamPatienceSeconds) return false;
  VL_LOG_WARN("Repository file keeps failing, the stream gives up : " << describeFile(file) << " (" << failing
                                                                      << " s)");
  return true;
}

VLRepositoryFile* VLPlayer::giveUpOpen(VLOpenTask* task, VLRepositoryFile* file, bool opened) {
  if (opened && !file->close(0)) VL_LOG_WARN("Unable to close repository file : " << describeFile(file));
  delete task->getHandle();
  task->setHandle(nullptr);
  if (file) task->setData(file->getProviderData());
  // Last: this releases the thread waiting in streamOpen.
  task->setFileSize(0);
  return file;
}

bool VLPlayer::doCloseTask(VLCloseTask* task, bool force) {
  VLFileHandle* handle = task->getHandle();
  if (!handle) return true;
  if (openHandles_.erase(handle) == 0) {
    VL_LOG_WARN("Unexpected close of a file handle that is not open : " << static_cast<void*>(handle));
    return true;
  }
  failedReads_.erase(handle);
  VLRepositoryFile* file = repositoryFileOf(handle, true);
  if (file) {
    if (!file->close(kOptionLock)) VL_LOG_WARN("Unable to close and unlock repository file : " << describeFile(file));
    if (!file->close(0)) VL_LOG_WARN("Unable to close repository file : " << describeFile(file));
  }
  delete handle;
  return true;
}

// ---------------------------------------------------------------------------
// File search

bool VLPlayer::canCacheTakeNewFile() const {
  return cache_ && !cache_->isUnavailable() && !cache_->isOfflineOrFull();
}

bool VLPlayer::searchSupportedFile(const std::string& url, bool* found, VLFileHandle** handle) {
  const std::string peid = VLStreamUrl::getParameter(url, "peid");
  const std::string mnb = VLStreamUrl::getParameter(url, "mnb");
  const std::string tnb = VLStreamUrl::getParameter(url, "tnb");
  const std::string fmt = VLStreamUrl::getParameter(url, "fmt");
  const std::string teid = VLStreamUrl::getParameter(url, "_TEID");
  const std::string forcedFormat = VLStreamUrl::getParameter(url, "_FMT");
  const std::string repositoryName = VLStreamUrl::getParameter(url, "_REPO");
  const std::string local = VLStreamUrl::getParameter(url, "_LOCAL");
  const std::string metadata = VLStreamUrl::getParameter(url, "_METADATA");

  std::string entityId = teid;
  if (entityId.empty()) {
    if (peid.empty() || mnb.empty() || tnb.empty()) {
      VL_LOG_ERROR("Unable to find entity ID in URL : " << url);
      return false;
    }
    entityId = peid + "_" + mnb + "_" + tnb;
  }
  const std::string formatText = !forcedFormat.empty() ? forcedFormat : fmt;
  if (formatText.empty()) {
    VL_LOG_ERROR("Unable to find format ID in URL : " << url);
    return false;
  }
  const unsigned int formatId = VLStreamUrl::parseUnsigned(formatText);

  bool isFound = false;
  if (local == "true") {
    VLRepository* repository = nullptr;
    if (repositoryName.empty()) {
      VL_LOG_WARN("Local parameter is specified without repository");
    } else {
      repository = getRepository(repositoryName);
      if (!repository) VL_LOG_WARN("Unknown repository : " << repositoryName);
    }
    if (repository) {
      *handle = new VLFileHandle(repository, VLFileId(entityId, formatId));
      isFound = true;
    }
  }
  if (!isFound) searchFile(entityId, formatId == kLosslessFormatId, &isFound, handle);
  if (!isFound && canCacheTakeNewFile()) {
    *handle = new VLFileHandle(cache_, VLFileId(entityId, formatId));
    isFound = true;
  }
  if (isFound && !metadata.empty()) {
    VLRepositoryFile* file = repositoryFileOf(*handle, true);
    if (file) file->setMetadata(metadata);
  }
  if (found) *found = isFound;
  return true;
}

bool VLPlayer::searchFile(const std::string& entityId, bool lossless, bool* found, VLFileHandle** handle) {
  // Pass 1: a complete copy; pass 2: a copy being fetched where it may go on.
  VLFileHandle* result = findCopy(entityId, lossless, kFlagComplete, false);
  if (!result) result = findCopy(entityId, lossless, kFlagProviding, true);

  // Pass 3: a new file of the class's default format in the cache.
  if (!result && canCacheTakeNewFile()) {
    const VLFileFormat* table = VLFileFormat::getTable();
    for (int row = 0; row < VLFileFormat::TABLE_SIZE && !result; ++row) {
      if (servesRequest(&table[row], lossless) && table[row].isDefault())
        result = new VLFileHandle(cache_, VLFileId(entityId, &table[row]));
    }
  }

  // Pass 4: a lossy request may take a complete lossless copy when the cache
  // cannot take a new file.
  if (!result && !lossless) result = findCopy(entityId, true, kFlagComplete, false);

  if (result) *handle = result;
  if (found) *found = result != nullptr;
  return true;
}

VLFileHandle* VLPlayer::findCopy(const std::string& entityId, bool lossless, unsigned int flag,
                                 bool skipOfflineOrFull) const {
  // A complete copy holding no bytes (the page has the track in another
  // format only, the server answered empty) is not the track's content: only
  // a request naming that very file ends on it as an empty file.
  const unsigned int needed = flag == kFlagComplete ? flag | kFlagNotEmpty : flag;
  const VLFileFormat* table = VLFileFormat::getTable();
  for (int row = 0; row < VLFileFormat::TABLE_SIZE; ++row) {
    if (!servesRequest(&table[row], lossless)) continue;
    const VLFileId id(entityId, &table[row]);
    for (VLRepository* repository : repositories_) {
      if (!repository || (skipOfflineOrFull && repository->isOfflineOrFull())) continue;
      // A complete copy needs only to be read; one being fetched needs writing.
      if (flag == kFlagComplete ? !repository->canReadFiles() : repository->isUnavailable()) continue;
      VLRepositoryFile* file = repository->getFile(id, false);
      if (file && (file->getFlags() & needed) == needed) return new VLFileHandle(repository, id);
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Session

void VLPlayer::init(VLAskFileUrlDelegate* delegate, VLRepositoryHandler* handler, const std::string& identity) {
  if (initialised_.load() || provider_ || cache_ || import_ || download_ || audioInterface_) {
    VL_LOG_WARN("Player session is still open, closing it first : " << identity_);
    clean();
  }
  identity_ = identity;

  VLPlatformFactory* factory = VLPlatformFactory::instance();
  VLSettingHelper* settings = factory->getSettingHelper();
  const std::string databaseFolder = settings->getLocalAppPath("repositories");
  const std::string cachePath =
      storedFolder(settings, identity, "CachePath", [settings] { return settings->getLocalCachePath("cache"); });
  const std::string importPath =
      storedFolder(settings, identity, "ImportPath", [settings] { return settings->getLocalAppPath("import"); });
  // Not the default download folder either when one is stored: the stored one
  // may be on a disk that is not mounted now, whose mount point the default
  // folder may lie under.
  const std::string downloadPath =
      storedFolder(settings, identity, "DownloadPath", [settings] { return settings->getLocalMusicPath(); });
  const double cacheMaxSize =
      static_cast<double>(settings->getIntValue(identity, "CacheMaxSizeBytesMb", 0)) * 1000000.0;
  const int cacheMaxPercent = settings->getIntValue(identity, "CacheMaxSizePercent", 10);

  provider_ = new VLHttpRepositoryProvider();
  provider_->init(delegate);
  provider_->setWakeEvent(wake_);

  cache_ = new VLRepository(handler, provider_, kCacheName, identity, kValidationPeriodSeconds, databaseFolder,
                            cachePath, cacheMaxPercent, true, cacheMaxSize);
  cache_->setDirectoryPreference("CachePath");
  cache_->init();
  import_ = new VLRepository(handler, provider_, kImportName, identity, kValidationPeriodSeconds, databaseFolder,
                             importPath, 0, false, 0);
  import_->setDirectoryPreference("ImportPath");
  import_->init();
  download_ = new VLRepository(handler, provider_, kDownloadName, identity, kValidationPeriodSeconds, databaseFolder,
                               downloadPath, 0, false, 0);
  download_->setDirectoryPreference("DownloadPath");
  download_->init();

  {
    VLMutexLocker locker(mutex_);
    initialised_.store(true);
  }

  std::shared_ptr<VLAudioInterface> audioInterface = std::make_shared<VLAudioInterface>();
  const int streamBufferKb = settings->getIntValue(identity, "StreamBufferSizeKb", 64);
  const std::string output = settings->getValue(identity, "OutputDevice", "");
  // A stored size that does not fit is passed on as the largest int, which
  // the audio interface refuses in favour of its default.
  const long long streamBufferBytes = std::min<long long>(static_cast<long long>(streamBufferKb) * 1024, INT_MAX);
  audioInterface->init("main", output, static_cast<int>(streamBufferBytes), static_cast<int>(cache_->getBlockSize()),
                       this);
  // Published once set up: init holds the audio lock while it looks for the
  // devices, which waits on sound servers, and a page's read of a sound
  // (which takes that lock) must not wait for it. No sound exists before.
  VLMutexLocker locker(mutex_);
  audioInterface_ = audioInterface;
}

bool VLPlayer::clean() {
  VLSettingHelper* settings = VLPlatformFactory::instance()->getSettingHelper();
  if (cache_) {
    double maxSize = 0;
    int maxPercent = 0;
    cache_->getLimits(&maxSize, &maxPercent);
    // Whole megabytes as an int: a larger limit is kept as the largest one
    // rather than wrapping to a negative number.
    const double megabytes = maxSize / 1000000.0;
    settings->setIntValue(identity_, "CacheMaxSizeBytesMb",
                          megabytes >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(megabytes));
    settings->setIntValue(identity_, "CacheMaxSizePercent", maxPercent);
  }
  std::shared_ptr<VLAudioInterface> audioInterface = holdAudioInterface();
  if (audioInterface) {
    settings->setValue(identity_, "OutputDevice", audioInterface->getOutputToKeep());
    // An engine that never started applied no size: the stored one stays.
    const size_t streamBufferSize = audioInterface->getStreamBufferSize();
    if (streamBufferSize != kUnknownSize)
      settings->setIntValue(identity_, "StreamBufferSizeKb", static_cast<int>(streamBufferSize >> 10));
  }
  storeFolder(settings, identity_, "CachePath", cache_);
  storeFolder(settings, identity_, "ImportPath", import_);
  storeFolder(settings, identity_, "DownloadPath", download_);

  // Every queued task ends while the repositories still exist.
  update(true, true);

  if (audioInterface) {
    // Closing the engine queues the close tasks of its streams. A file
    // callback already running on an engine thread (a stream that ended
    // closes its file on its own) still hands its file back: tasks are
    // taken, and served, until it is done.
    audioInterface->clean(false);
    while (audioInterface->hasCallbacksUnderWay()) {
      update(true, true);
      VLPlatformFactory::instance()->sleep(1);
    }
    VLMutexLocker locker(mutex_);
    audioInterface_.reset();
  }
  audioInterface.reset();

  {
    VLMutexLocker locker(mutex_);
    initialised_.store(false);
  }

  // Serves the close tasks, releasing the repository files before their
  // repositories go.
  update(true, true);

  // Handles of streams the engine never closed: their files go with their
  // repositories below; late callbacks naming them are refused from here on.
  for (VLFileHandle* handle : openHandles_) {
    VL_LOG_WARN("File handle left open by the audio engine : " << handle->getFileId());
    delete handle;
  }
  openHandles_.clear();
  unplayable_.clear();
  failedReads_.clear();

  for (VLRepository*& repository : repositories_) {
    if (!repository) continue;
    repository->close();
    delete repository;
    repository = nullptr;
  }
  if (provider_) {
    if (!provider_->clean()) {
      VL_LOG_ERROR("Unable to clean HTTP repository provider");
      return false;
    }
    delete provider_;
    provider_ = nullptr;
  }
  return true;
}

void VLPlayer::setOffline(bool offline) {
  for (VLRepository* repository : repositories_) {
    if (repository) repository->setOffline(offline);
  }
}

VLRepository* VLPlayer::getRepository(const std::string& name) const {
  for (VLRepository* repository : repositories_) {
    if (!repository) continue;
    if (name.empty() || repository->getName() == name) return repository;
  }
  return nullptr;
}

std::string VLPlayer::getIdentity() const {
  return identity_;
}

VLAudioInterface* VLPlayer::getAudioInterface() const {
  VLMutexLocker locker(mutex_);
  return audioInterface_.get();
}

VLHttpRepositoryProvider* VLPlayer::getHttpRepositoryProvider() const {
  return provider_;
}

std::shared_ptr<VLAudioInterface> VLPlayer::holdAudioInterface() const {
  VLMutexLocker locker(mutex_);
  return audioInterface_;
}
