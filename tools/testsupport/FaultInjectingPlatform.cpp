#include "FaultInjectingPlatform.h"

#include <atomic>
#include <cerrno>
#include <memory>

#include "VLLogger.h"
#include "VLMappedFile.h"

namespace {

// Calls left until the armed fault (0: none armed).
std::atomic<int> g_opensUntilFault{0};
std::atomic<int> g_resizesUntilFault{0};
std::atomic<int> g_injected{0};

// Counts one call down; true for the call the fault was armed for.
bool isFaultDue(std::atomic<int>& left) {
  int now = left.load();
  while (now > 0 && !left.compare_exchange_weak(now, now - 1)) {
  }
  if (now != 1) return false;
  ++g_injected;
  return true;
}

// The real mapped file, except for the armed faults.
class FaultInjectingMappedFile : public VLMappedFile {
 public:
  explicit FaultInjectingMappedFile(VLMappedFile* file) : VLMappedFile(file->getPath()), file_(file) {}

  bool open() override {
    if (!isFaultDue(g_opensUntilFault)) return file_->open();
    file_->close();
    VL_LOG_ERROR("open has failed (" << EIO << ") : " << getPath());
    return false;
  }
  bool open(size_t size) override {
    if (!isFaultDue(g_resizesUntilFault)) return file_->open(size);
    file_->close();
    VL_LOG_ERROR("posix_fallocate has failed (" << ENOSPC << ") : " << getPath());
    return false;
  }
  void close() override { file_->close(); }
  bool isOpen() override { return file_->isOpen(); }
  unsigned char* getData() override { return file_->getData(); }
  size_t getSize() override { return file_->getSize(); }
  bool flush(size_t offset, size_t length) override { return file_->flush(offset, length); }
  bool startFlush(size_t offset, size_t length) override { return file_->startFlush(offset, length); }
  bool runGuarded(void (*access)(void*), void* context) override { return file_->runGuarded(access, context); }

 private:
  std::unique_ptr<VLMappedFile> file_;
};

}  // namespace

FaultInjectingPlatform::FaultInjectingPlatform(VLPlatformFactory* target)
    : VLPlatformFactoryWrapper(target), previous_(VLPlatformFactory::setInstance(this)) {}

FaultInjectingPlatform::~FaultInjectingPlatform() {
  failNthOpen(0);
  failNthResize(0);
  VLPlatformFactory::setInstance(previous_);
}

VLMappedFile* FaultInjectingPlatform::createMappedFile(const std::string& path) {
  VLMappedFile* file = VLPlatformFactoryWrapper::createMappedFile(path);
  return file ? new FaultInjectingMappedFile(file) : nullptr;
}

void FaultInjectingPlatform::failNthOpen(int n) {
  g_opensUntilFault = n;
}

void FaultInjectingPlatform::failNthResize(int n) {
  g_resizesUntilFault = n;
}

int FaultInjectingPlatform::injectedFaults() const {
  return g_injected;
}
