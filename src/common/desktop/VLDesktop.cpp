#include "VLDesktop.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "VLAudioInterface.h"
#include "VLDesktopFile.h"
#include "VLDesktopFileRequest.h"
#include "VLDesktopKeyValue.h"
#include "VLDesktopSettingValue.h"
#include "VLDownloader.h"
#include "VLFileHelper.h"
#include "VLFileId.h"
#include "VLHttpRepositoryProvider.h"
#include "VLLocalStorage.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLPlayer.h"
#include "VLRepository.h"
#include "VLSessionStorage.h"
#include "VLSettingHelper.h"
#include "VLSound.h"
#include "VLThread.h"

const char* const VLDesktop::kAnonymous = "#anonymous#";

namespace {

const char* const kLastIdentity = "LastIdentity";
const char* const kOutputDevice = "OutputDevice";
const char* const kMaxConcurrentDownloads = "MaxConcurrentDownloads";
const int kDefaultMaxConcurrentDownloads = 3;
// The longest wait between two passes: work handed to the worker and network
// activity end it sooner; what moves only with the passes (sound positions,
// timers of the repositories and downloads) moves at least this often.
const unsigned kPassSleepMs = 10;
// The wait when nothing plays, loads or transfers: every change then comes
// with a wake-up, and the repositories' own timers (a recount every half
// second, the availability probe, the periodic save) are far coarser, so an
// idle client wakes ten times a second instead of a hundred.
const unsigned kQuietPassSleepMs = 100;
// A volume that stays full is reported again by every retry of what needs the
// space; the page's modal error comes once per episode: reports closer together
// than this (seconds) belong to the same one.
const double kVolumeFullEpisodeGap = 600;

VLSettingHelper* settings() {
  return VLPlatformFactory::instance()->getSettingHelper();
}

// Wakes the worker as the page call that made it returns, after the call has
// queued its work for the worker's pass (a sound command, a download action,
// a file query...): the pass serves it now rather than after the wait.
struct WakeWorkerOnReturn {
  ~WakeWorkerOnReturn() { VLPlayer::instance()->wake(); }
};

}  // namespace

VLDesktop::VLDesktop()
    : localStorage_(nullptr),
      sessionStorage_(nullptr),
      downloader_(nullptr),
      jsReady_(false),
      running_(false),
      discarding_(false),
      queueMutex_(nullptr),
      userMutex_(nullptr) {
  userMutex_ = VLPlatformFactory::instance()->createMutex();
  queueMutex_ = VLPlatformFactory::instance()->createMutex();
  localStorage_ = new VLLocalStorage();
  sessionStorage_ = new VLSessionStorage();
}

VLDesktop::~VLDesktop() {
  // The subclass, and with it every slot, is gone: whatever clean() would
  // still send to the page is dropped instead.
  discarding_ = true;
  if (running_) VL_LOG_ERROR("Desktop destroyed while running: the front end must clean it first");
  clean();
  discardQueues();
  delete sessionStorage_;
  delete localStorage_;
  delete queueMutex_;
  delete userMutex_;
}

// --- lifecycle ----------------------------------------------------------------

bool VLDesktop::init() {
  if (running_) {
    VL_LOG_ERROR("Desktop is already initialized");
    return false;
  }
  VLLogger::instance()->init();
  if (!localStorage_->init()) {
    VL_LOG_ERROR("Unable to initialize local storage");
    clean();
    return false;
  }
  if (!sessionStorage_->init()) {
    VL_LOG_ERROR("Unable to initialize session storage");
    clean();
    return false;
  }
  settings()->setIntValue(kAnonymous, "CacheMaxSizeBytesMb", 10);
  settings()->setIntValue(kAnonymous, "CacheMaxSizePercent", 0);
  copyLastOutputDevice();
  openSession(kAnonymous);
  // Set before the thread exists so that a setUserId racing the first pass
  // already sees a worker.
  running_ = true;
  if (!startThread("VLDesktop", 0)) {
    VL_LOG_ERROR("Unable to start lib thread");
    running_ = false;
    clean();
    return false;
  }
  return true;
}

