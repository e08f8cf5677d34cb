#include "VLHttpRepositoryProvider.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>

#include <curl/curl.h>

#include "VLAskFileUrlDelegate.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLWakeEvent.h"

static_assert(sizeof(VLHttpRepositoryProvider::repo_file::errorText) >= CURL_ERROR_SIZE,
              "libcurl writes its error detail into the transfer's buffer");

namespace {

const size_t kAllOnes = SIZE_MAX;
// libcurl's receive buffer: the largest chunk it hands to a write callback.
// Larger than its default 16 KiB, so that a fast transfer costs fewer calls.
const long kReceiveBufferSize = 256 * 1024;
// The transfer's own buffer holds a partial block (at most a block less one
// byte) plus the largest chunk.
const size_t kLargestChunk = size_t(kReceiveBufferSize) - 1;
// After the wait, transfers are driven for at most this long (seconds) while
// their sockets have data, so that one pass moves what has arrived.
const double kDriveBudgetSeconds = 0.02;
// The most that one pass adds to the running time (seconds): a pass waits at
// most 100 ms for the network, so a gap between two passes ten times as long
// is mostly time in which the process did not run.
const double kLongestPassSeconds = 1.0;
// A seek that lands this close after the transfer's position is left to the
// running transfer.
const size_t kSeekWindow = 10000;
// Transfers slower than this (bytes per second) are logged as slow.
const double kSlowSpeed = 130000;
const long kConnectTimeoutSeconds = 30;
// Redirects followed per request; a longer chain is a loop or a fault.
const long kMaxRedirects = 5;

// Why an answer was refused when the file could not take it (no room, a
// failing disk, a file changed under the transfer), for the page.
const char* const kNotStored = "could not be stored";
// Why an answer without content was refused for a download.
const char* const kEmptyAnswer = "empty answer";
// Why an answer without a length was refused when it outgrew the room it may
// take (see VLRepository::makeRoomFor): most likely it never ends.
const char* const kTooLarge = "answer without a length, too large to store";

// The key of a file in the kept failures: its printed id.
std::string fileIdKey(const VLFileId& fileId) {
  return fileId.getEntityId() + "_" + std::to_string(fileId.getFormat()->getId());
}

// "HTTP 503" when the server answered with an error, libcurl's text otherwise.
// libcurl refuses a header line longer than it holds (100 kB) as "Out of
// memory", which this machine is not: while the headers come, it is told as
// what it is.
std::string describeFailure(uint32_t httpCode, CURLcode result, bool inHeaders) {
  if (httpCode >= 300) return "HTTP " + std::to_string(httpCode);
  if (result == CURLE_OUT_OF_MEMORY && inHeaders) return "answer with a header too long";
  return curl_easy_strerror(result);
}

bool isFinalState(uint32_t state) {
  return state == VLHttpRepositoryProvider::TRANSFER_FINISHED || state == VLHttpRepositoryProvider::TRANSFER_FAILED ||
         state == VLHttpRepositoryProvider::TRANSFER_FAILED_RETRYABLE;
}

// Header names are case-insensitive; the value is what follows the colon.
const char* headerValue(const char* line, const char* name) {
  size_t length = strlen(name);
  if (strncasecmp(line, name, length) != 0) return nullptr;
  return line + length;
}

// A header's value without the spaces around it and the line's end.
std::string trimmedValue(const char* value) {
  std::string text(value);
  size_t first = text.find_first_not_of(" \t");
  size_t last = text.find_last_not_of(" \t\r\n");
  return first == std::string::npos || last < first ? std::string() : text.substr(first, last - first + 1);
}

std::string lowercase(std::string text) {
  for (char& c : text) c = char(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether a multi-interface call succeeded; logs the failure when not.
bool multiSucceeded(CURLMcode code) {
  if (code == CURLM_OK) return true;
  VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_multi_strerror(code));
  return false;
}

}  // namespace

// ---- Transfer record ----

VLHttpRepositoryProvider::repo_file::repo_file(VLRepository* repository, const VLFileId& fileId, CURL* curl,
                                               size_t offset, size_t length)
    : repository(repository),
      fileId(fileId),
      curl(curl),
      offset(0),
      length(0),
      contentOffset(kAllOnes),
      contentLength(kAllOnes),
      currentOffset(kAllOnes),
      httpCode(0),
      hasContentRange(false),
      hasLocation(false),
      sizeFromClose(false),
      outgrewRoom(false),
      askedAt(0),
      askAgain(false),
      fellBack(false),
      errorText{},
      checkPlanned(false),
      checkOffset(kAllOnes),
      checkLength(0),
      checkedBytes(0),
      changedOnServer(false),
      totalSize(kAllOnes),
      buffer(nullptr),
      bufferSize(repository->getBlockSize() + kLargestChunk),
      bufferUsed(0),
      state(TRANSFER_CREATED) {
  buffer = new (std::nothrow) unsigned char[bufferSize];
  reset(offset, length);
}

VLHttpRepositoryProvider::repo_file::~repo_file() {
  delete[] buffer;
}

void VLHttpRepositoryProvider::repo_file::reset(size_t newOffset, size_t newLength) {
  offset = newOffset;
  length = newLength;
  checkPlanned = false;
  checkOffset = kAllOnes;
  checkLength = 0;
  resetResponse();
}

void VLHttpRepositoryProvider::repo_file::resetResponse() {
  contentOffset = kAllOnes;
  contentLength = kAllOnes;
  currentOffset = kAllOnes;
  totalSize = kAllOnes;
  httpCode = 0;
  hasContentRange = false;
  hasLocation = false;
  contentType.clear();
  contentEncoding.clear();
  refusal.clear();
  errorText[0] = '\0';
  sizeFromClose = false;
  outgrewRoom = false;
  checkedBytes = 0;
  changedOnServer = false;
  etag.clear();
  lastModified.clear();
  bufferUsed = 0;
}

// ---- Provider life ----

VLHttpRepositoryProvider::VLHttpRepositoryProvider()
    : multi_(nullptr),
      running_(0),
      mutex_(VLPlatformFactory::instance()->createMutex()),
      delegate_(nullptr),
      stallTimeout_(30),
      urlAnswerTimeout_(30),
      runningTime_(VLPlatformFactory::instance()->getTime()),
      lastPassAt_(runningTime_),
      globalInit_(false),
      wake_(nullptr) {}

VLHttpRepositoryProvider::~VLHttpRepositoryProvider() {
  for (repo_file* file : files_) dispose(file);
  files_.clear();
  if (multi_) curl_multi_cleanup(multi_);
  if (globalInit_) curl_global_cleanup();
  delete mutex_;
}

void VLHttpRepositoryProvider::init(VLAskFileUrlDelegate* delegate) {
  delegate_ = delegate;
  CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
  if (code != CURLE_OK) {
    VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_easy_strerror(code));
    return;
  }
  globalInit_ = true;
  multi_ = curl_multi_init();
  if (!multi_) VL_LOG_ERROR("CURL failed : curl_multi_init returned NULL");
}

