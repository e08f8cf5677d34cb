#include "VLRepositoryFile.h"

#include <algorithm>

#include "VLBlockBitmap.h"
#include "VLFileHelper.h"
#include "VLHttpRepositoryProvider.h"
#include "VLLogger.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryHandler.h"

namespace {

const size_t kBlockSize = 4096;
const size_t kAllOnes = SIZE_MAX;
// A read request older than this is dropped: the reader has given up or
// asked again since.
const double kReadRequestLifetime = 5.0;
// Retries after retryable failures without new bytes in between, per
// providing open (a download retries for as long as it is queued).
const int kMaxRetries = 16;
// Longest wait before a retry, in seconds: the delay doubles up to it.
const double kMaxRetryDelay = 300;
// Failures that never reached the server are retried quickly for this long
// (seconds, a listener's patience), first after half a second, then after at
// most two: a short network drop or a restarting server is found back while
// someone still waits for it.
const double kQuickRetryWindow = 20;
const double kFirstQuickRetryDelay = 0.5;
const double kLongestQuickRetryDelay = 2;
// Empty answers to a download are tried again this many times, after 4, 8,
// 16 and 32 seconds, before the download fails: a server that has nothing to
// send is seldom fixed within minutes, unlike a network that drops.
const int kMaxEmptyAnswerRetries = 4;
// Answers without a length in a row that confirm a download's end short of
// where an earlier one ended (see confirmsEnd).
const int kEndsAlikeShortOfFurthest = 3;
// An answer without a length grows its file ahead of its data by at least
// this much (and by an eighth of what came), so that the file is resized
// (and its room asked for) seldom.
const size_t kGrowthStep = size_t(1) << 20;
// Room that this program's own log and databases may take while an answer
// grows: other programs are told to have taken room only past it, and an
// answer is judged too large only where the volume offered it more.
const double kOwnWrites = 8e6;
// Period of the loaded-bytes recount while open.
const double kRefreshPeriod = 0.5;
// Seconds between the start of a block's write-back and the commit of its
// on-disk bit: long enough for the disk to have written it, so that the
// commit's flush seldom waits, and short enough that a crash loses little.
const double kCommitDelay = 1.0;

size_t blockStart(size_t offset) {
  return offset & ~(kBlockSize - 1);
}

// The read request that a short read records: the whole read from its first
// block, not only its missing part.
std::pair<size_t, size_t> readRequestOf(size_t offset, size_t length) {
  return std::make_pair(blockStart(offset), (offset & (kBlockSize - 1)) + length);
}

// Epoch seconds for the stored stamps, from the platform (tests may fake it).
time_t epochNow() {
  return static_cast<time_t>(VLPlatformFactory::instance()->getEpochTime());
}

}  // namespace

// ---- Construction ----

VLRepositoryFile::VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler)
    : repository_(repository),
      fileId_(fileId),
      handler_(handler),
      provider_(provider),
      content_(nullptr),
      bitmap_(nullptr) {
  init(repository->makeFileName(fileId));
  rowChanged();
  if (handler_) handler_->onFilesAdded(this);
}

VLRepositoryFile::VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler,
                                   std::string file_name, size_t size, size_t loaded, std::string etag,
                                   std::string metadata, std::string provider_data, int position, int custom,
                                   time_t last_validation, time_t last_open, unsigned int total_lock_count,
                                   time_t last_add, bool report)
    : repository_(repository),
      fileId_(fileId),
      handler_(handler),
      provider_(provider),
      content_(nullptr),
      bitmap_(nullptr) {
  init(std::move(file_name));
  size_ = size;
  loaded_ = loaded;
  etag_ = std::move(etag);
  metadata_ = shareText(std::move(metadata));
  providerData_ = shareText(std::move(provider_data));
  position_ = position;
  custom_ = custom;
  lastValidation_ = last_validation;
  lastOpen_ = last_open;
  totalLockCount_ = total_lock_count;
  lastAdd_ = last_add;
  if (report) announce();
}

void VLRepositoryFile::announce() {
  if (custom_ != 0) repository_->noteStateChanged(this, 0);
  if (handler_) handler_->onFilesAdded(this);
}

void VLRepositoryFile::init(std::string fileName) {
  fileName_ = std::move(fileName);
  openCount_ = 0;
  lockCount_ = 0;
  providing_ = false;
  retryCount_ = 0;
  emptyAnswers_ = 0;
  nextTry_ = 0;
  dataArrived_ = false;
  stagedStart_ = 0;
  stagedEnd_ = 0;
  present_.clear();
  written_.clear();
  bitsAtStart_ = 0;
  failingSince_ = 0;
  validatorRefused_ = false;
  unanswered_ = false;
  awaitingSince_ = 0;
  growing_ = false;
  endedAt_ = kAllOnes;
  unconfirmedEnds_ = 0;
  lastEndedAt_ = kAllOnes;
  endedAlike_ = 0;
  mostOffered_ = 0;
  roomAsBytesArrive_ = false;
  arrivedSinceRoomCheck_ = 0;
  failure_.clear();
  url_.clear();
  size_ = kAllOnes;
  loaded_ = 0;
  lastRefresh_ = 0;
  etag_.clear();
  metadata_.reset();
  providerData_.reset();
  position_ = -1;
  custom_ = 0;
  lastValidation_ = 0;
  removed_ = false;
  lastOpen_ = 0;
  totalLockCount_ = 0;
  lastAdd_ = epochNow();
  readRequests_.clear();
}

VLRepositoryFile::~VLRepositoryFile() {
  delete content_;
  delete bitmap_;
}

double VLRepositoryFile::now() const {
  return VLPlatformFactory::instance()->getTime();
}

double VLRepositoryFile::patienceNow() const {
  return provider_->getRunningTime();
}

// ---- Small operations ----

VLRepositoryFile::SharedText VLRepositoryFile::shareText(std::string text) {
  return text.empty() ? SharedText() : std::make_shared<const std::string>(std::move(text));
}

bool VLRepositoryFile::holds(const SharedText& shared, const std::string& text) {
  return shared ? *shared == text : text.empty();
}

void VLRepositoryFile::setMetadata(const std::string& metadata) {
  if (holds(metadata_, metadata)) return;
  rowChanged();
  metadata_ = shareText(metadata);
}

void VLRepositoryFile::setProviderData(const std::string& data) {
  if (holds(providerData_, data)) return;
  rowChanged();
  providerData_ = shareText(data);
}

void VLRepositoryFile::setPosition(int position) {
  if (position != position_) rowChanged();
  position_ = position;
}

void VLRepositoryFile::setCustom(int custom) {
  if (custom == custom_) return;
  int previous = custom_;
  custom_ = custom;
  rowChanged();
  repository_->noteStateChanged(this, previous);
  if (handler_) handler_->onDownloadStatesChanged(this);
}

void VLRepositoryFile::touchValidation() {
  lastValidation_ = epochNow();
  rowChanged();
}