// The session at start is always the anonymous one; it takes over the output
// device of whoever used the application last.
void VLDesktop::copyLastOutputDevice() {
  std::string last = settings()->getValue(kLastIdentity, kAnonymous);
  std::string device = settings()->getValue(last, kOutputDevice, "");
  if (device.empty()) return;
  if (!VLDesktopSettingValue::isOutputDeviceId(device)) {
    VL_LOG_WARN("Invalid stored output device : " << device << ", using 0:0");
    device = "0:0";
  }
  settings()->setValue(kAnonymous, kOutputDevice, device);
}

bool VLDesktop::clean() {
  bool result = true;
  if (sessionStorage_ && !sessionStorage_->clean()) {
    VL_LOG_ERROR("Unable to clean session storage");
    result = false;
  }
  if (localStorage_ && !localStorage_->clean()) {
    VL_LOG_ERROR("Unable to clean local storage");
    result = false;
  }
  stopWorker();
  if (!closeSession()) result = false;
  VLLogger::instance()->shutdown();
  return result;
}

bool VLDesktop::stopWorker() {
  running_ = false;
  stop();
  VLThread* thread = getThread();
  if (!thread) return false;
  thread->join();
  setThread(nullptr);
  delete thread;
  return true;
}

void VLDesktop::openSession(const std::string& userId) {
  VLPlayer* player = VLPlayer::instance();
  player->init(this, this, userId);
  VLRepository* repositories[2] = {player->getRepository("import"), player->getRepository("download")};
  int maximum = settings()->getIntValue(userId, kMaxConcurrentDownloads, kDefaultMaxConcurrentDownloads);
  if (maximum < 1) {
    VL_LOG_WARN("Invalid stored " << kMaxConcurrentDownloads << " : " << maximum << ", using "
                                  << kDefaultMaxConcurrentDownloads);
    maximum = kDefaultMaxConcurrentDownloads;
  }
  downloader_ = new VLDownloader(repositories, 2, unsigned(maximum));
}

bool VLDesktop::closeSession() {
  serveFileRequests();
  flushJSEvents();
  VLPlayer* player = VLPlayer::instance();
  if (downloader_) {
    settings()->setIntValue(player->getIdentity(), kMaxConcurrentDownloads,
                            int(downloader_->getMaxConcurrentDownloads()));
    downloader_->clean();
    delete downloader_;
    downloader_ = nullptr;
  }
  return player->clean();
}

// --- worker ---------------------------------------------------------------------

void VLDesktop::executeRunLoop() {
  applyPendingUser();
  VLPlayer::instance()->update();
  // The page's calls arrive in order: a query queued after download actions
  // is answered only once those are applied. Queries queued while the
  // downloader updates wait for the next pass, which applies what was queued
  // before them.
  size_t answerable = 0;
  {
    VLMutexLocker lock(queueMutex_);
    answerable = fileRequests_.size();
  }
  if (downloader_) downloader_->update();
  serveFileRequests(answerable);
  flushJSEvents();
  VLPlayer* player = VLPlayer::instance();
  player->waitForWork(player->isQuiet() ? kQuietPassSleepMs : kPassSleepMs);
}

// The lock is held through the whole switch: setUserId sees the pending id
// cleared only once the new session is open.
void VLDesktop::applyPendingUser() {
  VLMutexLocker lock(userMutex_);
  if (pendingUserId_.empty()) return;
  if (pendingUserId_ != VLPlayer::instance()->getIdentity()) {
    if (!closeSession()) VL_LOG_WARN("Unable to clean player and/or downloader");
    openSession(pendingUserId_);
    settings()->setValue(kLastIdentity, pendingUserId_);
  }
  pendingUserId_.clear();
}