bool VLHttpRepositoryProvider::clean() {
  VLMutexLocker lock(mutex_);
  pendingUrls_.clear();
  while (!files_.empty()) {
    repo_file* file = files_.front();
    if (!clean(file)) return false;
    delete file;
    files_.pop_front();
  }
  if (multi_) {
    CURLMcode code = curl_multi_cleanup(multi_);
    if (code != CURLM_OK) {
      VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_multi_strerror(code));
      return false;
    }
    multi_ = nullptr;
    running_ = 0;
  }
  if (globalInit_) {
    curl_global_cleanup();
    globalInit_ = false;
  }
  return true;
}

// ---- Helpers ----

std::string VLHttpRepositoryProvider::cleanUrl(const std::string& url) {
  std::string cleaned = url.substr(0, url.find('#'));
  return cleaned.size() <= 8 ? std::string() : cleaned;
}

std::string VLHttpRepositoryProvider::encodeUrl(const std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(url.size());
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || strchr("\"<>\\^`{|}", c)) {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    } else {
      encoded += char(c);
    }
  }
  return encoded;
}

std::string VLHttpRepositoryProvider::getHttpRange(size_t offset, size_t length) {
  if (offset == 0 && length == kAllOnes) return std::string();
  VL_LOG_TRACE("HTTP range : " << offset << " / " << offset + length - 1);
  std::string range = std::to_string(offset) + "-";
  if (length != kAllOnes) range += std::to_string(offset + length - 1);
  return range;
}

VLHttpRepositoryProvider::repo_file* VLHttpRepositoryProvider::find(VLRepository* repository, const VLFileId& fileId) {
  for (repo_file* file : files_) {
    if (file->repository == repository && file->fileId == fileId) return file;
  }
  return nullptr;
}

void VLHttpRepositoryProvider::unlink(repo_file* file) {
  VLMutexLocker lock(mutex_);
  files_.remove(file);
}

bool VLHttpRepositoryProvider::clean(repo_file* file) {
  if (!multi_ || !file->curl) return true;
  CURLMcode code = curl_multi_remove_handle(multi_, file->curl);
  if (code != CURLM_OK && code != CURLM_BAD_EASY_HANDLE) {
    VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_multi_strerror(code));
    return false;
  }
  curl_easy_cleanup(file->curl);
  file->curl = nullptr;
  return true;
}

// Frees a record that is in no list, whatever libcurl says: its easy handle
// is always cleaned up (libcurl takes a handle out of its multi handle itself
// when it is cleaned up there).
void VLHttpRepositoryProvider::dispose(repo_file* file) {
  if (file->curl) {
    if (multi_) {
      CURLMcode code = curl_multi_remove_handle(multi_, file->curl);
      if (code != CURLM_OK && code != CURLM_BAD_EASY_HANDLE)
        VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_multi_strerror(code));
    }
    curl_easy_cleanup(file->curl);
    file->curl = nullptr;
  }
  delete file;
}

// ---- Transfer operations ----

bool VLHttpRepositoryProvider::canStart(const std::string& url, VLRepository* repository, const VLFileId& fileId) {
  if (cleanUrl(url).empty() && delegate_ && !delegate_->isJSReady()) return false;
  VLMutexLocker lock(mutex_);
  repo_file* file = find(repository, fileId);
  if (!file) return true;
  if (file->state != TRANSFER_CANCELED) VL_LOG_ERROR("Provider file is in an inconsistent state : " << file->state);
  return false;
}

bool VLHttpRepositoryProvider::setOptions(repo_file* file) {
  CURL* curl = file->curl;
  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_WRITEFUNCTION, &VLHttpRepositoryProvider::write);
  set(CURLOPT_WRITEDATA, static_cast<void*>(file));
  set(CURLOPT_HEADERFUNCTION, &VLHttpRepositoryProvider::header);
  set(CURLOPT_HEADERDATA, static_cast<void*>(file));
  set(CURLOPT_PRIVATE, static_cast<void*>(file));
  set(CURLOPT_ERRORBUFFER, file->errorText);
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  // The header parsing reads HTTP/1.1 responses; over HTTP/2 the status
  // line differs and every response would be refused.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // A proxy's CONNECT answer would otherwise end the headers before the
  // server's own, with no size.
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // The worker thread is not the only thread of the process.
  set(CURLOPT_NOSIGNAL, 1L);
  // A server that stops sending would hold the file for ever: such a
  // transfer ends as a retryable failure.
  set(CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, stallTimeout_);
  // Audio servers move files: redirects are followed, a few at most and
  // only to http and https.
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // The bytes are stored as the file: an encoded body would not be it.
  set(CURLOPT_ACCEPT_ENCODING, "identity");
  if (code != CURLE_OK) {
    VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_easy_strerror(code));
    return false;
  }
  return true;
}

bool VLHttpRepositoryProvider::start(const std::string& url, VLRepository* repository, const VLFileId& fileId,
                                     size_t offset, size_t length) {
  if (!repository) {
    VL_LOG_ERROR("Provided file has no repository : " << fileId);
    return false;
  }
  repo_file* file = nullptr;
  bool ok = false;
  mutex_->lock();
  if (find(repository, fileId)) {
    VL_LOG_WARN("Provided file already exists : " << fileId << " in " << repository->getName());
    mutex_->unlock();
    return false;
  }
  CURL* curl = curl_easy_init();
  if (!curl) {
    VL_LOG_ERROR("CURL failed : curl_easy_init returned NULL");
    mutex_->unlock();
    return false;
  }
  file = new repo_file(repository, fileId, curl, offset, length);
  if (!file->buffer)
    VL_LOG_ERROR("Unable to allocate the transfer buffer : " << file->bufferSize);
  else if (setOptions(file)) {
    std::string cleaned = cleanUrl(url);
    if (!cleaned.empty()) {
      ok = startDownload(file, cleaned);
    } else if (!delegate_) {
      VL_LOG_ERROR("File URL delegate is missing");
    } else if (!delegate_->isJSReady()) {
      VL_LOG_ERROR("File URL delegate is not ready");
    } else {
      delegate_->askFileUrl(repository, fileId);
      file->askedAt = VLPlatformFactory::instance()->getTime();
      file->state = TRANSFER_AWAITING_URL;
      ok = true;
    }
  }
  if (ok) files_.push_back(file);
  mutex_->unlock();
  if (!ok) dispose(file);
  return ok;
}