bool VLRepositoryFile::remove() {
  if (!removed_) {
    removed_ = true;
    repository_->noteRemoved(this);
    if (handler_) handler_->onFilesRemoved(this);
  }
  return true;
}

// ---- Open and close ----

bool VLRepositoryFile::open(unsigned int options) {
  if (openCount_ == 0 && !mapFiles()) return false;
  if (++openCount_ == 1) repository_->noteOpened(this);
  if (options & OPEN_PROVIDE) {
    providing_ = true;
    retryCount_ = 0;
    emptyAnswers_ = 0;
    dataArrived_ = false;
    nextTry_ = 0;
    failingSince_ = 0;
    validatorRefused_ = false;
    unanswered_ = false;
    awaitingSince_ = 0;
    mostOffered_ = 0;
    failure_.clear();
  }
  if (options & OPEN_LOCK) {
    lastOpen_ = epochNow();
    ++totalLockCount_;
    ++lockCount_;
    rowChanged();
  }
  if ((options & OPEN_READD) && removed_) {
    removed_ = false;
    lastAdd_ = epochNow();
    rowChanged();
    if (handler_) handler_->onFilesAdded(this);
  }
  return true;
}

// The mapped files are made at the first open, not with the record: most of
// the records a repository loads are never opened in a session.
void VLRepositoryFile::makeMappedFiles() {
  VLPlatformFactory* factory = VLPlatformFactory::instance();
  content_ = factory->createMappedFile(repository_->getFilePath(fileName_));
  bitmap_ = factory->createMappedFile(repository_->getBitmapPath(fileName_));
}

bool VLRepositoryFile::isContentMapped() const {
  return content_ && content_->isOpen();
}

bool VLRepositoryFile::isBitmapMapped() const {
  return bitmap_ && bitmap_->isOpen();
}

bool VLRepositoryFile::mapFiles() {
  if (!content_) makeMappedFiles();
  if (content_->isOpen() || bitmap_->isOpen()) {
    VL_LOG_ERROR("Repository file is already open");
    return false;
  }
  if (!content_->open() && !openInRemadeDirectory()) {
    VL_LOG_ERROR("Unable to map repository file : " << content_->getPath());
    return false;
  }
  if (!bitmap_->open()) {
    VL_LOG_ERROR("Unable to map repository bitmap file : " << bitmap_->getPath());
    content_->close();
    return false;
  }
  if (!checkMappedLengths()) {
    content_->close();
    bitmap_->close();
    return false;
  }
  loadPresentBits();
  return true;
}

void VLRepositoryFile::loadPresentBits() {
  written_.clear();
  if (!isBitmapMapped() || bitmap_->getSize() == 0) {
    // A closed record keeps no memory of its blocks: a repository holds
    // many more closed records than open ones.
    std::vector<uint8_t>().swap(present_);
    std::vector<Written>().swap(written_);
    return;
  }
  const uint8_t* bits = bitmap_->getData();
  present_.resize(bitmap_->getSize());
  if (!bitmap_->guard([&] { std::copy(bits, bits + present_.size(), present_.begin()); })) {
    // Shortened under its mapping: nothing is known to be present.
    VL_LOG_ERROR("Repository bitmap file changed under its mapping : " << bitmap_->getPath());
    std::fill(present_.begin(), present_.end(), 0);
  }
}

// The repository's folder may have gone since the last file was made: the
// availability check makes it again (or reports it unwritable to the page),
// and the open is tried once more.
bool VLRepositoryFile::openInRemadeDirectory() {
  repository_->checkAvailability(true);
  return !repository_->isUnavailable() && content_->open();
}

// The index may record a size that the files on disk no longer have (removed
// or truncated behind our back, or a sync that was skipped). Reading or
// writing through such mappings would run past their ends, so the files are
// given their recorded lengths again and every block counts as missing.
// The bitmap is cleared first: when the content's resize then fails, no bit
// is left standing for bytes that the resize may have cut or zeroed, and the
// next open finds the lengths still wrong and tries again.
bool VLRepositoryFile::checkMappedLengths() {
  if (size_ == kAllOnes) return true;
  size_t bitmapSize = getBitmapSize(size_);
  if (content_->getSize() == size_ && bitmap_->getSize() == bitmapSize) return true;
  VL_LOG_WARN("Repository file does not have its recorded size, its content is fetched again : "
              << content_->getPath() << " (" << content_->getSize() << ", " << bitmap_->getSize() << " instead of "
              << size_ << ", " << bitmapSize << ")");
  if (!bitmap_->resize(bitmapSize, true)) {
    VL_LOG_ERROR("Unable to resize bitmap file : " << bitmap_->getPath());
    return false;
  }
  if (!content_->resize(size_, false)) {
    VL_LOG_ERROR("Unable to resize repository file : " << content_->getPath());
    return false;
  }
  forgetLoaded();
  return true;
}

void VLRepositoryFile::forgetLoaded() {
  repository_->noteContentReset(this);
  if (loaded_ != 0) {
    loaded_ = 0;
    rowChanged();
    if (handler_) handler_->onFileProgressesChanged(this);
  }
}

bool VLRepositoryFile::checkStoredFiles() {
  if (size_ == kAllOnes) return true;
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  const std::string contentPath = repository_->getFilePath(fileName_);
  if (files->getFileSize(contentPath) == size_ &&
      files->getFileSize(repository_->getBitmapPath(fileName_)) == getBitmapSize(size_))
    return true;
  VL_LOG_WARN("Repository file was replaced or cut by another program, its content is lost : " << contentPath);
  forgetLoaded();
  return false;
}

bool VLRepositoryFile::close(unsigned int options) {
  if (options & OPEN_LOCK) {
    if (lockCount_ == 0) {
      VL_LOG_ERROR("Lock count must be non-zero : " << lockCount_);
      return false;
    }
    --lockCount_;
  }
  if (openCount_ == 0) {
    VL_LOG_ERROR("Open count must be non-zero" << openCount_);
    return false;
  }
  --openCount_;
  if (openCount_ > 0) return true;

  if (lockCount_ != 0) {
    // A reader still holds the file: the close is refused and undone, so
    // that the reader's own close still finds its open.
    VL_LOG_ERROR("Lock count is not zero : " << lockCount_);
    ++openCount_;
    return false;
  }
  repository_->noteClosed(this);
  int state = VLHttpRepositoryProvider::TRANSFER_NONE;
  if (!provider_->getState(repository_, fileId_, false, &state)) return false;
  if (state != VLHttpRepositoryProvider::TRANSFER_NONE && !provider_->cancel(repository_, fileId_))
    VL_LOG_WARN("Unable to cancel file providing");
  providing_ = false;
  // What came of an answer without a length goes: such an answer always
  // comes whole from its start, so its bytes would only hold room (as much
  // as an answer that never ends took) until the next answer wrote them again.
  if (growing_ && !emptyFiles()) growing_ = false;
  // A stream's empty answer (a size of 0, a 204, no body before the close)
  // is its file for the play that got it, whose sound ended at once as an
  // empty file. Kept in the cache, it would end every later play the same
  // way without the server being asked again; forgotten, the next open
  // fetches it anew. An empty file stored for good (imported) stays.
  if (size_ == 0 && repository_->isCache()) emptyFiles();
  refreshLoaded();
  if (!isContentMapped() || !isBitmapMapped()) {
    VL_LOG_ERROR("Map file should be open");
    return false;
  }
  flushBitmap();
  content_->close();
  bitmap_->close();
  loadPresentBits();
  return true;
}