void VLDesktop::setUserId(const std::string& userId) {
  VL_LOG_INFO("Set user ID to : " << userId);
  if (!running_) {
    VL_LOG_WARN("Unable to set user ID, the core is not running");
    return;
  }
  {
    VLMutexLocker lock(userMutex_);
    pendingUserId_ = userId.empty() ? std::string(kAnonymous) : userId;
  }
  VLPlayer::instance()->wake();
  for (;;) {
    VLPlatformFactory::instance()->sleep(kPassSleepMs);
    VLMutexLocker lock(userMutex_);
    if (pendingUserId_.empty()) return;
    if (!running_) {
      // Nothing will take the switch any more.
      pendingUserId_.clear();
      return;
    }
  }
}

bool VLDesktop::isJSReady() {
  return jsReady_;
}

void VLDesktop::setJSReady(bool ready) {
  const WakeWorkerOnReturn wakeWorker;
  jsReady_ = ready;
}

// --- page queues ----------------------------------------------------------------

void VLDesktop::queueEvent(const char* name, VLRepositoryFile* file) {
  if (!isJSReady()) return;
  VLDesktopFile* record = new VLDesktopFile(file);
  VLMutexLocker lock(queueMutex_);
  jsEvents_.push_back(JSEvent(name, record));
}

void VLDesktop::onFilesAdded(VLRepositoryFile* file) {
  queueEvent("onFilesAdded", file);
}

void VLDesktop::onFilesRemoved(VLRepositoryFile* file) {
  queueEvent("onFilesRemoved", file);
}

void VLDesktop::onFileProgressesChanged(VLRepositoryFile* file) {
  queueEvent("onFileProgressesChanged", file);
}

void VLDesktop::onDownloadStatesChanged(VLRepositoryFile* file) {
  queueEvent("onDownloadStatesChanged", file);
}

void VLDesktop::onFileStatesChanged(VLRepositoryFile* file) {
  queueEvent("onFileStatesChanged", file);
}

namespace {

std::string errorCode(VLRepository* repository, const char* condition) {
  std::string name = repository ? repository->getName() : "";
  std::string prefix = name == "import" ? "IMPORT_" : name == "download" ? "DOWNLOAD_" : "CACHE_";
  return prefix + condition;
}

}  // namespace

void VLDesktop::onVolumeFull(VLRepository* repository) {
  std::string code = errorCode(repository, "VOLUME_FULL");
  if (isNewVolumeFullEpisode(code)) queueErrorCode(code);
}

bool VLDesktop::isNewVolumeFullEpisode(const std::string& code) {
  double now = VLPlatformFactory::instance()->getTime();
  auto last = volumeFullReports_.find(code);
  bool isNew = last == volumeFullReports_.end() || now - last->second > kVolumeFullEpisodeGap;
  volumeFullReports_[code] = now;
  if (!isNew) VL_LOG_DEBUG("Volume is still full, not shown again : " << code);
  return isNew;
}

void VLDesktop::onUnwritable(VLRepository* repository) {
  queueErrorCode(errorCode(repository, "UNWRITABLE"));
}

void VLDesktop::onIndexDamaged(VLRepository* repository) {
  queueErrorCode(errorCode(repository, "INDEX_DAMAGED"));
}

void VLDesktop::queueErrorCode(const std::string& code) {
  VLMutexLocker lock(queueMutex_);
  errorCodes_.push_back(code);
}

void VLDesktop::askFileUrl(VLRepository* repository, const VLFileId& id) {
  if (!isJSReady()) {
    VL_LOG_ERROR("Unable to ask file URL, JS is not ready");
    return;
  }
  if (discarding_) return;
  executeMethodWithFile("getFileUrl", new VLDesktopFile(repository, id));
}

void VLDesktop::getFiles(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                         void* callback) {
  queueFileRequest(repositories, fileFlags, downloadState, false, callback);
}

void VLDesktop::getFileCount(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                             void* callback) {
  queueFileRequest(repositories, fileFlags, downloadState, true, callback);
}

void VLDesktop::queueFileRequest(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                                 bool countOnly, void* callback) {
  const WakeWorkerOnReturn wakeWorker;
  if (!isJSReady()) {
    VL_LOG_ERROR("JS should be ready");
    return;
  }
  if (!running_) {
    // No worker would ever answer: leave the callback with the caller.
    VL_LOG_ERROR("Unable to query files, the core is not running");
    return;
  }
  VLDesktopFileRequest* request = new VLDesktopFileRequest(repositories, fileFlags, downloadState, countOnly, callback);
  VLMutexLocker lock(queueMutex_);
  fileRequests_.push_back(request);
}

