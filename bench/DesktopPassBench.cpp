// How the cost of one pass of the core's worker grows with the library: the
// pass at 1,000, 10,000 and 100,000 files across the three repositories side
// by side, measured in the same run, with the growth from the smallest to the
// largest beside the growth in files; and the cost of answering the page's
// getFiles over all of them, both as the time until the answer arrives and as
// the slowest pass of the worker meanwhile (the worker's own share, which holds
// up playback; the answer is freed by the asking thread, as the application
// hands it to its main loop). The worker's wait between passes is taken out
// (a platform whose sleeps and waits return at once), so the figures are the
// pass's own work. And the idle cost of the core at the largest size with
// its real waits: the process's CPU time over 30 s of wall time with nothing
// to do (goal: under 1% of a core).
//
// Usage: desktop_pass_bench [largest [--idle]]   (default 100000; the other
// two columns are a hundredth and a tenth of it; --idle: only the idle share
// at largest, printed as a fraction)

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "VLDesktop.h"
#include "VLDesktopFile.h"
#include "VLFileFormat.h"
#include "VLFileId.h"
#include "VLLinuxFactory.h"
#include "VLPlayer.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLSettingHelper.h"
#include "TestFolder.h"
#include "VLWakeEvent.h"

namespace {

// A wake event that is never waited for.
class NoWaitEvent : public VLWakeEvent {
 public:
  void signal() override {}
  bool wait(uint64_t) override { return false; }
  int getDescriptor() override { return -1; }
  bool take() override { return false; }
};

// The Linux platform without the worker's pause between passes, unless its
// real waits are asked for (for the idle cost); the waits of a core follow
// the setting at its init.
class NoSleepPlatform : public VLLinuxFactory {
 public:
  void sleep(uint64_t milliseconds) override {
    if (realWaits_) VLLinuxFactory::sleep(milliseconds);
  }
  VLWakeEvent* createWakeEvent() override { return realWaits_ ? VLLinuxFactory::createWakeEvent() : new NoWaitEvent(); }
  void useRealWaits(bool real) { realWaits_ = real; }

 private:
  std::atomic<bool> realWaits_{false};
};

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

class BenchDesktop : public VLDesktop {
 public:
  using VLDesktop::closeSession;
  using VLDesktop::openSession;

  ~BenchDesktop() override { clean(); }

  void executeRunLoop() override {
    Clock::time_point start = Clock::now();
    VLDesktop::executeRunLoop();
    double seconds = secondsSince(start);
    if (seconds > slowestPass_) slowestPass_ = seconds;
    ++passes_;
  }
  std::string getVersion() override { return "bench"; }
  std::string getSystemUid() override { return "bench"; }
  void executeMethodWithStr(const std::string&, const std::string&) override {}
  void executeMethodWithStrStrNumber(const std::string&, const std::string&, const std::string&, int) override {}
  void executeMethodWithFile(const std::string&, VLDesktopFile* file) override { delete file; }
  void executeMethodWithFiles(const std::string&, std::list<VLDesktopFile*>* files) override { drop(files); }
  void executeCallbackWithFiles(void*, std::list<VLDesktopFile*>* files) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lastAnswer_ = files;
    ++answers_;
    answered_.notify_all();
  }
  void executeCallbackWithNumber(void*, unsigned int) override {}

  uint64_t passes() const { return passes_; }
  // The slowest pass since the last call, in seconds.
  double takeSlowestPass() { return slowestPass_.exchange(0); }

  // Asks for every file of the three repositories and waits for the answer.
  size_t getAllFiles() {
    std::vector<std::string> all = {"cache", "import", "download"};
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t before = answers_;
    lock.unlock();
    getFiles(all, 0, 0, this);
    lock.lock();
    answered_.wait(lock, [&] { return answers_ != before; });
    std::list<VLDesktopFile*>* files = lastAnswer_;
    lastAnswer_ = nullptr;
    lock.unlock();
    size_t count = files->size();
    drop(files);
    return count;
  }

 private:
  static void drop(std::list<VLDesktopFile*>* files) {
    for (VLDesktopFile* file : *files) delete file;
    delete files;
  }

  std::atomic<uint64_t> passes_{0};
  std::atomic<double> slowestPass_{0};
  std::mutex mutex_;
  std::condition_variable answered_;
  uint64_t answers_ = 0;
  std::list<VLDesktopFile*>* lastAnswer_ = nullptr;
};

// The share of one core the started core's process takes over 30 s with
// nothing to do (after the first passes' one-off work). Measured in a process
// of its own that waits for real from the start: objects that live as long
// as the process keep the waits they were made with.
double idleShareOfACore(BenchDesktop& desktop) {
  if (!desktop.init()) {
    std::fprintf(stderr, "desktop_pass_bench: the core did not start\n");
    std::exit(1);
  }
  desktop.setJSReady(true);
  desktop.getAllFiles();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double cpuStart = processCpuSeconds();
  Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(30));
  double share = (processCpuSeconds() - cpuStart) / std::chrono::duration<double>(Clock::now() - start).count();
  desktop.clean();
  return share;
}

struct Figures {
  double passMicroseconds = 0;
  double getFilesMilliseconds = 0;
  double slowestPassMilliseconds = 0;   // of the worker, while getFiles are answered
  double clearSlowestMilliseconds = 0;  // of the worker, while the cache is cleared (last size only)
  size_t cleared = 0;
  size_t filesAnswered = 0;
};

