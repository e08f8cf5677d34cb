#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VLFileHelper;
class VLFolder;

// Reads the sizes of content files and of their bitmaps (name + ".part") in
// one folder on a few threads of its own, while the caller goes on producing
// names: the index load checks two files per stored row, and a lookup waits
// on the file system far longer than the row takes to read.
//
// Threads: one caller thread uses the object (add, isDone); the helper
// threads read sizes and run the requests' sizesRead. The caller's thread
// also reads queued sizes itself while it waits. Ownership: requests stay the caller's; each stays at its
// address, untouched by the caller, from add until isDone returned true.
// Failure: a helper thread that cannot be started leaves the work to the
// others and to the waiting caller; a folder that cannot be opened is
// examined by its path, file by file.
class VLFileSizeReader {
 public:
  struct Request {
    virtual ~Request() = default;
    // Further work with the sizes, run on the thread that read them (a
    // helper, or the caller while it waits) before the request counts as
    // done: it must touch nothing but the request and what no other
    // thread uses meanwhile.
    virtual void sizesRead() {}

    std::string name;
    // Filled in by the reader, as VLFileHelper::getFileSize gives them.
    uint64_t contentSize = 0;
    uint64_t bitmapSize = 0;
    std::atomic<bool> done{false};
  };

  // directory without a trailing separator; threads helper threads at most.
  VLFileSizeReader(VLFileHelper* helper, const std::string& directory, unsigned threads);
  // Stops and joins the helper threads; requests not yet read stay undone.
  ~VLFileSizeReader();

  void add(Request* request);
  // Whether the request's sizes are read; with wait, returns only once they
  // are (true).
  bool isDone(Request* request, bool wait);

 private:
  typedef std::vector<Request*> Batch;

  void handOver();
  bool takeBatch(Batch* batch);
  void read(const Batch& batch);
  void runHelper();

  VLFileHelper* helper_;
  std::string directory_;
  std::unique_ptr<VLFolder> folder_;
  Batch pending_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable read_;
  std::deque<Batch> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
