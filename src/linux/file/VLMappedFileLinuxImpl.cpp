#include "VLMappedFileLinuxImpl.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VLLogger.h"
#include "VLMappedMemoryGuard.h"

namespace {

const size_t kPresentSize = static_cast<size_t>(-1);
// A write is reserved with the whole step of the file around it, so that a
// stream written in blocks of a few kilobytes asks the system once per step,
// not once per write.
const size_t kReserveStep = size_t(1) << 20;

size_t mappingLength(size_t size) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return ((size - 1) / page + 1) * page;
}

bool isNoSpace(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

}  // namespace

VLMappedFileLinuxImpl::VLMappedFileLinuxImpl(const std::string& path)
    : VLMappedFile(path), descriptor_(-1), readOnly_(false), data_(nullptr), size_(0) {}

VLMappedFileLinuxImpl::~VLMappedFileLinuxImpl() {
  VLMappedFileLinuxImpl::close();
}

bool VLMappedFileLinuxImpl::open() {
  return open(kPresentSize);
}

bool VLMappedFileLinuxImpl::open(size_t size) {
  return openAt(size, true);
}

bool VLMappedFileLinuxImpl::openUnreserved(size_t size) {
  return openAt(size, false);
}

bool VLMappedFileLinuxImpl::reserve(size_t offset, size_t length) {
  if (!isOpen() || offset >= size_ || length == 0) return true;
  const size_t end = offset + std::min(length, size_ - offset);
  for (size_t step = offset / kReserveStep; step * kReserveStep < end; ++step) {
    if (reservedSteps_[step]) continue;
    const size_t stepStart = step * kReserveStep;
    const size_t stepLength = std::min(kReserveStep, size_ - stepStart);
    if (reserveRange(stepStart, stepLength) == 0) {
      reservedSteps_[step] = true;
      continue;
    }
    // A volume short of a whole step may still hold what is written now.
    const size_t start = std::max(offset, stepStart);
    const int error = reserveRange(start, std::min(end, stepStart + stepLength) - start);
    if (error != 0) {
      VL_LOG_ERROR("fallocate has failed (" << error << ") : " << getPath());
      return false;
    }
  }
  return true;
}

// 0, or the error number when the disk has no room for the range.
int VLMappedFileLinuxImpl::reserveRange(size_t offset, size_t length) {
  // The file keeps its length: one that another program shortened under the
  // mapping must still fault the access past its end, not be grown again.
  if (fallocate(descriptor_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0)
    return 0;
  int error = errno;
  return isNoSpace(error) ? error : 0;  // a file system that cannot reserve writes as it can
}

// The steps wholly inside a range reserved by this open.
void VLMappedFileLinuxImpl::noteReserved(size_t offset, size_t length) {
  for (size_t step = (offset + kReserveStep - 1) / kReserveStep; step < reservedSteps_.size(); ++step) {
    if (step * kReserveStep + std::min(kReserveStep, size_ - step * kReserveStep) > offset + length) break;
    reservedSteps_[step] = true;
  }
}

bool VLMappedFileLinuxImpl::openAt(size_t size, bool reserveRoom) {
  // Opening over an open object would leak its descriptor and mapping.
  if (isOpen()) close();

  std::string path = getPath();
  descriptor_ = openDescriptor(size);
  if (descriptor_ == -1) {
    if (!isQuiet()) VL_LOG_ERROR("open has failed (" << errno << ") : " << path);
    return fail();
  }
  struct stat status;
  if (fstat(descriptor_, &status) != 0) {
    VL_LOG_ERROR("fstat has failed (" << errno << ")");
    return fail();
  }
  size_t presentSize = static_cast<size_t>(status.st_size);
  if (size == kPresentSize)
    size = presentSize;
  else if (presentSize != size && !setLength(presentSize, size, reserveRoom))
    return fail();
  reservedSteps_.assign((size + kReserveStep - 1) / kReserveStep, false);

  if (size > 0) {
    void* data = mmap(nullptr, mappingLength(size), PROT_READ | PROT_WRITE, readOnly_ ? MAP_PRIVATE : MAP_SHARED,
                      descriptor_, 0);
    if (data == MAP_FAILED) {
      VL_LOG_ERROR("mmap has failed (" << errno << ")");
      data_ = nullptr;
      return fail();
    }
    data_ = static_cast<unsigned char*>(data);
  }
  size_ = size;
  if (reserveRoom && size > presentSize) noteReserved(presentSize, size - presentSize);
  return true;
}

// Only a read-only volume opens its files for reading: there no file beside
// this one (its bitmap) can be written either, so a write that reaches no
// disk leaves nothing on the disk that disagrees with it.
int VLMappedFileLinuxImpl::openDescriptor(size_t size) {
  const std::string path = getPath();
  int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor != -1 || size != kPresentSize || errno != EROFS) return descriptor;
  descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  readOnly_ = descriptor != -1;
  if (readOnly_) VL_LOG_DEBUG("File cannot be written, it is read as it is : " << path);
  return descriptor;
}

