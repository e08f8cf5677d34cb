#include "TestRepositoryContent.h"

#include <cstdint>
#include <list>
#include <vector>

#include "TestHttpServer.h"
#include "VLRepositoryFile.h"

size_t TestRepositoryContent::presentServerBytes(VLRepositoryFile* file, unsigned seed, std::string* mismatch) {
  std::list<unsigned long> present;
  if (!file->getIntervals(true, present)) {
    if (mismatch->empty()) *mismatch = "no bitmap";
    return 0;
  }
  size_t total = 0;
  for (auto it = present.begin(); it != present.end();) {
    size_t first = *it++;
    size_t last = *it++;
    std::vector<uint8_t> bytes(last - first + 1);
    size_t done = 0;
    bool read = file->read(bytes.data(), first, bytes.size(), &done, nullptr) && done == bytes.size();
    if ((!read || bytes != TestHttpServer::content(seed, first, bytes.size())) && mismatch->empty())
      *mismatch = std::to_string(first) + "-" + std::to_string(last);
    total += bytes.size();
  }
  return total;
}