bool VLHttpRepositoryProvider::startDownload(repo_file* file, const std::string& url) {
  if (!multi_) return false;
  planStoredBlockCheck(file);
  CURLcode code = CURLE_OK;
  std::string range = getHttpRange(file->offset, file->length);
  code = curl_easy_setopt(file->curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
  if (code == CURLE_OK && !url.empty()) {
    // libcurl refuses a raw space or a byte outside ASCII as a malformed
    // URL; browsers send them encoded, and so does this.
    file->pageUrl = encodeUrl(url);
    file->fellBack = false;
    code = curl_easy_setopt(file->curl, CURLOPT_URL, file->pageUrl.c_str());
    // The platform's proxy decision is the only one: an empty proxy keeps
    // libcurl from taking one from the environment on its own.
    std::string proxy;
    if (code == CURLE_OK && !VLPlatformFactory::instance()->getProxyConfig(url, proxy)) proxy.clear();
    if (code == CURLE_OK) code = curl_easy_setopt(file->curl, CURLOPT_PROXY, proxy.c_str());
    // libcurl matches the hosts the system reaches without the proxy.
    std::string noProxy = VLPlatformFactory::instance()->getNoProxyHosts();
    if (code == CURLE_OK)
      code = curl_easy_setopt(file->curl, CURLOPT_NOPROXY, noProxy.empty() ? nullptr : noProxy.c_str());
  }
  if (code != CURLE_OK) {
    VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_easy_strerror(code));
    return false;
  }
  CURLMcode added = curl_multi_add_handle(multi_, file->curl);
  if (added != CURLM_OK) {
    VL_LOG_ERROR("CURL failed : (" << added << ") " << curl_multi_strerror(added));
    return false;
  }
  ++running_;
  file->state = TRANSFER_STARTED;
  return true;
}

bool VLHttpRepositoryProvider::seek(VLRepository* repository, const VLFileId& fileId, size_t offset, size_t length) {
  VLMutexLocker lock(mutex_);
  repo_file* file = find(repository, fileId);
  if (!file) return false;
  uint32_t state = file->state;
  if (state <= TRANSFER_CREATED || state == TRANSFER_FINISHED) {
    VL_LOG_ERROR("Repository file state is : " << state);
    return false;
  }
  if (state == TRANSFER_AWAITING_URL || state == TRANSFER_SEEKING) {
    file->reset(offset, length);
    return true;
  }
  // An answer without length comes whole from its start, and asking again
  // from elsewhere would only bring the same answer: the reader waits for
  // the bytes to reach it.
  if (file->sizeFromClose) {
    VL_LOG_TRACE("Repository file arrives whole, skip seek");
    return true;
  }
  size_t windowStart = file->offset;
  size_t windowLength = file->length;
  size_t position = file->offset;
  if (file->contentOffset != kAllOnes && file->contentLength != kAllOnes && file->currentOffset != kAllOnes) {
    windowStart = file->contentOffset;
    windowLength = file->contentLength;
    position = file->currentOffset;
  }
  bool endsInside = windowLength == kAllOnes || length == kAllOnes || offset + length <= windowStart + windowLength;
  if (offset >= windowStart && endsInside && offset <= position + kSeekWindow) {
    VL_LOG_TRACE("Repository file will be available very soon, skip seek");
    return true;
  }
  file->state = TRANSFER_SEEKING;
  file->reset(offset, length);
  return true;
}

bool VLHttpRepositoryProvider::getState(VLRepository* repository, const VLFileId& fileId, bool release, int* state) {
  if (state) *state = TRANSFER_NONE;
  VLMutexLocker lock(mutex_);
  repo_file* file = find(repository, fileId);
  if (!file) return true;
  uint32_t current = file->state;
  if (state) *state = static_cast<int>(current);
  if (release && isFinalState(current)) {
    if (!clean(file)) return false;
    std::pair<VLRepository*, std::string> key(repository, fileIdKey(fileId));
    if (current == TRANSFER_FINISHED)
      failures_.erase(key);
    else
      failures_[key] = KeptFailure{file->failure, file->httpCode == 0, file->failure == kEmptyAnswer};
    files_.remove(file);
    delete file;
  }
  return true;
}

std::string VLHttpRepositoryProvider::getLastFailure(VLRepository* repository, const VLFileId& fileId, bool* unanswered,
                                                     bool* empty) {
  VLMutexLocker lock(mutex_);
  auto found = failures_.find(std::make_pair(repository, fileIdKey(fileId)));
  if (unanswered) *unanswered = found != failures_.end() && found->second.unanswered;
  if (empty) *empty = found != failures_.end() && found->second.empty;
  return found == failures_.end() ? std::string() : found->second.text;
}

bool VLHttpRepositoryProvider::cancel(VLRepository* repository, const VLFileId& fileId) {
  VLMutexLocker lock(mutex_);
  repo_file* file = find(repository, fileId);
  if (!file) return false;
  // A transfer waiting for its URL is in no multi handle, and one in a
  // final state will never be reported done again: neither would ever be
  // freed by update, so both go at once.
  if (file->state == TRANSFER_AWAITING_URL || isFinalState(file->state)) {
    if (!clean(file)) return false;
    files_.remove(file);
    delete file;
    return true;
  }
  file->state = TRANSFER_CANCELED;
  return true;
}

// ---- The page's answer with a file's URL ----

bool VLHttpRepositoryProvider::setFileUrl(VLRepository* repository, const VLFileId& fileId, const std::string& url,
                                          int newFormatId, const std::string& data) {
  VL_LOG_TRACE("File URL received : " << repository << ", " << &fileId);
  if (!repository) {
    VL_LOG_ERROR("Provided file not found : " << fileId << " in an unknown repository");
    return false;
  }
  VLMutexLocker lock(mutex_);
  repo_file* file = find(repository, fileId);
  if (!file) {
    VL_LOG_ERROR("Provided file not found : " << fileId << " in " << repository->getName());
    return false;
  }
  if (file->state != TRANSFER_AWAITING_URL) {
    VL_LOG_ERROR("Provided file state mismatch : " << file->state);
    return false;
  }
  pendingUrls_.push_back(PendingFileUrl{repository, fileId, url, newFormatId, data});
  if (VLWakeEvent* wake = wake_.load()) wake->signal();
  return true;
}