void VLDesktop::serveFileRequests(size_t most) {
  VLPlayer* player = VLPlayer::instance();
  for (size_t served = 0; served < most; ++served) {
    VLDesktopFileRequest* request = nullptr;
    {
      VLMutexLocker lock(queueMutex_);
      if (fileRequests_.empty()) return;
      request = fileRequests_.front();
      fileRequests_.pop_front();
    }
    // The answer is built in one walk, straight from the records; none is
    // built for a page that is going away.
    unsigned int count = 0;
    std::list<VLDesktopFile*>* files = nullptr;
    if (!request->isCountOnly() && !discarding_) files = new std::list<VLDesktopFile*>();
    for (const std::string& name : request->getRepositories()) {
      VLRepository* repository = player->getRepository(name);
      if (!repository) continue;
      if (request->isCountOnly()) {
        unsigned int matched = 0;
        repository->findFiles(request->getFileFlags(), request->getDownloadState(), nullptr, &matched);
        count += matched;
      } else if (files) {
        repository->forEachFound(request->getFileFlags(), request->getDownloadState(),
                                 [files](VLRepositoryFile* file) { files->push_back(new VLDesktopFile(file)); });
      }
    }
    if (!discarding_) {
      if (request->isCountOnly())
        executeCallbackWithNumber(request->getCallback(), count);
      else
        executeCallbackWithFiles(request->getCallback(), files);
    }
    delete request;
  }
}

void VLDesktop::flushJSEvents() {
  std::deque<JSEvent> events;
  {
    VLMutexLocker lock(queueMutex_);
    events.swap(jsEvents_);
  }
  while (!events.empty()) {
    std::string name = events.front().first;
    std::list<VLDesktopFile*>* files = new std::list<VLDesktopFile*>();
    while (!events.empty() && events.front().first == name) {
      files->push_back(events.front().second);
      events.pop_front();
    }
    callJSWithFiles(name, files);
  }
  if (!isJSReady() || discarding_) return;
  std::deque<std::string> codes;
  {
    VLMutexLocker lock(queueMutex_);
    codes.swap(errorCodes_);
  }
  for (const std::string& code : codes) executeMethodWithStrStrNumber("showError", code, "modal", 0);
}

void VLDesktop::callJSWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) {
  if (isJSReady() && !discarding_) {
    executeMethodWithFiles(method, files);
    return;
  }
  for (VLDesktopFile* file : *files) delete file;
  delete files;
}

void VLDesktop::discardQueues() {
  VLMutexLocker lock(queueMutex_);
  for (JSEvent& event : jsEvents_) delete event.second;
  jsEvents_.clear();
  errorCodes_.clear();
  for (VLDesktopFileRequest* request : fileRequests_) delete request;
  fileRequests_.clear();
}

// --- page calls -----------------------------------------------------------------

VLRepository* VLDesktop::findRepository(const std::string& name) {
  return VLPlayer::instance()->getRepository(name);
}

VLSound* VLDesktop::findSound(int id) {
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  if (!audio) {
    VL_LOG_ERROR("Unable to find sound #" << id << ", no audio interface");
    return nullptr;
  }
  VLSound* sound = nullptr;
  if (!audio->getSound(id, &sound)) return nullptr;
  return sound;
}

// The page's sound getters run on any thread (the page channel answers them
// off the main thread). Holding the interface and its audio lock keeps the
// sound from being deleted, and the interface from being dropped by a
// session change, while it is read; the lock is the one getSound takes.
template <typename Value, typename Read>
Value VLDesktop::readSound(int id, Value missing, Read read) {
  std::shared_ptr<VLAudioInterface> audio = VLPlayer::instance()->holdAudioInterface();
  if (!audio) {
    VL_LOG_ERROR("Unable to find sound #" << id << ", no audio interface");
    return missing;
  }
  VLMutexLocker locker(audio->getMutex());
  VLSound* sound = nullptr;
  if (!audio->getSound(id, &sound)) return missing;
  return read(*sound);
}