void VLRepositoryFile::flushBitmap() {
  if (!isBitmapMapped()) return;
  commitWritten(true);
  bitmap_->flush(0, bitmap_->getSize());
}

bool VLRepositoryFile::commitWritten(bool all) {
  const double current = now();
  bool result = true;
  auto due = [&](size_t i) { return all || current - written_[i].since >= kCommitDelay; };
  size_t next = 0;
  while (next < written_.size() && due(next)) {
    // Neighbouring ranges (one stream's drives) go to the disk in one flush.
    size_t offset = written_[next].offset;
    size_t length = written_[next].length;
    for (++next; next < written_.size() && written_[next].offset == offset + length && due(next); ++next)
      length += written_[next].length;
    if (!isContentMapped() || !isBitmapMapped() || !mappingsCover() || offset + length > size_) {
      VL_LOG_ERROR("Repository file changed under its written blocks : " << fileId_);
      written_.clear();
      return false;
    }
    if (!content_->flush(offset, length)) {
      // Readers keep the bytes, which are in memory; the file on disk
      // does not count them, so a later run fetches them again.
      VL_LOG_ERROR("Unable to write repository file blocks through : " << content_->getPath());
      result = false;
      continue;
    }
    if (!bitmap_->guard([&] { markBlocks(bitmap_->getData(), offset, length); })) {
      remapChangedFiles();
      return false;
    }
  }
  written_.erase(written_.begin(), written_.begin() + std::ptrdiff_t(next));
  return result;
}

// ---- Reads and writes ----

bool VLRepositoryFile::read(void* buffer, size_t offset, size_t length, size_t* done, bool* endOfFile) {
  return readWriteMem(buffer, offset, length, Read, done, endOfFile);
}

bool VLRepositoryFile::write(const void* buffer, size_t offset, size_t length, size_t* done) {
  return readWriteMem(const_cast<void*>(buffer), offset, length, Write, done, nullptr);
}

bool VLRepositoryFile::stage(const void* buffer, size_t offset, size_t length, size_t* done) {
  if (stagedEnd_ != stagedStart_ && offset != stagedEnd_ && !settle()) return false;
  return readWriteMem(const_cast<void*>(buffer), offset, length, Stage, done, nullptr);
}

bool VLRepositoryFile::settle() {
  const size_t start = stagedStart_;
  const size_t count = stagedEnd_ - stagedStart_;
  stagedStart_ = stagedEnd_ = 0;
  if (count == 0) return commitWritten(false);
  if (!isContentMapped() || !isBitmapMapped() || !mappingsCover() || size_ == kAllOnes || start + count > size_) {
    VL_LOG_ERROR("Repository file changed under its staged blocks : " << fileId_);
    return false;
  }
  // A refused start only leaves the whole write to the commit's flush.
  content_->startFlush(start, count);
  markBlocks(present_.data(), start, count);
  written_.push_back(Written{start, count, now()});
  noteBytesArrived(count);
  return commitWritten(isComplete());
}

// The repository makes room for a file larger than its limit as the file's
// bytes arrive (see setContent): it measures again after every step of them.
void VLRepositoryFile::noteBytesArrived(size_t count) {
  if (!roomAsBytesArrive_) return;
  arrivedSinceRoomCheck_ += count;
  if (arrivedSinceRoomCheck_ < kGrowthStep && !isComplete()) return;
  arrivedSinceRoomCheck_ = 0;
  repository_->checkSize(false);
}

size_t VLRepositoryFile::getHeldBytes() {
  if (size_ == kAllOnes) return 0;
  return isBitmapMapped() ? presentBytes() : loaded_;
}

bool VLRepositoryFile::mappingsCover() {
  size_t bitmapSize = getBitmapSize(size_);
  return content_->getSize() >= size_ && bitmap_->getSize() >= bitmapSize && present_.size() >= bitmapSize;
}

bool VLRepositoryFile::readWriteMem(void* buffer, size_t offset, size_t length, Access access, size_t* done,
                                    bool* endOfFile) {
  const bool write = access != Read;
  if (!isContentMapped() || !isBitmapMapped()) {
    VL_LOG_ERROR("Repository file must be open first");
    return false;
  }
  size_t count = 0;
  if (size_ == kAllOnes) {
    // Nothing is present while the size is unknown: the bitmap is empty.
    if (!write && length > 0) addSeek(readRequestOf(offset, length));
    if (done) *done = 0;
    return true;
  }
  length = offset >= size_ ? 0 : std::min(length, size_ - offset);
  if (length == 0) {
    if (done) *done = 0;
    return true;
  }
  if (write && (offset & (kBlockSize - 1)) != 0) {
    VL_LOG_ERROR("Repository file writes must start on a block boundary : " << offset);
    return false;
  }
  if (!mappingsCover()) {
    VL_LOG_ERROR("Repository file mappings do not cover its size : " << fileId_);
    return false;
  }
  bool atEnd = offset + length == size_;
  bool faulted = false;
  if (!copyMapped(buffer, offset, length, access, atEnd, &count, &faulted)) return false;
  if (faulted) {
    // Once mapped again every block counts missing: a read waits for them to
    // be fetched again, a write stores its blocks anew.
    if (!remapChangedFiles() || !copyMapped(buffer, offset, length, access, atEnd, &count, &faulted)) return false;
    if (faulted) {
      remapChangedFiles();
      return false;
    }
  }
  if (done) *done = count;
  if (endOfFile) *endOfFile = atEnd;
  return true;
}