Figures measure(BenchDesktop& desktop, bool clear) {
  Figures figures;
  if (!desktop.init()) {
    std::fprintf(stderr, "desktop_pass_bench: the core did not start\n");
    std::exit(1);
  }
  desktop.setJSReady(true);
  desktop.getAllFiles();  // the first pass after start does one-off work
  uint64_t first = desktop.passes();
  Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  uint64_t passes = desktop.passes() - first;
  double seconds = secondsSince(start);
  figures.passMicroseconds = passes ? seconds * 1e6 / double(passes) : 0;

  const int queries = 20;
  desktop.takeSlowestPass();
  start = Clock::now();
  for (int i = 0; i < queries; ++i) figures.filesAnswered = desktop.getAllFiles();
  figures.getFilesMilliseconds = secondsSince(start) * 1e3 / queries;
  figures.slowestPassMilliseconds = desktop.takeSlowestPass() * 1e3;
  if (clear) {
    // Clearing the cache reports every record removed to the page.
    size_t before = figures.filesAnswered;
    desktop.takeSlowestPass();
    desktop.clearCache();
    // No query meanwhile: its answer would share the passes.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    figures.clearSlowestMilliseconds = desktop.takeSlowestPass() * 1e3;
    figures.cleared = before - desktop.getAllFiles();
  }
  desktop.clean();
  return figures;
}

// Adds `count` records after the first `from` through the repositories of an
// open session; closing the session saves them in the indexes, from which the
// next start loads them.
void populate(BenchDesktop& desktop, int from, int count) {
  desktop.openSession(VLDesktop::kAnonymous);
  const char* names[] = {"cache", "import", "download"};
  uint32_t format = VLFileFormat::getTable()[0].getId();
  for (int i = from; i < from + count; ++i) {
    VLRepository* repository = VLPlayer::instance()->getRepository(names[i % 3]);
    // Metadata and provider data as long as the page's own (heap texts,
    // copied into every answer).
    if (VLRepositoryFile* file = repository->getFile(VLFileId(std::to_string(100000 + i), format), true)) {
      file->setMetadata("{\"title\":\"A track title " + std::to_string(i) +
                        "\",\"artist\":\"An artist\",\"album\":\"An album\",\"duration\":241}");
      file->setProviderData("{\"url\":\"https://media.example/track/" + std::to_string(i) + "\"}");
    }
  }
  desktop.closeSession();
}

}  // namespace

int main(int argc, char** argv) {
  const bool idleOnly = argc > 2 && std::string(argv[2]) == "--idle";
  int files = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (files <= 0) files = 100000;
  static NoSleepPlatform platform;
  VLPlatformFactory::setInstance(&platform);

  TestFolder home;
  const std::string config = home.file("config");
  mkdir(config.c_str(), 0755);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_CACHE_HOME", home.file("cache").c_str(), 1);
  setenv("XDG_STATE_HOME", home.file("state").c_str(), 1);
  setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
  std::ofstream(config + "/user-dirs.dirs") << "XDG_MUSIC_DIR=\"" << home.file("Music") << "\"\n";
  platform.getSettingHelper()->setValue(VLDesktop::kAnonymous, "OutputDevice", "5:0");

  const int sizes[] = {std::max(1, files / 100), std::max(1, files / 10), files};
  BenchDesktop desktop;
  if (idleOnly) {
    platform.useRealWaits(true);
    populate(desktop, 0, files);
    std::printf("%.6f\n", idleShareOfACore(desktop));
    return 0;
  }
  std::vector<Figures> figures;
  int made = 0;
  for (int size : sizes) {
    populate(desktop, made, size - made);
    made = size;
    figures.push_back(measure(desktop, size == sizes[2]));
  }
  double idleShare = -1;
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) std::snprintf(self, sizeof(self), "%s", argv[0]);
  const std::string idleCommand = std::string(self) + " " + std::to_string(files) + " --idle";
  if (FILE* idle = popen(idleCommand.c_str(), "r")) {
    if (std::fscanf(idle, "%lf", &idleShare) != 1) idleShare = -1;
    pclose(idle);
  }

  std::printf("core worker pass (sleep excluded), by files in the repositories\n");
  std::printf("  %-24s", "files");
  for (int size : sizes) std::printf(" %12d", size);
  std::printf(" %18s\n", "largest/smallest");
  std::printf("  %-24s", "one pass (us)");
  for (const Figures& f : figures) std::printf(" %12.1f", f.passMicroseconds);
  std::printf(" %18.2f\n", figures.back().passMicroseconds / figures.front().passMicroseconds);
  std::printf("  %-24s", "getFiles answered (ms)");
  for (const Figures& f : figures) std::printf(" %12.2f", f.getFilesMilliseconds);
  std::printf(" %18.2f\n", figures.back().getFilesMilliseconds / figures.front().getFilesMilliseconds);
  std::printf("  %-24s", "slowest pass, getFiles (ms)");
  for (const Figures& f : figures) std::printf(" %12.2f", f.slowestPassMilliseconds);
  std::printf(" %18.2f\n", figures.back().slowestPassMilliseconds / figures.front().slowestPassMilliseconds);
  std::printf("  %-24s", "files answered");
  for (const Figures& f : figures) std::printf(" %12zu", f.filesAnswered);
  std::printf(" %18.2f\n", double(sizes[2]) / double(sizes[0]));
  std::printf("  slowest pass while the cache of %zu records is cleared: %.2f ms\n", figures.back().cleared,
              figures.back().clearSlowestMilliseconds);
  std::printf("  idle core with %d files: CPU time / wall time over 30 s = %.2f%% of a core (goal under 1%%)\n",
              sizes[2], idleShare * 100);
  return 0;
}