void VLHttpRepositoryProvider::applyFileUrls() {
  std::list<PendingFileUrl> answers;
  {
    VLMutexLocker lock(mutex_);
    answers.swap(pendingUrls_);
  }
  for (const PendingFileUrl& answer : answers) applyFileUrl(answer);
}

// A question the page never answers (it reloaded, or dropped it) would hold
// its file, and a download slot with it, for ever.
void VLHttpRepositoryProvider::askAgainForUrls() {
  if (!delegate_) return;
  VLMutexLocker lock(mutex_);
  double now = -1;
  bool ready = delegate_->isJSReady();
  for (repo_file* file : files_) {
    if (file->state != TRANSFER_AWAITING_URL) continue;
    if (!ready) {
      file->askAgain = true;
      continue;
    }
    if (now < 0) now = VLPlatformFactory::instance()->getTime();
    if (!file->askAgain && now - file->askedAt <= urlAnswerTimeout_) continue;
    VL_LOG_INFO("File URL was not answered, asking again : " << file->fileId << " in " << file->repository->getName());
    delegate_->askFileUrl(file->repository, file->fileId);
    file->askedAt = now;
    file->askAgain = false;
  }
}

void VLHttpRepositoryProvider::applyFileUrl(const PendingFileUrl& answer) {
  VLMutexLocker lock(mutex_);
  repo_file* file = find(answer.repository, answer.fileId);
  if (!file) {
    VL_LOG_ERROR("Provided file not found : " << answer.fileId << " in " << answer.repository->getName());
    return;
  }
  if (file->state != TRANSFER_AWAITING_URL) {
    VL_LOG_ERROR("Provided file state mismatch : " << file->state);
    return;
  }
  VLRepositoryFile* repositoryFile = answer.repository->getFile(answer.fileId, true);
  if (!answer.url.empty() && uint32_t(answer.newFormatId) != answer.fileId.getFormat()->getId()) {
    // The page has the file in another format only: the asked one is
    // recorded as empty, and nothing is downloaded.
    if (repositoryFile->setContent(0, std::string())) {
      repositoryFile->touchValidation();
      file->state = TRANSFER_FINISHED;
    } else {
      VL_LOG_ERROR("Unable to set repository file properties : " << answer.fileId.entityId() << "-"
                                                                 << answer.fileId.getFormat()->getId());
      file->state = TRANSFER_FAILED;
    }
    return;
  }
  repositoryFile->setProviderData(answer.data);
  if (answer.url.empty()) {
    file->state = TRANSFER_FAILED;
    return;
  }
  // A download that cannot be started would otherwise wait for a URL that
  // has already come.
  if (!startDownload(file, cleanUrl(answer.url))) file->state = TRANSFER_FAILED_RETRYABLE;
}

// ---- Answers without validators ----

// An answer without ETag or Last-Modified says nothing of whether the file
// changed on the server since its stored blocks came, and a resumed answer
// of another file of the same size would be joined to them. So a range that
// resumes a file stored without a validator starts one block earlier, at a
// stored block (or, when that one is missing, ends one block later, at the
// stored block that follows), and the answer must bring that block back as
// stored (matchesStoredBlock). Block-aligned ranges of a sized file only.
void VLHttpRepositoryProvider::planStoredBlockCheck(repo_file* file) {
  if (file->checkPlanned) return;
  file->checkPlanned = true;
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, false);
  const size_t blockSize = file->repository->getBlockSize();
  if (!repositoryFile || !repositoryFile->getEtag().empty() || file->offset % blockSize != 0) return;
  const size_t size = repositoryFile->getSize();
  if (size == kAllOnes) return;
  bool loaded = false;
  if (file->offset >= blockSize && repositoryFile->isRangeLoaded(file->offset - blockSize, blockSize, &loaded) &&
      loaded) {
    file->offset -= blockSize;
    if (file->length != kAllOnes) file->length += blockSize;
    file->checkOffset = file->offset;
    file->checkLength = blockSize;
    return;
  }
  if (file->length == kAllOnes) return;
  const size_t after = file->offset + file->length;
  if (after % blockSize != 0 || after >= size) return;
  const size_t length = std::min(blockSize, size - after);
  if (repositoryFile->isRangeLoaded(after, length, &loaded) && loaded) {
    file->length += length;
    file->checkOffset = after;
    file->checkLength = length;
  }
}

// Compares what a body chunk brings of the check block with the stored
// bytes, before the chunk is stored. False when they differ: the file has
// changed on the server. A check block that is no longer stored (the
// answer's size or validator reset the file) has nothing to be joined to.
bool VLHttpRepositoryProvider::matchesStoredBlock(repo_file* file, VLRepositoryFile* repositoryFile, const char* data,
                                                  size_t n) {
  if (file->checkOffset == kAllOnes || file->checkedBytes >= file->checkLength) return true;
  const size_t start = file->currentOffset + file->bufferUsed;
  const size_t from = std::max(start, file->checkOffset + file->checkedBytes);
  const size_t to = std::min(start + n, file->checkOffset + file->checkLength);
  if (from >= to) {
    // The answer is past the block without having brought it.
    if (start >= file->checkOffset + file->checkLength) file->checkedBytes = file->checkLength;
    return true;
  }
  std::string stored(to - from, '\0');
  size_t done = 0;
  bool loaded = false;
  if (!repositoryFile->isRangeLoaded(from, to - from, &loaded) || !loaded ||
      !repositoryFile->read(&stored[0], from, to - from, &done, nullptr) || done != to - from) {
    file->checkedBytes = file->checkLength;
    return true;
  }
  if (memcmp(stored.data(), data + (from - start), to - from) != 0) {
    VL_LOG_WARN("HTTP response without validators differs from the stored file, which changed on the server : "
                << file->fileId << " at " << from);
    file->changedOnServer = true;
    return false;
  }
  file->checkedBytes = to - file->checkOffset;
  return true;
}

