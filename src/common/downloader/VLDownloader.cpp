#include "VLDownloader.h"

#include <algorithm>
#include <climits>

#include "VLFileFormat.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

namespace {

const char* const kStopFailed = "Unable to stop download";
const size_t kUnknownSize = static_cast<size_t>(-1);
// Downloads that wait for their next try without holding a slot, at most.
// Each holds its files open (two descriptors) and tries again on its own
// schedule, beside the downloads that run.
const size_t kMostWaitingOutsideLimit = 64;

// Positions come from the page and may be anything: a shift or an append at
// the top of the range must not wrap around to the front of the queue.
int incrementPosition(int position) {
  return position == INT_MAX ? INT_MAX : position + 1;
}

const char* actionName(VLDownloaderAction::Type type) {
  switch (type) {
    case VLDownloaderAction::ACTION_ADD: return "add";
    case VLDownloaderAction::ACTION_REMOVE: return "remove";
    case VLDownloaderAction::ACTION_PAUSE: return "pause";
    case VLDownloaderAction::ACTION_RESUME: return "resume";
    case VLDownloaderAction::ACTION_HIDE: return "hide";
    case VLDownloaderAction::ACTION_REMOVE_ALL: return "remove all";
    case VLDownloaderAction::ACTION_PAUSE_ALL: return "pause all";
    case VLDownloaderAction::ACTION_RESUME_ALL: return "resume all";
    case VLDownloaderAction::ACTION_HIDE_ALL: return "hide all";
    case VLDownloaderAction::ACTION_SET_POSITION: return "set position";
  }
  return "unknown";
}

bool isKnownState(int state) {
  switch (state) {
    case VLDownloader::DOWNLOAD_NONE:
    case VLDownloader::DOWNLOAD_PAUSED:
    case VLDownloader::DOWNLOAD_QUEUED:
    case VLDownloader::DOWNLOAD_RUNNING:
    case VLDownloader::DOWNLOAD_FAILED:
    case VLDownloader::DOWNLOAD_DONE: return true;
  }
  return false;
}

}  // namespace

VLDownloader::VLDownloader(VLRepository** repositories, unsigned count, unsigned maxConcurrentDownloads)
    : mutex_(VLPlatformFactory::instance()->createMutex()), maxConcurrentDownloads_(DEFAULT_MAX_CONCURRENT_DOWNLOADS) {
  if (!isRefusedLimit(maxConcurrentDownloads)) maxConcurrentDownloads_ = maxConcurrentDownloads;
  for (unsigned i = 0; i < count; ++i) {
    if (repositories[i] == nullptr) {
      VL_LOG_WARN("Missing download repository skipped : " << i);
      continue;
    }
    repositories_.push_back(repositories[i]);
  }
  normaliseQueue();
}

VLDownloader::~VLDownloader() {}

// Downloads left running by a session that ended without `clean`, and failed
// ones, are queued again, and the positions in the queue are compacted from 1.
// Of files sharing a stored position only the first met is renumbered; the
// others keep their number.
void VLDownloader::normaliseQueue() {
  std::map<int, VLRepositoryFile*> byPosition;
  for (VLRepository* repository : repositories_) {
    for (auto& entry : repository->getFiles()) {
      VLRepositoryFile* file = entry.second;
      int state = file->getCustom();
      if (state == DOWNLOAD_NONE) continue;
      byPosition.emplace(file->getPosition(), file);
      if (!isKnownState(state)) {
        // Only the downloader writes this column; a stray value comes from
        // a damaged index and would leave the file stuck for good.
        VL_LOG_WARN("Unknown download state " << state << ", queued again : " << entry.first);
        file->setCustom(DOWNLOAD_QUEUED);
      } else if (state == DOWNLOAD_RUNNING || state == DOWNLOAD_FAILED || hasLostBytes(file)) {
        file->setCustom(DOWNLOAD_QUEUED);
      }
    }
  }
  int position = 1;
  for (auto& entry : byPosition) entry.second->setPosition(position++);
}

