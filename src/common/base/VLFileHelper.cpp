#include "VLFileHelper.h"

#include <atomic>
#include <ctime>
#include <memory>

#include "VLFolder.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"

namespace {

// Hidden and named by the time; the sequence number keeps two probes of one
// folder within the same second apart, so that one cannot remove the other's
// file and make a writable folder look unwritable.
std::string probeName() {
  static std::atomic<unsigned> sequence{0};
  return "." + std::to_string(static_cast<long long>(time(nullptr))) + "." + std::to_string(sequence++) + ".tmp";
}

}  // namespace

bool VLFileHelper::isWritable(const std::string& directory) {
  return probeWritability(directory) == WRITABLE;
}

VLFileHelper::Writability VLFileHelper::probeWritability(const std::string& directory) {
  std::string path = directory + getSeparator() + probeName();
  std::unique_ptr<VLMappedFile> probe(VLPlatformFactory::instance()->createMappedFile(path));
  // What it finds is the caller's to tell, once for each change: a folder
  // that stays read-only is probed every few seconds.
  probe->setQuiet();

  // An empty file first: a folder that takes none is read-only, or not there,
  // while a full volume still takes an empty file and refuses its bytes.
  if (!probe->resize(0, false)) {
    std::unique_ptr<VLFolder> folder(openFolder(directory));
    return folder ? READ_ONLY : NOT_WRITABLE;
  }
  Writability result = probe->resize(8192, true) && probe->open() ? WRITABLE : VOLUME_FULL;
  probe->close();
  // Removed whatever happened above: a sizing that failed (a full disk) must
  // not leave the probe behind.
  if (!removeFile(probe->getPath())) result = NOT_WRITABLE;
  return result;
}

bool VLFileHelper::createDirectories(const std::string& path) {
  const char separator = getSeparator();
  for (size_t end = path.find(separator, 1); end != std::string::npos; end = path.find(separator, end + 1)) {
    // Folders above that exist already are left as they are; only the
    // last answer says whether the whole path is a folder.
    createPrivateDirectory(path.substr(0, end));
  }
  return createPrivateDirectory(path);
}