// The stored blocks are of another file than the server's now: they go, and
// the next transfer fetches the file whole. A file that plays cannot lose
// what it plays: its transfer fails for good instead.
void VLHttpRepositoryProvider::forgetChangedContent(repo_file* file) {
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, false);
  if (repositoryFile && repositoryFile->discardContent()) {
    file->refusal = "changed on the server";
    file->state = TRANSFER_FAILED_RETRYABLE;
  } else {
    file->refusal = "changed on the server while it plays";
    file->state = TRANSFER_FAILED;
  }
  file->failure = file->refusal;
}

// Past a bound an answer without a length fails for good; a volume that other
// programs filled, or a failing disk, fails it as a write would fail an answer
// with a length: it is tried again, and goes on once the room is back.
void VLHttpRepositoryProvider::noteRoomRefused(repo_file* file, bool tooLarge) {
  file->refusal = tooLarge ? kTooLarge : kNotStored;
  file->outgrewRoom = tooLarge;
}

// An answer without a length that outgrew the room it may take is taken for
// one that never ends: it fails for good (another would only do the same),
// and its bytes give their room back, at once unless a reader holds the file
// (then at its last close).
void VLHttpRepositoryProvider::forgetOutgrownAnswer(repo_file* file) {
  VL_LOG_WARN("HTTP response without content size is too large, it is refused : " << file->fileId);
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, false);
  if (repositoryFile && !(repositoryFile->getFlags() & VLRepositoryFile::FLAG_LOCKED)) repositoryFile->discardContent();
  file->state = TRANSFER_FAILED;
}

// ---- Response headers ----

void VLHttpRepositoryProvider::parseHeaderLine(repo_file* file, const std::string& text) {
  // Scanned values are bounded by the scratch buffer; negative numbers
  // match nothing, so such a line is taken without effect.
  char value[1024];
  long first = 0;
  long last = 0;
  long total = 0;
  const char* line = text.c_str();
  const char* rest = nullptr;

  if (strncmp(line, "HTTP/", 5) == 0 && sscanf(line, "HTTP/%1023s %ld", value, &first) == 2 && first >= 0) {
    file->httpCode = static_cast<uint32_t>(first);
  } else if ((rest = headerValue(line, "ETag:")) && sscanf(rest, " \"%1023s", value) == 1) {
    file->etag = value;
  } else if ((rest = headerValue(line, "Last-Modified:")) && sscanf(rest, " %1023[^\n]", value) == 1) {
    file->lastModified = value;
  } else if ((rest = headerValue(line, "Content-Length:")) && sscanf(rest, " %ld", &first) == 1 && first >= 0) {
    VL_LOG_TRACE("HTTP content length received : " << text);
    if (file->totalSize == kAllOnes) file->totalSize = size_t(first);
    if (file->contentOffset == kAllOnes) file->contentOffset = 0;
    file->contentLength = size_t(first);
  } else if ((rest = headerValue(line, "Content-Type:"))) {
    file->contentType = trimmedValue(rest);
  } else if ((rest = headerValue(line, "Content-Encoding:"))) {
    file->contentEncoding = trimmedValue(rest);
  } else if (headerValue(line, "Location:")) {
    file->hasLocation = true;
  } else if ((rest = headerValue(line, "Content-Range:")) &&
             sscanf(rest, " bytes %ld-%ld/%ld", &first, &last, &total) == 3 && first >= 0 && first <= last &&
             last < total) {
    VL_LOG_TRACE("HTTP content range received : " << text);
    file->contentOffset = size_t(first);
    file->totalSize = size_t(total);
    file->hasContentRange = true;
  }
}

// The end of an interim answer (1xx) or of a redirect that libcurl follows:
// the real response's headers come next, so nothing of these is kept.
bool VLHttpRepositoryProvider::endInterimOrRedirect(repo_file* file) {
  uint32_t code = file->httpCode;
  bool interim = code >= 100 && code <= 199;
  bool redirect = (code == 301 || code == 302 || code == 303 || code == 307 || code == 308) && file->hasLocation;
  if (!interim && !redirect) return false;
  VL_LOG_TRACE("HTTP " << (interim ? "interim response" : "redirect") << " skipped : " << code);
  file->resetResponse();
  return true;
}

// A text page sent as a success (a captive portal's sign-in page, a server's
// error page) or an encoded body is not the file's bytes: stored, it would
// become the track. Refused as a retryable failure, since the network that
// sent it may be fixed soon. text/plain is the type web servers give files
// whose type they do not know, audio files included, so it is let through:
// a page stored under it is caught when the engine or a download refuses it.
bool VLHttpRepositoryProvider::refuseNonAudio(repo_file* file) {
  std::string type = lowercase(file->contentType);
  bool text = type.compare(0, 5, "text/") == 0 && type.compare(0, 10, "text/plain") != 0;
  std::string encoding = lowercase(file->contentEncoding);
  if (!text && (encoding.empty() || encoding == "identity")) return false;
  file->refusal = text ? "not audio (" + file->contentType + ")" : "encoded (" + file->contentEncoding + ")";
  VL_LOG_WARN("HTTP response is not the file's bytes, it is refused : " << file->refusal << ", " << file->fileId);
  return true;
}

// A whole answer without length headers ends when the connection closes: its
// body is stored as it comes into a file that grows ahead of it, and is
// sized when it ends.
bool VLHttpRepositoryProvider::beginGrowing(repo_file* file) {
  VL_LOG_DEBUG("HTTP response has no content size, the file grows with its body : " << file->fileId);
  file->sizeFromClose = true;
  file->contentOffset = 0;
  file->currentOffset = 0;
  if (file->etag.empty()) file->etag = file->lastModified;
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, true);
  if (!repositoryFile->beginGrowing(file->etag)) {
    bool held = (repositoryFile->getFlags() & VLRepositoryFile::FLAG_LOCKED) != 0;
    file->refusal = held ? "changed on the server while it plays" : kNotStored;
    return false;
  }
  repositoryFile->touchValidation();
  return true;
}

// An empty answer (a 204, or a size of 0). To a stream it is the file: stored
// with 0 bytes, it ends its sound at once as an empty file, which the page
// tells apart from other failures. A download is not done with 0 bytes, which
// would never play and never be fetched again: refused as a retryable
// failure, which its repository file tries again a few times. True when the
// answer is taken as the empty file.
bool VLHttpRepositoryProvider::takesEmptyAnswer(repo_file* file) {
  if (file->repository->getFile(file->fileId, true)->getCustom() == 0) return true;
  file->refusal = kEmptyAnswer;
  VL_LOG_WARN("HTTP response to a download is empty, it is refused : " << file->httpCode << ", " << file->fileId);
  return false;
}