bool VLMappedFileLinuxImpl::setLength(size_t presentSize, size_t size, bool reserveRoom) {
  if (size > presentSize && reserveRoom) {
    // Reserve the new range on disk before it is mapped: a write through a
    // shared mapping into a hole that the disk cannot back is SIGBUS, while
    // a refused reservation here is an ordinary failure the caller handles.
    int error = posix_fallocate(descriptor_, static_cast<off_t>(presentSize), static_cast<off_t>(size - presentSize));
    if (error == 0) return true;
    if (isNoSpace(error)) {
      if (!isQuiet()) VL_LOG_ERROR("posix_fallocate has failed (" << error << ") : " << getPath());
      // Give back whatever part of the range was reserved.
      if (ftruncate(descriptor_, static_cast<off_t>(presentSize)) != 0)
        VL_LOG_ERROR("ftruncate has failed (" << errno << ")");
      return false;
    }
    // A file system that cannot reserve at all: fall back to extending.
    VL_LOG_WARN("posix_fallocate has failed (" << error << ") : " << getPath());
  }
  if (ftruncate(descriptor_, static_cast<off_t>(size)) != 0) {
    VL_LOG_ERROR("ftruncate has failed (" << errno << ")");
    return false;
  }
  return true;
}

bool VLMappedFileLinuxImpl::fail() {
  close();
  return false;
}

void VLMappedFileLinuxImpl::close() {
  if (data_) {
    munmap(data_, mappingLength(size_));
    data_ = nullptr;
  }
  if (descriptor_ != -1) {
    ::close(descriptor_);
    descriptor_ = -1;
  }
  readOnly_ = false;
  size_ = 0;
  reservedSteps_.clear();
}

// sync_file_range writes the range's dirty pages (a write through a shared
// mapping dirties its page) and waits for them, without the journal commit
// of msync or fdatasync, which would cost a disk flush per block written.
bool VLMappedFileLinuxImpl::flush(size_t offset, size_t length) {
  return syncRange(offset, length, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

// Only queues the range's dirty pages for writing: the disk works while the
// caller goes on, and the flush that follows finds them written.
bool VLMappedFileLinuxImpl::startFlush(size_t offset, size_t length) {
  return syncRange(offset, length, SYNC_FILE_RANGE_WRITE);
}

bool VLMappedFileLinuxImpl::syncRange(size_t offset, size_t length, unsigned int flags) {
  if (!isOpen() || offset >= size_ || length == 0) return true;
  length = std::min(length, size_ - offset);
  if (sync_file_range(descriptor_, static_cast<off64_t>(offset), static_cast<off64_t>(length), flags) != 0) {
    VL_LOG_ERROR("sync_file_range has failed (" << errno << ") : " << getPath());
    return false;
  }
  return true;
}

bool VLMappedFileLinuxImpl::runGuarded(void (*access)(void*), void* context) {
  return VLMappedMemoryGuard::run(access, context);
}

bool VLMappedFileLinuxImpl::isOpen() {
  return descriptor_ != -1;
}

unsigned char* VLMappedFileLinuxImpl::getData() {
  return data_;
}

size_t VLMappedFileLinuxImpl::getSize() {
  return size_;
}