int VLDesktop::createSound(const std::string& url) {
  const WakeWorkerOnReturn wakeWorker;
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  int id = 0;
  if (!audio || !audio->createSound(url, &id)) return 0;
  return id;
}

int VLDesktop::resetSound(int id, const std::string& url) {
  const WakeWorkerOnReturn wakeWorker;
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  int newId = 0;
  if (!audio || !audio->resetSound(id, url, &newId)) return 0;
  return newId;
}

bool VLDesktop::deleteSound(int id) {
  const WakeWorkerOnReturn wakeWorker;
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  return audio && audio->deleteSound(id);
}

bool VLDesktop::play(int id, bool gapless, int previousSound) {
  const WakeWorkerOnReturn wakeWorker;
  VLSound* sound = findSound(id);
  return sound && sound->play(gapless, previousSound);
}

bool VLDesktop::pause(int id) {
  const WakeWorkerOnReturn wakeWorker;
  VLSound* sound = findSound(id);
  return sound && sound->pause();
}

int VLDesktop::getState(int id) {
  return readSound(id, 1, [](VLSound& sound) { return sound.getState(); });
}

bool VLDesktop::getPlaying(int id) {
  return readSound(id, false, [](VLSound& sound) { return sound.getPlaying(); });
}

VLAudioInterface::PlaybackState VLDesktop::getPlaybackState() {
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  return audio ? audio->getPlaybackState() : VLAudioInterface::PlaybackStopped;
}

bool VLDesktop::getPaused(int id) {
  return readSound(id, false, [](VLSound& sound) { return sound.getPaused(); });
}

bool VLDesktop::getStarving(int id) {
  return readSound(id, false, [](VLSound& sound) { return sound.getStarving(); });
}

unsigned int VLDesktop::getPosition(int id) {
  return readSound(id, 0u, [](VLSound& sound) { return sound.getPosition(); });
}

bool VLDesktop::setPosition(int id, unsigned int ms) {
  const WakeWorkerOnReturn wakeWorker;
  VLSound* sound = findSound(id);
  return sound && sound->setPosition(ms);
}

unsigned int VLDesktop::getLength(int id) {
  return readSound(id, 0u, [](VLSound& sound) { return sound.getLength(); });
}

float VLDesktop::getVolume(int id) {
  return readSound(id, 0.0f, [](VLSound& sound) { return sound.getVolume(); });
}

void VLDesktop::setVolume(int id, float volume) {
  const WakeWorkerOnReturn wakeWorker;
  if (VLSound* sound = findSound(id)) sound->setVolume(volume);
}

bool VLDesktop::getMuted(int id) {
  return readSound(id, false, [](VLSound& sound) { return sound.getMuted(); });
}

void VLDesktop::setMuted(int id, bool muted) {
  const WakeWorkerOnReturn wakeWorker;
  if (VLSound* sound = findSound(id)) sound->setMuted(muted);
}

void VLDesktop::getRanges(int id, std::list<float>* ranges) {
  if (!ranges) return;
  readSound(id, false, [ranges](VLSound& sound) {
    sound.getRanges(*ranges);
    return true;
  });
}

std::string VLDesktop::getPendingData(int id) {
  VLSound* sound = findSound(id);
  return sound ? sound->takePendingData() : std::string();
}

// Downloads: each operation queues one action under the downloader's own lock.

void VLDesktop::addFile(const std::string& repository, const std::string& entityId, unsigned int formatId,
                        const std::string& data) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->addFile(findRepository(repository), VLFileId(entityId, formatId), data);
}

void VLDesktop::removeFile(const std::string& repository, const std::string& entityId, unsigned int formatId) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->removeFile(findRepository(repository), VLFileId(entityId, formatId));
}

void VLDesktop::resumeDownload(const std::string& repository, const std::string& entityId, unsigned int formatId) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->resumeFile(findRepository(repository), VLFileId(entityId, formatId));
}