// A 416: the range asked for lies past the end, so the file has changed on
// the server. The transfer moves to the whole file, whose answer sizes and
// validates the file again; a whole-file request that gets a 416 fails.
bool VLHttpRepositoryProvider::revalidateUnsatisfiable(repo_file* file) {
  if (file->offset == 0 && file->length == kAllOnes) {
    VL_LOG_ERROR("HTTP response has error code (416) for the whole file : " << file->fileId);
    return false;
  }
  VL_LOG_WARN("HTTP range is not satisfiable, the file is fetched again from its start : " << file->fileId << " ("
                                                                                           << file->offset << "-)");
  file->reset(0, kAllOnes);
  file->state = TRANSFER_SEEKING;
  return false;
}

// The end of the headers: checks the response, sizes the file and fixes
// where the body goes. False refuses the response.
bool VLHttpRepositoryProvider::endHeaders(repo_file* file) {
  if (file->httpCode == 416) return revalidateUnsatisfiable(file);
  if (file->httpCode == 204) {
    // No content: an empty answer, whatever its headers say.
    file->totalSize = 0;
    file->contentOffset = 0;
  }
  if (file->httpCode - 200 > 99) {
    char* url = nullptr;
    curl_easy_getinfo(file->curl, CURLINFO_EFFECTIVE_URL, &url);
    VL_LOG_ERROR("HTTP response has error code (" << file->httpCode << ") : " << (url ? url : ""));
    // An error status is told as such ("HTTP 503"); an answer without a
    // usable status line has no status of its own to tell.
    if (file->httpCode < 300) file->refusal = "answer without a status";
    return false;
  }
  if (refuseNonAudio(file)) return false;
  // An answer that the file takes: a later refusal of the address a
  // redirect led to may fall back to the page's address again.
  file->fellBack = false;
  // A whole answer without length headers ends when the connection closes:
  // its size is known only then.
  if (file->totalSize == kAllOnes && file->httpCode == 200 && !file->hasContentRange) return beginGrowing(file);
  if (file->totalSize == kAllOnes) {
    VL_LOG_ERROR("HTTP response does not have any content size specified");
    file->refusal = "answer without a size";
    return false;
  }
  if (file->totalSize == 0 && !takesEmptyAnswer(file)) return false;
  // Without a range the body of a partial response would be stored at
  // offset 0, over other bytes of the file.
  if (file->httpCode == 206 && !file->hasContentRange) {
    VL_LOG_ERROR("HTTP partial response does not have a valid content range");
    file->refusal = "answer with an unusable range";
    return false;
  }
  // A range that starts after the first byte asked for is not the one asked for.
  if (file->hasContentRange && file->contentOffset > file->offset) {
    VL_LOG_ERROR("HTTP response range does not start at the requested offset : " << file->contentOffset << " > "
                                                                                 << file->offset);
    file->refusal = "answer with an unusable range";
    return false;
  }
  if (file->etag.empty()) {
    file->etag = file->lastModified;
    file->lastModified.clear();
  }
  VL_LOG_TRACE("Initialize current offset : " << file->contentOffset);
  file->currentOffset = file->contentOffset;

  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, true);
  if (!repositoryFile->setContent(file->totalSize, file->etag)) {
    VL_LOG_ERROR("Unable to set repository file properties : " << file->fileId.entityId() << "-"
                                                               << file->fileId.getFormat()->getId() << " => "
                                                               << file->totalSize << ", " << file->etag);
    // Refused while a reader holds the file: what it plays has changed on
    // the server. Otherwise there is no room for it, or the disk failed.
    bool held = (repositoryFile->getFlags() & VLRepositoryFile::FLAG_LOCKED) != 0;
    file->refusal = held ? "changed on the server while it plays" : kNotStored;
    return false;
  }
  repositoryFile->touchValidation();
  bool loaded = false;
  if (!repositoryFile->isRangeLoaded(file->contentOffset, file->contentLength, &loaded)) {
    VL_LOG_ERROR("Unable to get repository content state : " << file->fileId.entityId() << "-"
                                                             << file->fileId.getFormat()->getId());
    file->refusal = kNotStored;
    return false;
  }
  if (loaded) {
    file->state = TRANSFER_ALREADY_LOADED;
    return false;
  }
  return true;
}

size_t VLHttpRepositoryProvider::header(char* ptr, size_t size, size_t nmemb, void* userdata) {
  repo_file* file = static_cast<repo_file*>(userdata);
  size_t n = size * nmemb;
  if (file->state == TRANSFER_CANCELED || file->state == TRANSFER_SEEKING) {
    VL_LOG_TRACE("File providing has been canceled or seeked, skip header");
    return 0;
  }
  std::string line(ptr, n);
  if (line == "\r\n" || line == "\n") {
    if (!endInterimOrRedirect(file) && !endHeaders(file)) return 0;
  } else {
    parseHeaderLine(file, line);
  }
  file->state = TRANSFER_HEADERS;
  return n;
}

// ---- Response body ----

