#include "VLMappedFile.h"

#include <cstring>

VLMappedFile::~VLMappedFile() {}

bool VLMappedFile::runGuarded(void (*access)(void*), void* context) {
  access(context);
  return true;
}

bool VLMappedFile::reserve(size_t, size_t) {
  return true;
}

bool VLMappedFile::resize(size_t size, bool zeroFill, bool reserveRoom) {
  bool wasOpen = isOpen();
  if (wasOpen) close();
  if (!(reserveRoom ? open(size) : openUnreserved(size))) return false;
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
