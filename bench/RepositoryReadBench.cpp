// Read path throughput: a fully cached 100 MB file read through
// VLRepositoryFile::read (block-checked copies out of the mapping) beside
// `cat` of the same content file, both from the page cache, in the same run.
//
// Usage: repository_read_bench [megabytes] [read size in bytes]   (default 100, 65536)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchStats.h"
#include "TestFolder.h"
#include "VLHttpRepositoryProvider.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

namespace {

const size_t kBlock = 4096;

double timeCommand(const std::string& command) {
  Clock::time_point start = Clock::now();
  if (system(command.c_str()) != 0) {
    std::fprintf(stderr, "repository_read_bench: '%s' failed\n", command.c_str());
    std::exit(1);
  }
  return secondsSince(start);
}

// One sequential pass over the file; returns its time.
double readThrough(VLRepositoryFile* file, size_t readSize, uint64_t* checksum) {
  std::vector<uint8_t> buffer(readSize);
  size_t size = file->getSize();
  Clock::time_point start = Clock::now();
  for (size_t offset = 0; offset < size; offset += readSize) {
    size_t done = 0;
    bool eof = false;
    if (!file->read(buffer.data(), offset, readSize, &done, &eof) || (done < readSize && !eof)) {
      std::fprintf(stderr, "repository_read_bench: short read at %zu\n", offset);
      std::exit(1);
    }
    *checksum += buffer[0] + buffer[done - 1];
  }
  return secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const size_t readSize = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 65536;
  const size_t size = megabytes * 1000000;
  TestFolder folder;
  VLHttpRepositoryProvider provider;
  VLRepository repository(nullptr, &provider, "cache", "bench", 604800, folder.folder("db"), folder.folder("files"), 0,
                          false, 0);
  repository.init();
  VLRepositoryFile* file = repository.getFile(VLFileId("track", 6u), true);
  if (!file->open(0) || !file->setContent(size, "bench")) {
    std::fprintf(stderr, "repository_read_bench: cannot make a %zu-byte file\n", size);
    return 1;
  }
  std::vector<uint8_t> block(kBlock);
  for (size_t offset = 0; offset < size; offset += kBlock) {
    for (size_t i = 0; i < kBlock; ++i) block[i] = uint8_t(offset / kBlock + i);
    size_t done = 0;
    file->write(block.data(), offset, std::min(kBlock, size - offset), &done);
  }
  std::string path = repository.getFilePath(file->getFileName());
  std::string cat = "cat '" + path + "' > /dev/null";

  // Best of five passes each, alternating, after a warming pass of both.
  uint64_t checksum = 0;
  readThrough(file, readSize, &checksum);
  timeCommand(cat);
  double best = 1e9;
  double bestCat = 1e9;
  for (int pass = 0; pass < 5; ++pass) {
    best = std::min(best, readThrough(file, readSize, &checksum));
    bestCat = std::min(bestCat, timeCommand(cat));
  }
  double mb = double(size) / 1e6;
  std::printf("read path of a cached %zu MB file, %zu-byte reads\n", megabytes, readSize);
  std::printf("  VLRepositoryFile::read  %8.0f MB/s  (%.3f s)\n", mb / best, best);
  std::printf("  cat (baseline)          %8.0f MB/s  (%.3f s, process start included)\n", mb / bestCat, bestCat);
  std::printf("  ratio read/cat          %8.2f\n", bestCat / best);
  std::printf("  (checksum %llu)\n", static_cast<unsigned long long>(checksum));
  file->close(0);
  repository.close();
  return 0;
}