// The limit is compared with the running count as a signed int: a value that
// reads as negative would stop every download for good, so it is refused.
bool VLDownloader::isRefusedLimit(unsigned max) const {
  if (max <= static_cast<unsigned>(INT_MAX)) return false;
  VL_LOG_WARN("Refused negative limit of concurrent downloads : " << static_cast<int>(max));
  return true;
}

void VLDownloader::setMaxConcurrentDownloads(unsigned max) {
  if (!isRefusedLimit(max)) maxConcurrentDownloads_ = max;
}

unsigned VLDownloader::getMaxConcurrentDownloads() const {
  return maxConcurrentDownloads_;
}

int VLDownloader::getLimit() const {
  return static_cast<int>(maxConcurrentDownloads_.load());
}

void VLDownloader::queue(VLDownloaderAction* action) {
  std::unique_ptr<VLDownloaderAction> owned(action);
  if (action->getFileId() != nullptr && action->getRepository() == nullptr) {
    VL_LOG_WARN("Unknown repository, download action dropped : " << actionName(action->getType()) << " "
                                                                 << *action->getFileId());
    return;
  }
  VLMutexLocker locker(mutex_.get());
  actions_.push_back(std::move(owned));
}

void VLDownloader::addFile(VLRepository* repository, const VLFileId& id, const std::string& data) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_ADD, repository, id, data));
}

void VLDownloader::removeFile(VLRepository* repository, const VLFileId& id) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_REMOVE, repository, id));
}

void VLDownloader::pauseFile(VLRepository* repository, const VLFileId& id) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_PAUSE, repository, id));
}

void VLDownloader::resumeFile(VLRepository* repository, const VLFileId& id) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_RESUME, repository, id));
}

void VLDownloader::hideFile(VLRepository* repository, const VLFileId& id) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_HIDE, repository, id));
}

void VLDownloader::setDownloadPosition(VLRepository* repository, const VLFileId& id, int position) {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_SET_POSITION, repository, id, position));
}

void VLDownloader::removeAll() {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_REMOVE_ALL));
}

void VLDownloader::pauseAll() {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_PAUSE_ALL));
}

void VLDownloader::resumeAll() {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_RESUME_ALL));
}

void VLDownloader::hideAll() {
  queue(new VLDownloaderAction(VLDownloaderAction::ACTION_HIDE_ALL));
}

void VLDownloader::clean() {
  for (VLRepository* repository : repositories_) {
    for (auto& entry : repository->getFiles()) {
      VLRepositoryFile* file = entry.second;
      if (file->getCustom() != DOWNLOAD_RUNNING) continue;
      if (!file->close(0)) VL_LOG_WARN(kStopFailed);
      file->setCustom(DOWNLOAD_QUEUED);
    }
  }
  savedRunningSizes_.clear();
}

void VLDownloader::update() {
  applyActions();
  std::vector<VLRepositoryFile*> queue;
  int running = settle(queue);
  running = stopDownloads(queue, running);
  startDownloads(queue, running);
  saveChangedIndexes();
}

// ---------------------------------------------------------------------------
// Pass 1: the pending actions.

// The pending list is taken whole under the mutex and applied outside it, so a
// thread that queues meanwhile never waits for repository work; what it queues
// runs at the next call, just as it would after waiting for the lock.
void VLDownloader::applyActions() {
  ActionList pending;
  {
    VLMutexLocker locker(mutex_.get());
    pending.swap(actions_);
  }
  while (!pending.empty()) {
    std::unique_ptr<VLDownloaderAction> action = std::move(pending.front());
    pending.pop_front();
    applyAction(*action, pending);
  }
}