size_t VLHttpRepositoryProvider::write(char* ptr, size_t size, size_t nmemb, void* userdata) {
  repo_file* file = static_cast<repo_file*>(userdata);
  size_t n = size * nmemb;
  size_t result = 0;
  VL_LOG_TRACE("File write started : " << file);
  if (file->state == TRANSFER_CANCELED || file->state == TRANSFER_SEEKING) {
    VL_LOG_TRACE("File providing has been canceled or seeked, skip write");
    VL_LOG_TRACE("File write finished : " << file);
    return 0;
  }
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, true);
  if (!matchesStoredBlock(file, repositoryFile, ptr, n)) {
    VL_LOG_TRACE("File write finished : " << file);
    return 0;
  }
  bool tooLarge = false;
  if (file->sizeFromClose && !repositoryFile->growFor(file->currentOffset + file->bufferUsed + n, &tooLarge)) {
    VL_LOG_ERROR("Unable to make room for the answer without content size : " << file->fileId);
    noteRoomRefused(file, tooLarge);
    return 0;
  }
  const size_t blockSize = file->repository->getBlockSize();
  // Only whole blocks are stored: the bytes before the next block boundary
  // of an unaligned start are dropped.
  size_t skip = 0;
  size_t misalignment = file->currentOffset % blockSize;
  if (misalignment != 0) {
    skip = std::min(blockSize - misalignment, n);
    file->currentOffset += skip;
    ptr += skip;
    n -= skip;
  }
  size_t written = 0;
  if (file->bufferUsed == 0 && n % blockSize == 0) {
    if (!repositoryFile->stage(ptr, file->currentOffset, n, &written)) {
      VL_LOG_ERROR("Unable to write buffer");
      file->refusal = kNotStored;
    } else {
      VL_LOG_TRACE("Increment current offset : " << file->currentOffset << " => " << file->currentOffset + written);
      file->currentOffset += written;
      file->state = TRANSFER_RECEIVING;
      result = skip + written;
    }
  } else if (file->bufferUsed + n > file->bufferSize) {
    VL_LOG_ERROR("Too many left bytes in the buffer");
    file->refusal = kNotStored;
  } else {
    memcpy(file->buffer + file->bufferUsed, ptr, n);
    file->bufferUsed += n;
    if (file->currentOffset >= file->totalSize)
      VL_LOG_WARN("Providing offsets are in an inconsistent state : " << file->currentOffset << ", " << file->totalSize
                                                                      << " (" << file->contentOffset << ", "
                                                                      << file->contentLength << ")");
    if (!repositoryFile->stage(file->buffer, file->currentOffset, file->bufferUsed, &written)) {
      VL_LOG_ERROR("Unable to write buffer");
      file->refusal = kNotStored;
    } else {
      VL_LOG_TRACE("Increment current offset : " << file->currentOffset << " => " << file->currentOffset + written);
      file->currentOffset += written;
      memmove(file->buffer, file->buffer + written, file->bufferUsed - written);
      file->bufferUsed -= written;
      file->state = TRANSFER_RECEIVING;
      result = skip + n;
    }
  }
  VL_LOG_TRACE("File write finished : " << file);
  return result;
}

// ---- The pump ----

bool VLHttpRepositoryProvider::update() {
  countPass();
  applyFileUrls();
  askAgainForUrls();
  if (!multi_) return false;
  if (running_ != 0 && !driveWhileReadable()) return false;
  bool result = true;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    if (!settleDone(message)) {
      result = false;
      break;
    }
  }
  return result;
}

// Counted at the start of the pump: what the running time reaches here is
// seen by the readers and files only after the drive that follows has taken
// in what arrived meanwhile.
void VLHttpRepositoryProvider::countPass() {
  const double now = VLPlatformFactory::instance()->getTime();
  runningTime_ += std::min(std::max(0.0, now - lastPassAt_), kLongestPassSeconds);
  lastPassAt_ = now;
}

// Runs libcurl again and again while its sockets have data, until they would
// block or the budget is spent: one perform per pass would move at most one
// receive buffer per transfer. The drive also ends early, so that the rest of
// the pass serves what waits, once a transfer's answer has begun (a stream's
// open waits for the size it brings) or the wake event is signalled (new work
// came; the signal stays for the pass's wait).
bool VLHttpRepositoryProvider::driveWhileReadable() {
  const bool driven = driveUntilBlocked();
  settleStagedBlocks();
  return driven;
}

bool VLHttpRepositoryProvider::driveUntilBlocked() {
  double deadline = VLPlatformFactory::instance()->getTime() + kDriveBudgetSeconds;
  const size_t awaiting = countAwaitingAnswers();
  VLWakeEvent* wake = wake_.load();
  const int descriptor = wake ? wake->getDescriptor() : -1;
  do {
    CURLMcode code = curl_multi_perform(multi_, &running_);
    if (!multiSucceeded(code)) return false;
    if (running_ == 0 || countAwaitingAnswers() < awaiting) return true;
    struct curl_waitfd extra = {descriptor, CURL_WAIT_POLLIN, 0};
    int ready = 0;
    code = curl_multi_wait(multi_, descriptor >= 0 ? &extra : nullptr, descriptor >= 0 ? 1 : 0, 0, &ready);
    if (!multiSucceeded(code)) return false;
    if (ready == 0 || (extra.revents & CURL_WAIT_POLLIN)) return true;
  } while (VLPlatformFactory::instance()->getTime() < deadline);
  return true;
}

// The body callbacks stage what they store; the blocks are marked present
// here, once per drive, after one flush per file.
void VLHttpRepositoryProvider::settleStagedBlocks() {
  VLMutexLocker lock(mutex_);
  for (repo_file* file : files_) {
    VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, false);
    if (repositoryFile && !repositoryFile->settle())
      VL_LOG_WARN("Blocks of the transfer are fetched again : " << file->fileId);
  }
}

size_t VLHttpRepositoryProvider::countAwaitingAnswers() {
  VLMutexLocker lock(mutex_);
  size_t count = 0;
  for (const repo_file* file : files_) {
    if (file->state == TRANSFER_STARTED) ++count;
  }
  return count;
}

bool VLHttpRepositoryProvider::waitForActivity(VLWakeEvent* wake, uint64_t milliseconds) {
  if (multi_ && running_ != 0) {
    const int descriptor = wake ? wake->getDescriptor() : -1;
    struct curl_waitfd extra = {descriptor, CURL_WAIT_POLLIN, 0};
    // libcurl ends the wait sooner when one of its own timers (a
    // time-out, a retry of a connection) falls due.
    CURLMcode code = curl_multi_poll(multi_, descriptor >= 0 ? &extra : nullptr, descriptor >= 0 ? 1 : 0,
                                     int(std::min<uint64_t>(milliseconds, INT_MAX)), nullptr);
    if (descriptor >= 0 && (extra.revents & CURL_WAIT_POLLIN)) wake->take();
    if (multiSucceeded(code)) return true;
  }
  // Nothing on the network to wait for, or the poll failed: the wait still
  // takes its time, so that a failing poll does not spin the worker.
  if (wake)
    wake->wait(milliseconds);
  else
    VLPlatformFactory::instance()->sleep(milliseconds);
  return multi_ != nullptr && running_ == 0;
}