void VLDesktop::pauseDownload(const std::string& repository, const std::string& entityId, unsigned int formatId) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->pauseFile(findRepository(repository), VLFileId(entityId, formatId));
}

void VLDesktop::hideDownload(const std::string& repository, const std::string& entityId, unsigned int formatId) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->hideFile(findRepository(repository), VLFileId(entityId, formatId));
}

void VLDesktop::setDownloadPosition(const std::string& repository, const std::string& entityId, unsigned int formatId,
                                    int position) {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->setDownloadPosition(findRepository(repository), VLFileId(entityId, formatId), position);
}

void VLDesktop::removeFiles() {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->removeAll();
}

void VLDesktop::resumeDownloads() {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->resumeAll();
}

void VLDesktop::pauseDownloads() {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->pauseAll();
}

void VLDesktop::hideDownloads() {
  const WakeWorkerOnReturn wakeWorker;
  if (downloader_) downloader_->hideAll();
}

// Web storage.

VLStorage* VLDesktop::getStorage(const std::string& name) {
  VLStorage* store = nullptr;
  if (localStorage_ && localStorage_->getName() == name)
    store = localStorage_;
  else if (sessionStorage_ && sessionStorage_->getName() == name)
    store = sessionStorage_;
  if (!store) {
    VL_LOG_ERROR("Unable to find storage : " << name);
    return nullptr;
  }
  if (!store->isOpen()) {
    VL_LOG_ERROR("Storage is uninitialized : " << name);
    return nullptr;
  }
  return store;
}

std::string VLDesktop::storageKey(const std::string& name, int index, bool* isNull) {
  std::string key;
  VLStorage* store = getStorage(name);
  bool found = store && store->key(index, &key);
  if (isNull) *isNull = !found;
  return found ? key : std::string();
}

std::string VLDesktop::storageGetItem(const std::string& name, const std::string& key, bool* isNull) {
  std::string value;
  VLStorage* store = getStorage(name);
  bool found = store && store->getItem(key, &value);
  if (isNull) *isNull = !found;
  return found ? value : std::string();
}

bool VLDesktop::storageSetItem(const std::string& name, const std::string& key, const std::string& value) {
  VLStorage* store = getStorage(name);
  return store && store->setItem(key, value);
}

void VLDesktop::storageRemoveItem(const std::string& name, const std::string& key) {
  if (VLStorage* store = getStorage(name)) store->removeItem(key);
}

void VLDesktop::storageClear(const std::string& name) {
  if (VLStorage* store = getStorage(name)) store->clear();
}

int VLDesktop::storageLength(const std::string& name) {
  int count = 0;
  VLStorage* store = getStorage(name);
  if (!store || !store->length(&count)) return 0;
  return count;
}

// Other page calls.

void VLDesktop::setFileUrl(const std::string& repository, const std::string& entityId, unsigned int formatId,
                           const std::string& url, unsigned int newFormatId, const std::string& data) {
  VLHttpRepositoryProvider* provider = VLPlayer::instance()->getHttpRepositoryProvider();
  if (!provider) {
    VL_LOG_ERROR("Unable to set file URL, no session is open");
    return;
  }
  provider->setFileUrl(findRepository(repository), VLFileId(entityId, formatId), url, int(newFormatId), data);
}

void VLDesktop::setOnline() {
  const WakeWorkerOnReturn wakeWorker;
  VLPlayer::instance()->setOffline(false);
}

void VLDesktop::setOffline() {
  const WakeWorkerOnReturn wakeWorker;
  VLPlayer::instance()->setOffline(true);
}

void VLDesktop::clearCache() {
  const WakeWorkerOnReturn wakeWorker;
  if (VLRepository* cache = findRepository("cache")) cache->clearAll();
}

void VLDesktop::triggerKeyboardShortcut(const std::string& name) {
  if (isJSReady()) executeMethodWithStr("triggerKeyboardShortcut", name);
}

// --- settings and device information -------------------------------------------