void VLDownloader::applyAction(const VLDownloaderAction& action, ActionList& pending) {
  switch (action.getType()) {
    case VLDownloaderAction::ACTION_ADD:
    case VLDownloaderAction::ACTION_REMOVE:
    case VLDownloaderAction::ACTION_PAUSE:
    case VLDownloaderAction::ACTION_RESUME:
    case VLDownloaderAction::ACTION_HIDE: applyFileAction(action); return;
    case VLDownloaderAction::ACTION_REMOVE_ALL: expandAll(VLDownloaderAction::ACTION_REMOVE, pending); return;
    case VLDownloaderAction::ACTION_PAUSE_ALL: expandAll(VLDownloaderAction::ACTION_PAUSE, pending); return;
    case VLDownloaderAction::ACTION_RESUME_ALL: expandAll(VLDownloaderAction::ACTION_RESUME, pending); return;
    case VLDownloaderAction::ACTION_HIDE_ALL: expandAll(VLDownloaderAction::ACTION_HIDE, pending); return;
    case VLDownloaderAction::ACTION_SET_POSITION: applySetPosition(action); return;
  }
  VL_LOG_WARN("Unknown download action dropped : " << static_cast<unsigned>(action.getType()));
}

// Only an add or a remove makes a record the repository does not have yet. A
// pause, resume or hide of an unknown file would otherwise leave an empty
// record behind, shown to the page and kept in the index for good; a remove
// makes one so that whatever lies on disk under the file's name goes with it.
void VLDownloader::applyFileAction(const VLDownloaderAction& action) {
  VLRepository* repository = action.getRepository();
  const VLFileId* id = action.getFileId();
  VLDownloaderAction::Type type = action.getType();
  if (repository == nullptr || id == nullptr) {
    VL_LOG_WARN("Download action without a file dropped : " << actionName(type));
    return;
  }
  // A removal the index cannot record is refused before a record is made:
  // the page keeps the download, which the next start would bring back.
  if (type == VLDownloaderAction::ACTION_REMOVE && !repository->takesRemovals()) return;
  bool create = type == VLDownloaderAction::ACTION_ADD || type == VLDownloaderAction::ACTION_REMOVE;
  VLRepositoryFile* file = repository->getFile(*id, create);
  if (file == nullptr) {
    if (type == VLDownloaderAction::ACTION_PAUSE)
      VL_LOG_WARN("Download is missing, unable to pause it");
    else if (type == VLDownloaderAction::ACTION_RESUME)
      VL_LOG_WARN("Download is missing, unable to resume it");
    return;
  }
  switch (type) {
    case VLDownloaderAction::ACTION_ADD: applyAdd(file, action); return;
    case VLDownloaderAction::ACTION_REMOVE: applyRemove(file); return;
    case VLDownloaderAction::ACTION_PAUSE: applyPause(file); return;
    case VLDownloaderAction::ACTION_RESUME: applyResume(file); return;
    case VLDownloaderAction::ACTION_HIDE: applyHide(file); return;
    default: return;
  }
}

void VLDownloader::applyAdd(VLRepositoryFile* file, const VLDownloaderAction& action) {
  if (file->isRemoved() && !takeBack(file)) return;
  int state = file->getCustom();
  file->setMetadata(action.getData());
  changedRepositories_.insert(file->getRepository());
  if (file->getPosition() == -1) setPosition(file, nextPosition());
  if (state == DOWNLOAD_NONE || state == DOWNLOAD_PAUSED) setState(file, DOWNLOAD_QUEUED);
}

// A record marked removed (by a remove earlier in the same update, or while a
// reader still holds it) is deleted by the repository as soon as nothing holds
// it open: queued as it is, the download would vanish the moment it ends. An
// add takes it back first, with whatever content it still has.
bool VLDownloader::takeBack(VLRepositoryFile* file) {
  if (!file->open(VLRepositoryFile::OPEN_READD)) {
    VL_LOG_WARN("Unable to add removed download again : " << file->getFileId());
    return false;
  }
  if (!file->close(0)) VL_LOG_WARN("Unable to close download added again : " << file->getFileId());
  return true;
}

void VLDownloader::applyRemove(VLRepositoryFile* file) {
  if (file->getCustom() == DOWNLOAD_RUNNING && !file->close(0)) {
    VL_LOG_WARN(kStopFailed);
    setState(file, DOWNLOAD_FAILED);
    return;
  }
  file->remove();
  setState(file, DOWNLOAD_NONE);
  setPosition(file, -1);
}

