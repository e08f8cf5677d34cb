#include "TestFolder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (::remove(path) != 0) fprintf(stderr, "TestFolder: could not remove %s\n", path);
  return 0;
}

}  // namespace

TestFolder::TestFolder() {
  const char* base = getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp");
  std::string pattern = path_ + "/velora-test-XXXXXX";
  if (mkdtemp(&pattern[0])) {
    path_ = pattern;
    made_ = true;
  } else {
    perror("TestFolder: mkdtemp");
  }
}

TestFolder::~TestFolder() {
  // Depth first, without following links out of the folder.
  if (made_) nftw(path_.c_str(), &removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TestFolder::folder(const std::string& name) const {
  std::string path = file(name);
  mkdir(path.c_str(), 0755);
  return path;
}

std::string TestFolder::writeFile(const std::string& name, const std::string& content) const {
  std::string path = file(name);
  write(path, content);
  return path;
}

bool TestFolder::exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

size_t TestFolder::sizeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? size_t(status.st_size) : 0;
}

std::string TestFolder::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool TestFolder::write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return bool(out);
}