namespace {

const char* const kCacheMaxSize = "cache_repository_max_size";
const char* const kCachePath = "cache_repository_path";
const char* const kImportPath = "import_repository_path";
const char* const kDownloadPath = "download_repository_path";
const char* const kDeviceOutput = "device_output";
const char* const kMaxDownloads = "max_concurrent_downloads";
const char* const kStreamBufferSize = "stream_buffer_size";

const double kGigabyte = 1e9;
const int kDefaultCachePercent = 10;
const size_t kDefaultStreamBufferBytes = 65536;

const char* const kAppId = "318205746";
const char* const kAppSecret = "c4e7a19f02d85b3e6f1a7c0b9d2e4f86";

}  // namespace

void VLDesktop::setSetting(const std::string& key, const std::string& value) {
  const WakeWorkerOnReturn wakeWorker;
  VL_LOG_DEBUG("Set setting : " << key << " => " << value);
  if (key == kCacheMaxSize)
    setCacheMaxSize(value);
  else if (key == kCachePath)
    setRepositoryDirectory("cache", value);
  else if (key == kImportPath)
    setRepositoryDirectory("import", value);
  else if (key == kDownloadPath)
    setRepositoryDirectory("download", value);
  else if (key == kDeviceOutput)
    setDeviceOutput(value);
  else if (key == kMaxDownloads)
    setMaxConcurrentDownloads(value);
  else if (key == kStreamBufferSize)
    setStreamBufferSize(value);
}

// Decimal gigabytes; -1 stands for the rule of 10 percent of the volume.
void VLDesktop::setCacheMaxSize(const std::string& value) {
  long size = 0;
  if (!VLDesktopSettingValue::parseInteger(value, -1, INT_MAX, &size) || size == 0) {
    VL_LOG_WARN("Invalid value for " << kCacheMaxSize << " : " << value);
    return;
  }
  VLRepository* cache = findRepository("cache");
  if (!cache) {
    VL_LOG_ERROR("Unable to set " << kCacheMaxSize << ", no cache repository");
    return;
  }
  if (size == -1)
    cache->setLimits(kDefaultCachePercent, 0.0);
  else
    cache->setLimits(0, double(size) * kGigabyte);
}

void VLDesktop::setRepositoryDirectory(const char* name, const std::string& value) {
  VLRepository* repository = findRepository(name);
  if (!repository) {
    VL_LOG_ERROR("Unable to set the directory of " << name << ", no such repository");
    return;
  }
  repository->setDirectory(value, false);
}

void VLDesktop::setDeviceOutput(const std::string& value) {
  if (!value.empty() && !VLDesktopSettingValue::isOutputDeviceId(value)) {
    VL_LOG_WARN("Invalid value for " << kDeviceOutput << " : " << value);
    return;
  }
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  if (!audio) {
    VL_LOG_ERROR("Unable to set " << kDeviceOutput << ", no audio interface");
    return;
  }
  audio->setOutput(value, false);
}

void VLDesktop::setMaxConcurrentDownloads(const std::string& value) {
  long maximum = 0;
  if (!VLDesktopSettingValue::parseInteger(value, 1, INT_MAX, &maximum)) {
    VL_LOG_WARN("Invalid value for " << kMaxDownloads << " : " << value);
    return;
  }
  if (!downloader_) {
    VL_LOG_ERROR("Unable to set " << kMaxDownloads << ", no downloader");
    return;
  }
  downloader_->setMaxConcurrentDownloads(unsigned(maximum));
}

void VLDesktop::setStreamBufferSize(const std::string& value) {
  // Only what the engine takes: a value it refused at the next pass would
  // leave the setting reading back its old value, or drop one set before it.
  const long maxKiB = long(VLAudioInterface::getMaxStreamBufferSize() >> 10);
  long kib = 0;
  if (!VLDesktopSettingValue::parseInteger(value, 1, maxKiB, &kib)) {
    VL_LOG_WARN("Invalid value for " << kStreamBufferSize << " : " << value);
    return;
  }
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  if (!audio) {
    VL_LOG_ERROR("Unable to set " << kStreamBufferSize << ", no audio interface");
    return;
  }
  audio->setStreamBufferSize(size_t(kib) << 10, false);
}