void VLDownloader::applyPause(VLRepositoryFile* file) {
  switch (file->getCustom()) {
    case DOWNLOAD_RUNNING:
      if (file->close(0)) {
        setState(file, DOWNLOAD_PAUSED);
      } else {
        VL_LOG_WARN(kStopFailed);
        setState(file, DOWNLOAD_FAILED);
      }
      return;
    case DOWNLOAD_QUEUED: setState(file, DOWNLOAD_PAUSED); return;
    case DOWNLOAD_NONE: VL_LOG_WARN("Download is missing, unable to pause it"); return;
    default: return;
  }
}

void VLDownloader::applyResume(VLRepositoryFile* file) {
  switch (file->getCustom()) {
    case DOWNLOAD_PAUSED: setState(file, DOWNLOAD_QUEUED); return;
    case DOWNLOAD_NONE: VL_LOG_WARN("Download is missing, unable to resume it"); return;
    default: return;  // a failed download stays failed until hidden or removed
  }
}

void VLDownloader::applyHide(VLRepositoryFile* file) {
  int state = file->getCustom();
  if (state == DOWNLOAD_NONE) return;
  if (state == DOWNLOAD_RUNNING && !file->close(0)) VL_LOG_WARN(kStopFailed);
  setState(file, DOWNLOAD_NONE);
  setPosition(file, -1);
}

// The actions made here go to the front of the pending list, so that they run
// before every older pending action, the file visited last first.
void VLDownloader::expandAll(VLDownloaderAction::Type singleType, ActionList& pending) {
  for (VLRepository* repository : repositories_) {
    for (auto& entry : repository->getFiles()) {
      VLRepositoryFile* file = entry.second;
      if (file->getCustom() == DOWNLOAD_NONE) continue;
      pending.emplace_front(new VLDownloaderAction(singleType, repository, entry.first, file->getMetadata()));
    }
  }
}

// The named file takes the position; every other file in the queue at that
// position or after it moves back by one. A named file that is not in the
// queue gets no position, and the others move all the same.
void VLDownloader::applySetPosition(const VLDownloaderAction& action) {
  VLRepository* target = action.getRepository();
  const VLFileId* id = action.getFileId();
  if (target == nullptr || id == nullptr) {
    VL_LOG_WARN("Download action without a file dropped : " << actionName(action.getType()));
    return;
  }
  int position = action.getPosition();
  for (VLRepository* repository : repositories_) {
    for (auto& entry : repository->getFiles()) {
      VLRepositoryFile* file = entry.second;
      if (file->getCustom() == DOWNLOAD_NONE) continue;
      if (repository == target && entry.first == *id)
        setPosition(file, position);
      else if (file->getPosition() >= position)
        setPosition(file, incrementPosition(file->getPosition()));
    }
  }
}

// One past the greatest position in the queue; 0 for an empty queue.
int VLDownloader::nextPosition() const {
  int greatest = -1;
  for (VLRepository* repository : repositories_) {
    for (auto& entry : repository->getFiles()) {
      VLRepositoryFile* file = entry.second;
      if (file->getCustom() != DOWNLOAD_NONE) greatest = std::max(greatest, file->getPosition());
    }
  }
  return incrementPosition(greatest);
}

// ---------------------------------------------------------------------------
// Pass 2: settling, counting, listing.

// Returns the number of download slots taken and fills `queue` with the
// running and queued files in queue order.
int VLDownloader::settle(std::vector<VLRepositoryFile*>& queue) {
  std::map<FileKey, size_t> runningSizes;
  for (VLRepository* repository : repositories_) {
    // Only a file whose content was replaced or lost can be a done
    // download that lost bytes.
    for (VLRepositoryFile* file : repository->takeResetFiles()) {
      if (hasLostBytes(file)) setState(file, DOWNLOAD_QUEUED);
    }
    // The running and queued files in file-id order, copied, since
    // settling changes states; the rest of the repository is not walked.
    std::map<VLFileId, VLRepositoryFile*> active = repository->getFilesWithState(DOWNLOAD_RUNNING);
    const std::map<VLFileId, VLRepositoryFile*>& queued = repository->getFilesWithState(DOWNLOAD_QUEUED);
    active.insert(queued.begin(), queued.end());
    for (auto& entry : active) {
      VLRepositoryFile* file = entry.second;
      if (file->getCustom() == DOWNLOAD_RUNNING) settleRunning(file);
      int state = file->getCustom();
      if (state == DOWNLOAD_RUNNING) noteRunningSize(file, runningSizes);
      if (state == DOWNLOAD_RUNNING || state == DOWNLOAD_QUEUED) queue.push_back(file);
    }
  }
  savedRunningSizes_.swap(runningSizes);
  // Stable: equal positions keep the walk's order, "import" before
  // "download" and file-id order within one repository.
  std::stable_sort(queue.begin(), queue.end(), comparePositions);
  return countSlots(queue);
}