bool VLRepositoryFile::copyMapped(void* buffer, size_t offset, size_t length, Access access, bool atEnd, size_t* count,
                                  bool* faulted) {
  *faulted = false;
  if (access == Read) {
    *faulted =
        !content_->guard([&] { *count = readBlocks(buffer, content_->getData(), presentBits(), offset, length); });
    if (!*faulted && *count < length) addSeek(readRequestOf(offset, length));
    return true;
  }
  // A file sized without its room (see setContent) takes it as its bytes
  // come; over room already taken this costs nothing.
  if (!content_->reserve(offset, length)) {
    VL_LOG_ERROR("No room for repository file blocks : " << content_->getPath());
    return false;
  }
  // The bytes reach the disk before their bits are set: after a crash, even
  // a power loss, a set bit never stands for bytes that are not there.
  *faulted = !content_->guard([&] { *count = copyBlocks(content_->getData(), buffer, offset, length, atEnd); });
  if (*faulted) return true;
  if (access == Stage) {
    // Marked by settle(), after one flush for the whole range.
    if (stagedEnd_ == stagedStart_) stagedStart_ = stagedEnd_ = offset;
    stagedEnd_ += *count;
    return true;
  }
  if (*count > 0 && !content_->flush(offset, *count)) {
    VL_LOG_ERROR("Unable to write repository file blocks through : " << content_->getPath());
    return false;
  }
  *faulted = !bitmap_->guard([&] { markBlocks(bitmap_->getData(), offset, *count); });
  if (*faulted) return true;
  markBlocks(present_.data(), offset, *count);
  noteBytesArrived(*count);
  return true;
}

// Another program shortened the content or bitmap file under its mapping (a
// tag editor or a sync tool in the music folder, a failing disk), and an
// access met a page past its new end. Nothing read from the files can be
// trusted any more: they are given their recorded lengths again with every
// block missing, so that the content is fetched again. False, with both
// files unmapped, when they cannot be mapped again: the reads and writes of
// the record then fail.
bool VLRepositoryFile::remapChangedFiles() {
  VL_LOG_ERROR("Repository file changed under its mapping, its content is fetched again : " << content_->getPath());
  content_->close();
  bitmap_->close();
  stagedStart_ = stagedEnd_ = 0;
  bool mapped = size_ == kAllOnes || (bitmap_->resize(getBitmapSize(size_), true) && content_->resize(size_, false));
  mapped = mapped && content_->open() && bitmap_->open();
  if (!mapped) {
    VL_LOG_ERROR("Unable to map repository file again : " << content_->getPath());
    content_->close();
    bitmap_->close();
  }
  loadPresentBits();
  repository_->noteContentReset(this);
  loaded_ = 0;
  rowChanged();
  if (handler_) handler_->onFileProgressesChanged(this);
  return mapped;
}

// ---- Size, validator and progress ----

bool VLRepositoryFile::setContent(size_t size, const std::string& etag) {
  bool sizeChanged = size != kAllOnes && size != size_;
  bool etagChanged = !etag.empty() && etag != etag_;
  if (!sizeChanged && !etagChanged) return true;
  if (lockCount_ != 0) {
    VL_LOG_ERROR("Repository file is locked, size and/or etag cannot be changed : " << fileId_.entityId() << "-"
                                                                                    << fileId_.getFormat()->getId());
    validatorRefused_ = true;
    return false;
  }
  // A closed record's files are resized on the disk, unmapped.
  if (!content_) makeMappedFiles();
  bool asBytesArrive = false;
  if (sizeChanged) {
    if (!repository_->makeRoomFor(this, size, &asBytesArrive)) return false;
    if (!content_->resize(size, false, !asBytesArrive)) {
      VL_LOG_ERROR("Unable to resize repository file : " << content_->getPath());
      remapAfterFailedResize();
      return false;
    }
    if (!bitmap_->resize(getBitmapSize(size), true)) {
      VL_LOG_ERROR("Unable to resize bitmap file : " << bitmap_->getPath());
      remapAfterFailedResize();
      return false;
    }
  } else if (!bitmap_->zeroFill()) {
    VL_LOG_ERROR("Unable to clear bitmap file bytes : " << bitmap_->getPath());
    return false;
  }
  // Blocks still waiting for their on-disk bits are of the old content.
  loadPresentBits();
  storeReset(size, etag);
  roomAsBytesArrive_ = asBytesArrive;
  return true;
}

void VLRepositoryFile::storeReset(size_t size, const std::string& etag) {
  growing_ = false;
  endedAt_ = kAllOnes;
  unconfirmedEnds_ = 0;
  lastEndedAt_ = kAllOnes;
  endedAlike_ = 0;
  roomAsBytesArrive_ = false;
  arrivedSinceRoomCheck_ = 0;
  size_ = size;
  etag_ = etag;
  loaded_ = 0;
  rowChanged();
  repository_->noteContentReset(this);
  repository_->checkSize(true);
  // The row goes to the index now: after a crash the blocks fetched from
  // here on are found again instead of being fetched anew.
  repository_->saveFiles();
  if (handler_) handler_->onFileProgressesChanged(this);
}

// A resize whose open failed leaves its file closed; an open record maps it
// again at the length it has, so that its reads, writes and last close keep
// working (reads past a shortened content are refused, not faulted).
void VLRepositoryFile::remapAfterFailedResize() {
  if (openCount_ == 0) return;
  if (!content_->isOpen() && !content_->open()) VL_LOG_ERROR("Unable to map repository file : " << content_->getPath());
  if (!bitmap_->isOpen() && !bitmap_->open())
    VL_LOG_ERROR("Unable to map repository bitmap file : " << bitmap_->getPath());
  loadPresentBits();
}

bool VLRepositoryFile::discardContent() {
  if (lockCount_ != 0) {
    VL_LOG_WARN("Repository file is locked, its content cannot be discarded : " << fileId_);
    return false;
  }
  bool openedHere = openCount_ == 0;
  if (openedHere && !open(0)) return false;
  bool emptied = emptyFiles();
  if (openedHere) close(0);
  return emptied;
}

bool VLRepositoryFile::beginsAsPage() {
  const size_t probe = 512;
  if (size_ == kAllOnes || size_ == 0 || !isContentMapped()) return false;
  size_t length = std::min(size_, probe);
  size_t run = 0;
  if (!getInterval(0, length, true, &run) || run < length) return false;
  unsigned char bytes[probe];
  const unsigned char* content = content_->getData();
  if (!content_->guard([&] { std::copy(content, content + length, bytes); })) return false;
  // Audio files begin with binary headers and frames; a page is text to its
  // first bytes (tabs, line ends and printable characters, UTF-8 included),
  // whose first character after a byte-order mark and white space is '<'.
  size_t first = length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  while (first < length && (bytes[first] == ' ' || bytes[first] == '\t' || bytes[first] == '\n' ||
                            bytes[first] == '\r' || bytes[first] == '\f'))
    ++first;
  if (first == length || bytes[first] != '<') return false;
  for (size_t i = first; i < length; ++i) {
    unsigned char c = bytes[i];
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F) return false;
  }
  return true;
}

bool VLRepositoryFile::isComplete() {
  size_t present = 0;
  return size_ != kAllOnes && !growing_ && getInterval(0, kAllOnes, true, &present) && present >= size_;
}

// ---- Answers without a length ----