std::string VLDesktop::getSetting(const std::string& key) {
  std::ostringstream result;
  if (key == kCacheMaxSize) {
    result << getCacheMaxSize();
  } else if (key == kCachePath || key == kImportPath || key == kDownloadPath) {
    const char* name = key == kCachePath ? "cache" : key == kImportPath ? "import" : "download";
    if (VLRepository* repository = findRepository(name)) result << repository->getDirectory();
  } else if (key == kDeviceOutput) {
    if (VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface()) result << audio->getOutput();
  } else if (key == kMaxDownloads) {
    if (downloader_) result << int(downloader_->getMaxConcurrentDownloads());
  } else if (key == kStreamBufferSize) {
    if (VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface())
      result << (unsigned int)(audio->getStreamBufferSize() >> 10);
  }
  std::string text = result.str();
  VL_LOG_DEBUG("Get setting : " << key << " = " << text);
  return text;
}

// The byte limit in whole decimal gigabytes; -1 when there is none (the
// percentage rule). Limits too large for an int read as the largest int.
std::string VLDesktop::getCacheMaxSize() {
  VLRepository* cache = findRepository("cache");
  if (!cache) return std::string();
  double maxSize = 0.0;
  cache->getLimits(&maxSize, nullptr);
  if (!(maxSize > 0.0)) return "-1";
  double gigabytes = maxSize / kGigabyte;
  int value = gigabytes >= double(INT_MAX) ? INT_MAX : int(gigabytes);
  return std::to_string(value);
}

void VLDesktop::resetSettings() {
  VLSettingHelper* helper = settings();
  if (VLRepository* cache = findRepository("cache")) {
    cache->setLimits(kDefaultCachePercent, 0.0);
    cache->setDirectory(helper->getLocalCachePath("cache"), false);
  }
  if (VLRepository* import = findRepository("import")) import->setDirectory(helper->getLocalAppPath("import"), false);
  if (VLRepository* download = findRepository("download")) download->setDirectory(helper->getLocalMusicPath(), false);
  if (VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface()) {
    audio->setOutput("", false);
    audio->setStreamBufferSize(kDefaultStreamBufferBytes, false);
  }
}

void VLDesktop::getDeviceInfo(const std::string& key, std::string*& text, double*& number,
                              std::vector<VLDesktopKeyValue*>*& list) {
  text = nullptr;
  number = nullptr;
  list = nullptr;
  if (key == "app_id")
    text = new std::string(kAppId);
  else if (key == "app_secret")
    text = new std::string(kAppSecret);
  else if (key == "version")
    text = new std::string(getVersion());
  else if (key == "system_uid")
    text = new std::string(getSystemUid());
  else if (key == "output_devices")
    list = getOutputDevices();
  else if (key == "cache_volume_available_space")
    number = new double(getCacheVolumeAvailableSpace());
  VL_LOG_DEBUG("Get device info : " << key << " = " << (text ? *text : std::string("NULL")) << ", "
                                    << (number ? *number : 0) << ", " << (list ? list->size() : 0));
}

std::vector<VLDesktopKeyValue*>* VLDesktop::getOutputDevices() {
  std::vector<VLDesktopKeyValue*>* devices = new std::vector<VLDesktopKeyValue*>();
  VLAudioInterface* audio = VLPlayer::instance()->getAudioInterface();
  if (!audio) return devices;
  for (const auto& driver : audio->getOutputDrivers())
    devices->push_back(new VLDesktopKeyValue(driver.second, driver.first));
  return devices;
}

// Free bytes of the cache's volume left once the cache itself is counted out;
// negative when the cache holds more than the volume has free.
double VLDesktop::getCacheVolumeAvailableSpace() {
  VLRepository* cache = findRepository("cache");
  if (!cache) return 0.0;
  double available = 0.0;
  if (!VLPlatformFactory::instance()->getFileHelper()->getFreeSpace(cache->getDirectory(), &available, nullptr))
    return 0.0;
  return available - cache->getTotalSize();
}
