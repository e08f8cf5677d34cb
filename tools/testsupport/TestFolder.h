#pragma once

#include <string>

// A scratch folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away. For tests, benchmarks and the headless driver's
// temporary home.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Makes (if needed) and returns the sub-folder.
  std::string folder(const std::string& name) const;
  // Writes content to the file name below the folder; returns its path.
  std::string writeFile(const std::string& name, const std::string& content) const;

  // Whole-file helpers.
  static bool exists(const std::string& path);
  static size_t sizeOf(const std::string& path);
  static std::string read(const std::string& path);
  static bool write(const std::string& path, const std::string& bytes);

 private:
  std::string path_;
  bool made_ = false;
};