bool VLRepositoryFile::beginGrowing(const std::string& etag) {
  if (growing_) return true;
  // The same file (same validator) keeps the blocks it has; anything else
  // starts empty, as a new size would.
  const bool same = size_ != kAllOnes && !etag.empty() && etag == etag_;
  if (!same) {
    if (lockCount_ != 0) {
      VL_LOG_ERROR("Repository file is locked, an answer without a size cannot replace it : " << fileId_);
      validatorRefused_ = true;
      return false;
    }
    if (!isContentMapped() || !isBitmapMapped()) {
      VL_LOG_ERROR("Repository file must be open first");
      return false;
    }
    if (!content_->resize(0, false) || !bitmap_->resize(0, true)) {
      VL_LOG_ERROR("Unable to empty repository file : " << content_->getPath());
      remapAfterFailedResize();
      return false;
    }
    loadPresentBits();
    storeReset(0, etag);
  }
  growing_ = true;
  return true;
}

bool VLRepositoryFile::growFor(size_t end, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  if (!growing_) return false;
  if (end <= size_) return true;
  // Only whole blocks are written while the end is unknown: the bytes of a
  // last partial block wait for more, or for the end (finishGrowing).
  const size_t needed = blockStart(end);
  size_t wanted = blockStart(end + std::max(kGrowthStep, end / 8) + kBlockSize - 1);
  while (wanted > size_) {
    bool bound = false;
    if (repository_->makeRoomFor(this, wanted, nullptr, &bound)) {
      if (!resizeKeepingBlocks(wanted)) return false;
      size_ = wanted;
      rowChanged();
      return true;
    }
    if (wanted <= needed) {
      if (tooLarge) *tooLarge = bound;
      return false;
    }
    // A step that passes a bound, or the room the volume has, is cut short:
    // the file may grow up to either.
    wanted = needed + blockStart((wanted - needed) / 2);
  }
  return true;
}

bool VLRepositoryFile::noteOfferedRoom(double offered) {
  mostOffered_ = std::max(mostOffered_, offered);
  return mostOffered_ - offered > kOwnWrites;
}

bool VLRepositoryFile::wasOfferedRoomPast(double kept) const {
  return mostOffered_ - kept > kOwnWrites;
}

bool VLRepositoryFile::finishGrowing(size_t size, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  if (!growing_) return false;
  if (custom_ != 0 && !confirmsEnd(size)) {
    VL_LOG_INFO("Download without a length ended at "
                << size << " bytes, its end is confirmed by a later answer : " << fileId_);
    endedAt_ = endedAt_ == kAllOnes ? size : std::max(endedAt_, size);
    ++unconfirmedEnds_;
    return true;
  }
  // The end is known: the file takes its exact size, with no step ahead.
  if (size > size_ && !repository_->makeRoomFor(this, size, nullptr, tooLarge)) return false;
  if (size != size_ && !resizeKeepingBlocks(size)) return false;
  growing_ = false;
  size_ = size;
  rowChanged();
  repository_->checkSize(true);
  repository_->saveFiles();
  if (handler_) handler_->onFileProgressesChanged(this);
  return true;
}

// A download is kept for good, and a server that stops mid-answer closes its
// connection as cleanly as one that sent everything: the end is taken once an
// answer ends where an earlier one of this run ended, and none ended further
// (an answer cut at the same byte as an earlier cut one is still cut when a
// whole one came between). Short of the furthest end, it is taken once
// kEndsAlikeShortOfFurthest answers in a row ended there: the file was
// replaced on the server by a shorter one, which would otherwise be fetched
// for as long as it is queued; a network drop does not cut so many answers at
// one byte.
bool VLRepositoryFile::confirmsEnd(size_t size) {
  endedAlike_ = size == lastEndedAt_ ? endedAlike_ + 1 : 1;
  lastEndedAt_ = size;
  return size == endedAt_ || endedAlike_ >= kEndsAlikeShortOfFurthest;
}

// Empties both files, leaving the size unknown. Open files only (the last
// close calls it before it unmaps them).
bool VLRepositoryFile::emptyFiles() {
  if (!content_->resize(0, false) || !bitmap_->resize(0, true)) {
    VL_LOG_ERROR("Unable to empty repository file : " << content_->getPath());
    remapAfterFailedResize();
    return false;
  }
  loadPresentBits();
  storeReset(kAllOnes, std::string());
  return true;
}

// Resizes both files to `size` bytes keeping the blocks present, also those
// whose on-disk bits still wait; a shorter size drops the blocks past it.
bool VLRepositoryFile::resizeKeepingBlocks(size_t size) {
  if (!isContentMapped() || !isBitmapMapped()) {
    VL_LOG_ERROR("Repository file must be open first");
    return false;
  }
  settle();
  commitWritten(true);
  const size_t bitmapSize = getBitmapSize(size);
  std::vector<uint8_t> present(present_);
  present.resize(bitmapSize, 0);
  if (!content_->resize(size, false) || !bitmap_->resize(bitmapSize, false)) {
    VL_LOG_ERROR("Unable to resize repository file : " << content_->getPath());
    remapAfterFailedResize();
    return false;
  }
  // A partial last block, old or new, counts as missing: its bytes are
  // written again whole once the file's end is known. So do the bits past
  // the last block.
  const size_t kept = std::min(size, size_ == kAllOnes ? 0 : size_) / kBlockSize;
  for (uint8_t* bits : {present.data(), bitmap_->getData()}) {
    for (size_t bit = kept; bits && bit < bitmapSize * 8; ++bit) bits[bit >> 3] &= uint8_t(~(1u << (bit & 7)));
  }
  present_.swap(present);
  return true;
}

size_t VLRepositoryFile::bitCount() {
  return countBits(presentBits(), present_.size());
}

// Every set bit stands for a whole block, except that the file's last block
// may be shorter.
size_t VLRepositoryFile::presentBytes() {
  size_t present = bitCount() * kBlockSize;
  if (size_ == kAllOnes) return present;
  size_t tail = size_ % kBlockSize;
  size_t lastBlock = size_ / kBlockSize;
  if (tail != 0 && getBitRunLength(presentBits(), lastBlock, 1, true) == 1) present -= kBlockSize - tail;
  return std::min(size_, present);
}

bool VLRepositoryFile::refreshLoaded() {
  size_t previous = loaded_;
  if (!isBitmapMapped()) {
    VL_LOG_ERROR("Bitmap file should be open");
    return false;
  }
  loaded_ = presentBytes();
  if (loaded_ != previous) rowChanged();
  if (loaded_ != previous && handler_) {
    handler_->onFileProgressesChanged(this);
    if (size_ != kAllOnes && !growing_ && loaded_ == size_) handler_->onFileStatesChanged(this);
  }
  return true;
}