bool VLHttpRepositoryProvider::settleDone(CURLMsg* message) {
  char* pointer = nullptr;
  CURLcode code = curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &pointer);
  if (code != CURLE_OK) {
    VL_LOG_ERROR("CURL failed : (" << code << ") " << curl_easy_strerror(code));
    return false;
  }
  repo_file* file = reinterpret_cast<repo_file*>(pointer);
  curl_off_t speed = 0;
  if (curl_easy_getinfo(file->curl, CURLINFO_SPEED_DOWNLOAD_T, &speed) == CURLE_OK && speed > 0 &&
      double(speed) < kSlowSpeed)
    VL_LOG_INFO("Download speed is too low : " << double(speed) << " bytes/second");

  CURLcode result = message->data.result;
  const uint32_t state = file->state;
  if (file->state == TRANSFER_SEEKING) {
    return restartAtNewRange(file);
  }
  if (file->state == TRANSFER_CANCELED) {
    if (!clean(file)) return false;
    unlink(file);
    delete file;
    return true;
  }
  if (file->changedOnServer) {
    forgetChangedContent(file);
    return true;
  }
  if (file->outgrewRoom) {
    forgetOutgrownAnswer(file);
  } else if (result == CURLE_OK && file->sizeFromClose) {
    file->state = finishGrowing(file) ? TRANSFER_FINISHED : TRANSFER_FAILED_RETRYABLE;
    if (file->outgrewRoom) forgetOutgrownAnswer(file);
  } else if (result == CURLE_OK) {
    file->state = TRANSFER_FINISHED;
  } else if (result == CURLE_TOO_MANY_REDIRECTS || result == CURLE_UNSUPPORTED_PROTOCOL ||
             result == CURLE_URL_MALFORMAT) {
    VL_LOG_WARN("URL is malformed, redirects too often or away from HTTP, return non-retryable error : ("
                << result << ") " << curl_easy_strerror(result));
    file->state = TRANSFER_FAILED;
  } else if (result == CURLE_WRITE_ERROR && file->state == TRANSFER_ALREADY_LOADED) {
    file->state = TRANSFER_FINISHED;
  } else if (file->httpCode - 400 <= 99) {
    if (fallBackToPageUrl(file)) return true;
    VL_LOG_WARN("URL is currently unreachable, return non-retryable error");
    file->state = TRANSFER_FAILED;
  } else {
    VL_LOG_WARN("CURL file download encountered error : (" << result << ") " << curl_easy_strerror(result)
                                                           << (file->errorText[0] ? " : " : "") << file->errorText);
    file->state = TRANSFER_FAILED_RETRYABLE;
  }
  if (file->state != TRANSFER_FINISHED) {
    const bool inHeaders = state == TRANSFER_STARTED || state == TRANSFER_HEADERS;
    file->failure = file->refusal.empty() ? describeFailure(file->httpCode, result, inHeaders) : file->refusal;
  }
  return true;
}

// A 4xx from the address a redirect led to (a signed address that has
// expired since, which a moved transfer asks again) is not the page's
// answer: the transfer asks the page's address once more, whose redirect
// gives a fresh one. Once: a second refusal with no answer taken in between
// ends the transfer. True when the transfer was started again.
bool VLHttpRepositoryProvider::fallBackToPageUrl(repo_file* file) {
  if (file->fellBack || file->pageUrl.empty()) return false;
  char* effective = nullptr;
  if (curl_easy_getinfo(file->curl, CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective ||
      file->pageUrl == effective)
    return false;
  VL_LOG_WARN("Redirected address refused the request (" << file->httpCode
                                                         << "), the page's address is asked again : " << file->fileId);
  CURLMcode removed = curl_multi_remove_handle(multi_, file->curl);
  if (removed != CURLM_OK) {
    VL_LOG_ERROR("CURL failed : (" << removed << ") " << curl_multi_strerror(removed));
    return false;
  }
  const uint32_t refused = file->httpCode;
  file->fellBack = true;
  file->resetResponse();
  if (curl_easy_setopt(file->curl, CURLOPT_URL, file->pageUrl.c_str()) != CURLE_OK ||
      !startDownload(file, std::string())) {
    file->failure = describeFailure(refused, CURLE_WRITE_ERROR, false);
    file->state = TRANSFER_FAILED;
  }
  return true;
}

// A moved transfer asks for its new range on the same handle, at the address
// its last request ended at: a redirect is not followed again.
bool VLHttpRepositoryProvider::restartAtNewRange(repo_file* file) {
  CURLMcode removed = curl_multi_remove_handle(multi_, file->curl);
  if (removed != CURLM_OK) {
    VL_LOG_ERROR("CURL failed : (" << removed << ") " << curl_multi_strerror(removed));
    return false;
  }
  char* effective = nullptr;
  std::string finalUrl;
  if (curl_easy_getinfo(file->curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) finalUrl = effective;
  if (!finalUrl.empty() && curl_easy_setopt(file->curl, CURLOPT_URL, finalUrl.c_str()) != CURLE_OK)
    VL_LOG_WARN("Unable to keep the redirected address : " << finalUrl);
  // A moved transfer that cannot start again would stay moving for ever.
  if (!startDownload(file, std::string())) file->state = TRANSFER_FAILED_RETRYABLE;
  return true;
}

// An answer without length headers has ended cleanly: what it brought is the
// file, whose last partial block is still in the transfer's buffer.
bool VLHttpRepositoryProvider::finishGrowing(repo_file* file) {
  VLRepositoryFile* repositoryFile = file->repository->getFile(file->fileId, true);
  const size_t size = file->currentOffset + file->bufferUsed;
  if (size == 0 && !takesEmptyAnswer(file)) {
    // Nothing came: the file it made empty at its headers goes back to a
    // file of unknown size, which the next try asks for whole (left sized
    // 0, it would count as complete).
    if (repositoryFile->getSize() == 0) repositoryFile->discardContent();
    return false;
  }
  bool tooLarge = false;
  if (!repositoryFile->settle() || !repositoryFile->finishGrowing(size, &tooLarge)) {
    VL_LOG_ERROR("Unable to set repository file properties : " << file->fileId.entityId() << "-"
                                                               << file->fileId.getFormat()->getId() << " => " << size
                                                               << ", " << file->etag);
    noteRoomRefused(file, tooLarge);
    return false;
  }
  // A download's end waits for the next answer to end there too: this one's
  // last bytes come again with it.
  if (repositoryFile->isGrowing()) return true;
  size_t written = 0;
  bool stored = repositoryFile->write(file->buffer, file->currentOffset, file->bufferUsed, &written) &&
                written == file->bufferUsed;
  if (!stored) {
    VL_LOG_ERROR("Unable to write buffer");
    file->refusal = kNotStored;
    return false;
  }
  file->bufferUsed = 0;
  file->currentOffset = size;
  return true;
}
