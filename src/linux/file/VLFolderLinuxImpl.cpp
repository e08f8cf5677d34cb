#include "VLFolderLinuxImpl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

VLFolderLinuxImpl::VLFolderLinuxImpl(int descriptor) : descriptor_(descriptor) {}

VLFolderLinuxImpl::~VLFolderLinuxImpl() {
  close(descriptor_);
}

uint64_t VLFolderLinuxImpl::getFileSize(const char* name) {
  struct stat status;
  if (fstatat(descriptor_, name, &status, 0) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<uint64_t>(status.st_size);
}