int VLRepositoryFile::getFlags() {
  int flags = 0;
  if (size_ != kAllOnes && !growing_) {
    if (openCount_ == 0) {
      if (size_ == loaded_) flags |= FLAG_COMPLETE;
    } else {
      size_t run = 0;
      if (!getInterval(0, kAllOnes, true, &run))
        VL_LOG_WARN("Unable to get interval from repository file : " << fileId_.entityId() << "-"
                                                                     << fileId_.getFormat()->getId());
      else if (size_ <= run)
        flags |= FLAG_COMPLETE;
    }
  }
  if (size_ != 0) flags |= FLAG_NOT_EMPTY;
  if (removed_) flags |= FLAG_REMOVED;
  if (openCount_ != 0) flags |= FLAG_OPEN;
  if (lockCount_ != 0) flags |= FLAG_LOCKED;
  if (providing_) flags |= FLAG_PROVIDING;
  return flags;
}

// ---- Moving and cleaning ----

bool VLRepositoryFile::copyToOtherVolume(const std::string& oldContentPath, const std::string& newContentPath,
                                         const std::string& oldBitmapPath, const std::string& newBitmapPath) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  if (!files->copyFile(oldContentPath, newContentPath)) {
    VL_LOG_WARN("Unable to copy repository file : " << oldContentPath << " => " << newContentPath);
    return false;
  }
  if (!files->copyFile(oldBitmapPath, newBitmapPath)) {
    VL_LOG_WARN("Unable to copy repository bitmap file : " << oldBitmapPath << " => " << newBitmapPath);
    files->removeFile(newContentPath);
    return false;
  }
  // The bitmap went last, so no set bit ever covers bytes not yet copied.
  files->removeFile(oldBitmapPath);
  files->removeFile(oldContentPath);
  return true;
}

void VLRepositoryFile::move(const std::string& oldDirectory, bool sameVolume) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  std::string oldContentPath = oldDirectory + files->getSeparator() + fileName_;
  std::string oldBitmapPath = oldContentPath + ".part";
  bool contentWasOpen = isContentMapped();
  bool bitmapWasOpen = isBitmapMapped();
  // The files go as they are on disk: every block present is committed first.
  if (contentWasOpen && bitmapWasOpen) commitWritten(true);
  delete content_;
  delete bitmap_;
  makeMappedFiles();
  std::string newContentPath = content_->getPath();
  std::string newBitmapPath = bitmap_->getPath();

  // A record whose files hold nothing yet (never sized, or empty) has
  // nothing to carry over: it simply lives in the new directory from now on.
  bool nothingStored = files->getFileSize(oldContentPath) == 0 && files->getFileSize(oldBitmapPath) == 0;
  bool moved = false;
  if (sameVolume && !nothingStored) {
    if (!files->renameFile(oldBitmapPath, newBitmapPath)) {
      VL_LOG_WARN("Unable to move repository bitmap file : " << oldBitmapPath << " => " << newBitmapPath);
    } else if (!files->renameFile(oldContentPath, newContentPath)) {
      VL_LOG_WARN("Unable to move repository file : " << oldContentPath << " => " << newContentPath);
    } else {
      moved = true;
    }
  } else if (!sameVolume && !nothingStored && custom_ != 0) {
    // A file the user downloaded is carried to the other volume: dropping
    // it would lose the download itself, not only bytes to fetch again.
    // The repository has copied it already; one that became a download
    // after the copying began is copied now.
    bool copied = files->getFileSize(newContentPath) == files->getFileSize(oldContentPath) &&
                  files->getFileSize(newBitmapPath) == files->getFileSize(oldBitmapPath);
    if (copied) {
      files->removeFile(oldBitmapPath);
      files->removeFile(oldContentPath);
      moved = true;
    } else {
      moved = copyToOtherVolume(oldContentPath, newContentPath, oldBitmapPath, newBitmapPath);
    }
  }
  if (!moved) {
    files->removeFile(oldContentPath);
    files->removeFile(oldBitmapPath);
    files->removeFile(newContentPath);
    files->removeFile(newBitmapPath);
    if (!nothingStored) {
      remove();
      loaded_ = 0;
      rowChanged();
      repository_->noteContentReset(this);
    }
    if (openCount_ > 0 && size_ != kAllOnes) {
      content_->resize(size_, false);
      bitmap_->resize(getBitmapSize(size_), true);
    }
  }
  reopen(content_, contentWasOpen, "Unable to re-open repository file : ");
  reopen(bitmap_, bitmapWasOpen, "Unable to re-open repository bitmap file : ");
  loadPresentBits();
}

void VLRepositoryFile::reopen(VLMappedFile* file, bool wasOpen, const char* failure) {
  if (wasOpen && !file->open()) VL_LOG_ERROR(failure << file->getPath());
}

void VLRepositoryFile::clean() {
  if (openCount_ != 0) {
    VL_LOG_WARN("Repository file is still open (" << openCount_ << ")");
    while (lockCount_ != 0) {
      if (!close(OPEN_LOCK)) {
        VL_LOG_WARN("Unable to close and unlock repository file");
        break;
      }
    }
    lockCount_ = 0;
    while (openCount_ != 0) {
      if (!close(0)) {
        VL_LOG_WARN("Unable to close repository file");
        break;
      }
    }
    openCount_ = 0;
    repository_->noteClosed(this);
    // A close that failed may have left the files mapped.
    content_->close();
    bitmap_->close();
    loadPresentBits();
    providing_ = false;
  }
  if (removed_) repository_->discardFiles(fileName_, size_ == kAllOnes ? 0 : uint64_t(size_));
}

// ---- Read requests and intervals ----

void VLRepositoryFile::addSeek(const std::pair<size_t, size_t>& request) {
  readRequests_[request] = now();
}

void VLRepositoryFile::withdrawRead(size_t offset, size_t length) {
  if (size_ != kAllOnes) length = offset >= size_ ? 0 : std::min(length, size_ - offset);
  readRequests_.erase(readRequestOf(offset, length));
}

bool VLRepositoryFile::isSeekWaiting(size_t* offset) {
  double current = now();
  auto candidate = readRequests_.end();
  for (auto it = readRequests_.begin(); it != readRequests_.end();) {
    if (it->second + kReadRequestLifetime < current) {
      it = readRequests_.erase(it);
      continue;
    }
    // Keys are ordered by offset, then length: the first kept entry is
    // the one with the smallest offset and, among those, the smallest length.
    if (candidate == readRequests_.end()) candidate = it;
    ++it;
  }
  if (candidate == readRequests_.end()) return false;
  size_t candidateOffset = candidate->first.first;
  size_t candidateLength = candidate->first.second;
  VL_LOG_TRACE("Repository file seek found : " << candidateOffset << "-" << candidateLength);
  bool loaded = false;
  if (isRangeLoaded(candidateOffset, candidateLength, &loaded) && loaded) {
    VL_LOG_TRACE("Repository file part has been already downloaded, clean seeks");
    readRequests_.clear();
    return false;
  }
  if (offset) *offset = candidateOffset;
  return true;
}