// A download waiting for its next try after a failure (a server that answers
// 503, cuts its answers, or whose answers without a length keep ending
// elsewhere) holds no slot: the downloads queued behind it start meanwhile,
// and it keeps its open and so its retry schedule (its tries, short while the
// server keeps failing, run beside them). Up to kMostWaitingOutsideLimit wait
// so, from the front of the queue: far more than the tracks of an album from
// one failing server, so that honest downloads behind them still run; when
// every answer fails (a service down, no network), the queue still does not
// open file after file, nor try them all at once when the network is back.
// Limit 0 holds the whole queue: the waiting downloads stop as well, and try
// no more.
int VLDownloader::countSlots(const std::vector<VLRepositoryFile*>& queue) {
  retrying_.clear();
  int running = 0;
  for (VLRepositoryFile* file : queue) {
    if (file->getCustom() != DOWNLOAD_RUNNING) continue;
    if (file->isRetrying() && getLimit() > 0 && retrying_.size() < kMostWaitingOutsideLimit)
      retrying_.insert(file);
    else
      ++running;
  }
  return running;
}

// A done download whose content was replaced since (a validation that found
// a new version and was cut short) is fetched again: it is no longer whole,
// and would not play offline.
bool VLDownloader::hasLostBytes(VLRepositoryFile* file) {
  if (file->getCustom() != DOWNLOAD_DONE || file->getSize() == VLRepositoryFile::UNKNOWN_SIZE ||
      (file->getFlags() & VLRepositoryFile::FLAG_COMPLETE))
    return false;
  VL_LOG_WARN("Downloaded file is no longer complete, queued again : " << file->getFileId() << " in "
                                                                       << file->getRepository()->getName());
  return true;
}

// A completed download is released and marked done. One whose repository file
// gave up providing (a final HTTP error, or the retries ran out) is released
// and marked failed; the blocks it has stay.
void VLDownloader::settleRunning(VLRepositoryFile* file) {
  int flags = file->getFlags();
  if (flags & VLRepositoryFile::FLAG_COMPLETE) {
    if (!file->close(0)) {
      VL_LOG_WARN(kStopFailed);
      setState(file, DOWNLOAD_FAILED);
      return;
    }
    // What was written while another program replaced the file on the disk
    // is lost with the mapping: the download is not done.
    if (!file->checkStoredFiles()) {
      setState(file, DOWNLOAD_FAILED);
      return;
    }
    applyFormatFallback(file);
    setState(file, DOWNLOAD_DONE);
    return;
  }
  if (flags & VLRepositoryFile::FLAG_PROVIDING) return;
  VL_LOG_TRACE("Repository file is not providing, abort : " << file->getFileId());
  // The providing open is given back: kept, the file would stay mapped, a
  // later remove would never delete it and adding it again would open it twice.
  if (!file->close(0)) VL_LOG_WARN(kStopFailed);
  setState(file, DOWNLOAD_FAILED);
}

