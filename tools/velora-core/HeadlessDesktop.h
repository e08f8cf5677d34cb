#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "JKValue.h"
#include "VLDesktop.h"

class JsonLineWriter;

// The core behind no page: a VLDesktop whose calls into the page become JSON
// lines on the writer, and which answers the page's part of the file-URL
// exchange from a map of URLs it is given.
//
// Threads: the slots run on the core's worker thread and only write lines and
// queue URL requests; answerFileUrls, mapFileUrl and everything else run on the
// driver's main thread, which plays the page's main thread.
class HeadlessDesktop : public VLDesktop {
 public:
  // Where a file's content is to be fetched from, as the page would answer.
  struct FileUrl {
    std::string url;
    unsigned int format = 0;  // the final format; 0 keeps the asked one
    std::string data;
  };

  explicit HeadlessDesktop(JsonLineWriter* out);
  ~HeadlessDesktop() override;

  // Answers getFileUrl for "<entity id>_<format id>" from now on.
  void mapFileUrl(const std::string& fileKey, const FileUrl& answer);

  // Main thread: answers every getFileUrl asked since the last call, from the
  // map; a file that is not in the map gets an empty URL, which ends its
  // fetching as a page without the file would.
  void answerFileUrls();

  // Page callback ids travel through the core as opaque pointers.
  static void* callbackFromId(long id) { return reinterpret_cast<void*>(static_cast<intptr_t>(id)); }
  static long idFromCallback(void* callback) { return long(reinterpret_cast<intptr_t>(callback)); }

  // Test seam: every worker pass first sleeps this long, as a pass that
  // waits on slow transfers would. Set before init.
  void setExtraPassDelay(unsigned milliseconds) { extraPassDelayMs_ = milliseconds; }
  void executeRunLoop() override;
  // Worker passes run to their end so far. Any thread.
  unsigned long passCount() const { return passes_.load(); }

  // A page file object.
  static JKValue fileToJson(const VLDesktopFile& file);

  // Internal callbacks (negative ids) are answered here instead of on the
  // writer: the latest count per id, for the driver's own waits.
  bool takeInternalCount(long id, unsigned int* count);

  std::string getVersion() override;
  std::string getSystemUid() override;
  void executeMethodWithStr(const std::string& method, const std::string& arg) override;
  void executeMethodWithStrStrNumber(const std::string& method, const std::string& s1, const std::string& s2,
                                     int n) override;
  void executeMethodWithFile(const std::string& method, VLDesktopFile* file) override;
  void executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) override;
  void executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) override;
  void executeCallbackWithNumber(void* callback, unsigned int count) override;

 private:
  struct UrlRequest {
    std::string repository;
    int entityId;
    int formatId;
  };

  JsonLineWriter* out_;
  unsigned extraPassDelayMs_ = 0;
  std::atomic<unsigned long> passes_{0};

  std::mutex mutex_;  // guards the three containers below
  std::map<std::string, FileUrl> urls_;
  std::deque<UrlRequest> urlRequests_;
  std::map<long, unsigned int> internalCounts_;
};
