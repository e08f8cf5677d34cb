#include "VLMappedFile.h"

#include <cstring>

VLMappedFile::~VLMappedFile() {}

bool VLMappedFile::runGuarded(void (*access)(void*), void* context) {
  access(context);
  return true;
}

bool VLMappedFile::resize(size_t size, bool zeroFill) {
  bool wasOpen = isOpen();
  if (wasOpen) close();
  if (!open(size)) return false;
  if (zeroFill && getSize() > 0) memset(getData(), 0, getSize());
  if (!wasOpen) close();
  return true;
}

bool VLMappedFile::zeroFill() {
  bool wasOpen = isOpen();
  if (!wasOpen && !open()) return false;
  if (getSize() > 0) memset(getData(), 0, getSize());
  if (!wasOpen) close();
  return true;
}