// An empty import in a primary-class format means the service has no such
// file: at the next call the empty one leaves the queue and the same entity is
// queued in the default format of the secondary class instead.
void VLDownloader::applyFormatFallback(VLRepositoryFile* file) {
  VLRepository* repository = file->getRepository();
  VLFileId id = file->getFileId();
  if (file->getSize() != 0 || !id.getFormat()->isPrimaryClass() || repository->getName() != "import") return;
  hideFile(repository, id);
  const VLFileFormat* table = VLFileFormat::getTable();
  for (int row = 0; row < VLFileFormat::TABLE_SIZE; ++row) {
    const VLFileFormat* format = &table[row];
    if (format->isEnabled() && format->isSecondaryClass() && !format->isPrimaryClass() && format->isDefault()) {
      addFile(repository, VLFileId(id.getEntityId(), format), file->getMetadata());
      return;
    }
  }
}

// The size of a running download is saved as soon as it is known: a row
// without it would make the next session drop the blocks already on disk and
// fetch the whole file again.
void VLDownloader::noteRunningSize(VLRepositoryFile* file, std::map<FileKey, size_t>& sizes) {
  FileKey key = keyOf(file);
  size_t size = file->getSize();
  auto saved = savedRunningSizes_.find(key);
  if (size != kUnknownSize && (saved == savedRunningSizes_.end() || saved->second != size))
    changedRepositories_.insert(file->getRepository());
  sizes.emplace(key, size);
}

bool VLDownloader::comparePositions(VLRepositoryFile* a, VLRepositoryFile* b) {
  return a->getPosition() < b->getPosition();
}

// ---------------------------------------------------------------------------
// Passes 3 and 4.

// Backwards, so that when too many run the highest positions stop first; a
// download in a repository that cannot take it stops wherever it stands.
int VLDownloader::stopDownloads(const std::vector<VLRepositoryFile*>& queue, int running) {
  for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
    VLRepositoryFile* file = *it;
    if (file->getCustom() != DOWNLOAD_RUNNING) continue;
    const bool counted = holdsSlot(file);
    if (isUsable(file->getRepository()) && (getLimit() >= running || !counted)) continue;
    if (file->close(0)) {
      setState(file, DOWNLOAD_QUEUED);
      if (counted) --running;
    } else {
      VL_LOG_ERROR(kStopFailed);
      setState(file, DOWNLOAD_FAILED);
    }
  }
  return running;
}

void VLDownloader::startDownloads(const std::vector<VLRepositoryFile*>& queue, int running) {
  for (VLRepositoryFile* file : queue) {
    if (running >= getLimit()) return;
    if (file->getCustom() != DOWNLOAD_QUEUED || !isUsable(file->getRepository())) continue;
    if (!file->open(VLRepositoryFile::OPEN_PROVIDE)) {
      // The open found the folder unusable (turned read-only while the
      // client ran, its disk gone): the download waits for it, as the
      // others queued there do, rather than fail for good.
      if (!isUsable(file->getRepository())) continue;
      VL_LOG_WARN("Unable to start repository file providing");
      setState(file, DOWNLOAD_FAILED);
      continue;
    }
    setState(file, DOWNLOAD_RUNNING);
    // The row saved at the end of this update holds the size as it is now.
    savedRunningSizes_[keyOf(file)] = file->getSize();
    ++running;
  }
}

bool VLDownloader::holdsSlot(VLRepositoryFile* file) const {
  return retrying_.count(file) == 0;
}

bool VLDownloader::isUsable(VLRepository* repository) {
  return !repository->isUnavailable() && !repository->isOfflineOrFull();
}

VLDownloader::FileKey VLDownloader::keyOf(VLRepositoryFile* file) {
  return FileKey(file->getRepository(), file->getFileId());
}

void VLDownloader::setState(VLRepositoryFile* file, int state) {
  if (file->getCustom() == state) return;
  file->setCustom(state);
  changedRepositories_.insert(file->getRepository());
}

void VLDownloader::setPosition(VLRepositoryFile* file, int position) {
  if (file->getPosition() == position) return;
  file->setPosition(position);
  changedRepositories_.insert(file->getRepository());
}

// The repositories save their indexes once a minute; a change to the queue
// that the user made must not be lost to a crash within that minute.
void VLDownloader::saveChangedIndexes() {
  for (VLRepository* repository : changedRepositories_) repository->saveFiles();
  changedRepositories_.clear();
}