bool VLRepositoryFile::getInterval(size_t offset, size_t length, bool loaded, size_t* run) {
  if (!isBitmapMapped()) {
    VL_LOG_ERROR("Bitmap file must be open first");
    return false;
  }
  if (size_ == kAllOnes) {
    // Nothing is known while the size is not.
    if (run) *run = 0;
    return true;
  }
  if (bitmap_->getSize() == 0 && size_ != 0) {
    VL_LOG_ERROR("File size seems to be non-zero but bitmap file is empty : size = "
                 << size_ << ", file size = " << content_->getSize() << ", bmp size = " << bitmap_->getSize());
    return false;
  }
  length = offset >= size_ ? 0 : std::min(length, size_ - offset);
  // Blocks spanned by the range, counted from the block that holds offset.
  size_t firstBlock = offset / kBlockSize;
  size_t blockCount = length == 0 ? 0 : (offset + length - 1) / kBlockSize - firstBlock + 1;
  size_t blocks = getBitRunLength(presentBits(), firstBlock, blockCount, loaded);
  size_t result = std::min(blocks * kBlockSize, size_);
  if (run) *run = result;
  return true;
}

bool VLRepositoryFile::getIntervals(bool loaded, std::list<unsigned long>& out) {
  if (size_ == kAllOnes) return false;
  if (!isBitmapMapped()) {
    VL_LOG_ERROR("Bitmap file must be open first");
    return false;
  }
  std::list<size_t> runs;
  getBitRuns(presentBits(), 0, (size_ + kBlockSize - 1) / kBlockSize, loaded, runs);
  bool first = true;
  for (size_t block : runs) {
    size_t value = first ? block * kBlockSize : (block + 1) * kBlockSize - 1;
    if (value >= size_) {
      if (first) break;
      value = size_ - 1;
    }
    out.push_back(value);
    first = !first;
  }
  return true;
}

bool VLRepositoryFile::isRangeLoaded(size_t offset, size_t length, bool* loaded) {
  if (size_ == kAllOnes) {
    if (loaded) *loaded = false;
    return true;
  }
  bool openedHere = false;
  if (openCount_ == 0) {
    if (!open(0)) return false;
    openedHere = true;
  }
  length = offset >= size_ ? 0 : std::min(length, size_ - offset);
  size_t run = 0;
  bool result = getInterval(offset, length, true, &run);
  // The run counts from the start of the block that holds offset.
  bool present = run >= (offset & (kBlockSize - 1)) + length || length == 0;
  if (openedHere) close(0);
  if (result && loaded) *loaded = present;
  return result;
}

// ---- Validation and readiness ----

bool VLRepositoryFile::needsValidation() {
  if (repository_->isOffline()) return false;
  return epochNow() > lastValidation_ + static_cast<time_t>(repository_->getValidationPeriod());
}

bool VLRepositoryFile::isReady(bool* ready) {
  bool result = !needsValidation() && ((getFlags() & FLAG_COMPLETE) != 0 || dataArrived_);
  if (ready) *ready = result;
  return true;
}

// ---- Periodic work ----

bool VLRepositoryFile::update() {
  if (providing_ && !driveTransfer()) return false;
  refreshWhileOpen();
  return true;
}

bool VLRepositoryFile::driveTransfer() {
  typedef VLHttpRepositoryProvider Provider;
  int polled = Provider::TRANSFER_NONE;
  if (!provider_->getState(repository_, fileId_, true, &polled)) {
    VL_LOG_ERROR("Unable to get provided file state : " << fileId_);
    return false;
  }
  uint32_t state = static_cast<uint32_t>(polled);
  if (state > Provider::TRANSFER_HEADERS) dataArrived_ = true;
  noteAwaitedAnswer(state);
  const bool ended = state == Provider::TRANSFER_FINISHED || state == Provider::TRANSFER_FAILED_RETRYABLE;
  // Bytes that flow again after failures (a network back after a drop) end
  // the failing spell while their transfer still runs: a listener's patience
  // counts from them, not from the drop.
  const bool flowingAgain = state == Provider::TRANSFER_RECEIVING && failingSince_ != 0;
  if ((ended || flowingAgain) && broughtNewBytes()) {
    // A server that cuts every answer short still moves the file on, and
    // the blocks a cut answer stored are data arrived: the player may
    // start on them.
    retryCount_ = 0;
    emptyAnswers_ = 0;
    failingSince_ = 0;
    validatorRefused_ = false;
    unanswered_ = false;
    failure_.clear();
    dataArrived_ = true;
  }
  bool unanswered = false;
  bool empty = false;
  if (state == Provider::TRANSFER_FAILED_RETRYABLE || state == Provider::TRANSFER_FAILED)
    failure_ = provider_->getLastFailure(repository_, fileId_, &unanswered, &empty);

  size_t offset = 0;
  bool startWanted = false;
  bool seekWanted = false;
  switch (state) {
    case Provider::TRANSFER_FINISHED:
      if (discardPageDownload() || finishedWithoutProgress())
        scheduleRetry(false, false);
      else
        startWanted = true;
      break;
    case Provider::TRANSFER_FAILED_RETRYABLE: scheduleRetry(unanswered, empty); break;
    case Provider::TRANSFER_FAILED: providing_ = false; break;
    case Provider::TRANSFER_NONE: {
      // A waiting reader starts a transfer at once, whatever the delay,
      // unless the server's answers were refused for their changed
      // validator, or the server was not reached: asking again at once
      // would only fail again, and would burn every retry in a moment.
      bool readerWaits = isSeekWaiting(&offset);
      startWanted = (readerWaits && !validatorRefused_ && !unanswered_) || nextTry_ == 0 || now() > nextTry_;
      break;
    }
    case Provider::TRANSFER_RECEIVING: seekWanted = isSeekWaiting(&offset); break;
    default: break;
  }

  if (repository_->isUnavailable() || repository_->isOfflineOrFull() || repository_->isMoving()) {
    if (state >= Provider::TRANSFER_CREATED && state <= Provider::TRANSFER_ALREADY_LOADED) cancelTransfer();
    return true;
  }
  if (startWanted) return startTransfer(offset);
  if (seekWanted) seekTransfer(offset);
  return true;
}

// A transfer that ended well but stored nothing (a server that answers short
// ranges, or a range that was present already) would otherwise be started
// again on every pass for ever; it counts as a retryable failure instead. So
// does a download's answer without a length whose end was not confirmed,
// unless it is the first of its run (the next answer, asked for at once,
// confirms that end): answers that keep ending elsewhere wait on the retry
// schedule instead of being fetched whole again and again.
bool VLRepositoryFile::finishedWithoutProgress() {
  if (growing_ && custom_ != 0) return unconfirmedEnds_ > 1;
  if (size_ == kAllOnes || !isBitmapMapped() || isComplete()) return false;
  return bitCount() <= bitsAtStart_;
}

// A download that completed as a web page (a captive portal's page sent as
// audio) is not done: its content is discarded and fetched again after the
// retry delay. True when it was discarded.
bool VLRepositoryFile::discardPageDownload() {
  if (custom_ == 0 || !beginsAsPage()) return false;
  VL_LOG_WARN("Downloaded file is a web page, not audio, it is fetched again : " << fileId_);
  if (!discardContent()) return false;
  failure_ = "not audio";
  return true;
}

// A download's answer without a length is progress only once its end is
// confirmed: each answer comes whole from its start, so one that went further
// than the last stored nothing that is kept.
bool VLRepositoryFile::broughtNewBytes() {
  if (growing_ && custom_ != 0) return false;
  return size_ != kAllOnes && isBitmapMapped() && bitCount() > bitsAtStart_;
}

// The patience of whoever waits counts from the moment the transfer began to
// wait for its first byte: a server that swallows the request (dropped
// packets, a silent tunnel) holds a transfer until libcurl's own time-outs,
// long after a refused connection would have been given up.
void VLRepositoryFile::noteAwaitedAnswer(uint32_t state) {
  typedef VLHttpRepositoryProvider Provider;
  bool awaiting =
      state == Provider::TRANSFER_STARTED || state == Provider::TRANSFER_SEEKING || state == Provider::TRANSFER_HEADERS;
  if (!awaiting)
    awaitingSince_ = state == Provider::TRANSFER_FAILED_RETRYABLE ? awaitingSince_ : 0;
  else if (awaitingSince_ == 0)
    awaitingSince_ = patienceNow();
}

void VLRepositoryFile::scheduleRetry(bool unanswered, bool empty) {
  double current = now();
  double waited = patienceNow();
  if (failingSince_ == 0) failingSince_ = awaitingSince_ != 0 ? std::min(awaitingSince_, waited) : waited;
  awaitingSince_ = 0;
  unanswered_ = unanswered;
  if (empty) {
    scheduleEmptyAnswerRetry(current);
    return;
  }
  if (unanswered && waited - failingSince_ < kQuickRetryWindow) {
    double delay = std::min(std::max(kFirstQuickRetryDelay, (waited - failingSince_) / 2), kLongestQuickRetryDelay);
    nextTry_ = current + delay;
    reportRetry();
    return;
  }
  if (retryCount_ < kMaxRetries || custom_ != 0) {
    retryCount_ = std::min(retryCount_ + 1, kMaxRetries);
    nextTry_ = current + std::min(double(2 << retryCount_), kMaxRetryDelay);
    reportRetry();
    return;
  }
  VL_LOG_WARN("Repository file providing has failed too many times : " << fileId_);
  providing_ = false;
}

// A download answered empty is tried again a few times, then it fails for
// good, with the empty answer as its reason.
void VLRepositoryFile::scheduleEmptyAnswerRetry(double current) {
  if (emptyAnswers_ >= kMaxEmptyAnswerRetries) {
    VL_LOG_WARN("Repository file keeps being answered empty, providing gives up : " << fileId_);
    emptyAnswers_ = 0;
    providing_ = false;
    return;
  }
  ++emptyAnswers_;
  nextTry_ = current + double(2 << emptyAnswers_);
  reportRetry();
}

// The page sees that the file waits, how long and why: a download in its
// download state, a stream in its progress. onFileStatesChanged means the
// file is complete, never a retry.
void VLRepositoryFile::reportRetry() {
  if (handler_ && custom_ != 0)
    handler_->onDownloadStatesChanged(this);
  else if (handler_)
    handler_->onFileProgressesChanged(this);
}

void VLRepositoryFile::cancelTransfer() {
  awaitingSince_ = 0;
  if (!provider_->cancel(repository_, fileId_)) VL_LOG_WARN("Unable to cancel file providing");
}

bool VLRepositoryFile::startTransfer(size_t offset) {
  nextTry_ = 0;
  if (size_ == kAllOnes) return startTransferAt(offset, kAllOnes, START_UNKNOWN_SIZE);
  // An answer without a length comes whole from its start, and so is asked
  // for again (a download's, to confirm where it ends).
  if (growing_) return startTransferAt(0, kAllOnes, START_UNKNOWN_SIZE);

  size_t present = 0;
  if (!getInterval(0, kAllOnes, true, &present)) return false;
  if (present >= size_) {
    if (!needsValidation()) {
      providing_ = false;
      return true;
    }
    return startTransferAt(0, kAllOnes, START_VALIDATION);
  }
  offset = offset == 0 ? present : firstMissingFrom(offset);
  size_t missing = 0;
  if (!getInterval(offset, kAllOnes, false, &missing)) return false;
  size_t length = std::min(missing, size_ - offset);
  return startTransferAt(offset, length, START_MISSING);
}

// The first missing byte at or after a block-aligned offset. A read that
// began in a present block and ran into a missing one records its request at
// the present block; fetching from there would ask for an empty range.
size_t VLRepositoryFile::firstMissingFrom(size_t offset) {
  offset = blockStart(offset);
  size_t run = 0;
  if (!getInterval(offset, kAllOnes, true, &run)) return offset;
  return std::min(offset + run, size_);
}

bool VLRepositoryFile::startTransferAt(size_t offset, size_t length, StartKind kind) {
  // A provider that cannot start now (a transfer still being let go, or no
  // URL while the page is not ready) is asked again at the next pass.
  if (!provider_->canStart(url_, repository_, fileId_)) return true;
  VL_LOG_TRACE("Start repository file providing at offset : " << offset << "-" << length);
  bitsAtStart_ = isBitmapMapped() ? bitCount() : 0;
  if (provider_->start(url_, repository_, fileId_, offset, length)) return true;
  switch (kind) {
    case START_UNKNOWN_SIZE: VL_LOG_ERROR("Unable to start file providing : " << url_); break;
    case START_VALIDATION: VL_LOG_ERROR("Unable to start file providing for validation : " << url_); break;
    case START_MISSING:
      VL_LOG_ERROR("Unable to start file providing : " << url_ << " (" << offset << "-" << length << ")");
      break;
  }
  return false;
}

void VLRepositoryFile::seekTransfer(size_t offset) {
  if (size_ != kAllOnes) offset = firstMissingFrom(offset);
  if (!provider_->seek(repository_, fileId_, offset, kAllOnes)) VL_LOG_WARN("Unable to seek providing file");
}

void VLRepositoryFile::refreshWhileOpen() {
  if (openCount_ == 0) return;
  double current = now();
  if (current - lastRefresh_ > kRefreshPeriod) {
    lastRefresh_ = current;
    // Blocks of a transfer that stalled or ended still reach the disk's bitmap.
    commitWritten(isComplete());
    refreshLoaded();
  }
}

double VLRepositoryFile::getFailingFor() {
  double since = failingSince_;
  if (awaitingSince_ != 0 && (since == 0 || awaitingSince_ < since)) since = awaitingSince_;
  return since == 0 ? 0 : std::max(0.0, patienceNow() - since);
}

double VLRepositoryFile::getRetryDelay() {
  return nextTry_ == 0 ? 0 : std::max(0.0, nextTry_ - now());
}
