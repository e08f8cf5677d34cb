// How the repository's costs grow with its size: one queue change (the
// download queue's pass that applies a hide, with the index save it makes)
// and clearing the cache, at 100, 1,000, 10,000 and 100,000 files, side by
// side in the same run, with the ratios that matter: a queue change at the
// largest size against the smallest, and clearing 10,000 against 1,000.
//
// Clearing is shown as the one update that takes the request, as the slowest
// update until every file is gone (what holds up the worker, and playback with
// it) and as the total until every file is gone. Beside the slowest update,
// its baseline: the same rows deleted by one DELETE in one transaction with
// the SQLite C interface (a copy of the same index, synchronous writes off as
// the repository has them), which is what a clear that deleted its rows in one
// pass would hold the worker for at least.
//
// And the 60-second index save, as the slowest update until it is done, with
// every row changed and after a clear has deleted every record.
//
// Usage: repository_scale_bench [largest [largest cleared]]   (default 100000
// for both; clearing makes two files a record)

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BenchStats.h"
#include "TestFolder.h"
#include "VLBlockBitmap.h"
#include "VLDownloader.h"
#include "VLFileHelper.h"
#include "VLHttpRepositoryProvider.h"
#include "VLLinuxFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

namespace {

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    std::fprintf(stderr, "repository_scale_bench: SQLite failed (%d) %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

bool writeFile(const std::string& path, const char* bytes, size_t length) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0) return false;
  bool written = write(descriptor, bytes, length) == ssize_t(length);
  return close(descriptor) == 0 && written;
}

// Index rows (and, with files, complete one-block files on disk) for count
// records of a repository, made with SQLite and plain file calls so that the
// set-up does not weigh on what is measured.
void fill(VLRepository& names, const std::string& database, const std::string& directory, int count, bool files,
          int state) {
  sqlite3* db = nullptr;
  check(sqlite3_open(database.c_str(), &db), db);
  check(sqlite3_exec(db, VLRepository::kCreateFilesTable, nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db,
                           "INSERT INTO files VALUES (?, 'bench', ?, 6, ?, ?, 'etag-value', ?, "
                           "'{\"title\":\"A track title\",\"artist\":\"An artist\"}', 'provider data', ?, ?, "
                           "1700000000, 1700000100, 3, 1700000200)",
                           -1, &insert, nullptr),
        db);
  const char block[1] = {'x'};
  const char bitmap[1] = {1};
  for (int i = 0; i < count; ++i) {
    std::string entity = "entity-" + std::to_string(i);
    std::string name = names.makeFileName(VLFileId(entity, 6u));
    sqlite3_bind_text(insert, 1, names.getName().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, entity.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 3, files ? 1 : -1);
    sqlite3_bind_int64(insert, 4, files ? 1 : 0);
    sqlite3_bind_text(insert, 5, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 6, i);
    sqlite3_bind_int64(insert, 7, state);
    check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
    if (files &&
        (!writeFile(directory + "/" + name, block, 1) || !writeFile(directory + "/" + name + ".part", bitmap, 1))) {
      std::fprintf(stderr, "repository_scale_bench: unable to write %s\n", name.c_str());
      std::exit(1);
    }
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

struct Figures {
  double queueChange = 0;     // the downloader's pass that applies one hide (median)
  double indexSave = 0;       // the save of one changed row (median)
  double saveAll = 0;         // the update that saves with every row changed
  double saveCleared = 0;     // the update that saves once a clear deleted every record
  double clearUpdate = 0;     // the update that takes the clear-all request
  double clearSlowest = 0;    // the slowest update until every file is gone
  double clearOneDelete = 0;  // baseline: the rows deleted by one DELETE in one transaction
  double clearTotal = 0;      // until every file is gone
};

// The Linux platform with a clock that can be moved ahead, so that the
// 60-second save comes without waiting for it.
class MovableClockPlatform : public VLLinuxFactory {
 public:
  double getTime() override { return VLLinuxFactory::getTime() + ahead_; }
  void moveAhead(double seconds) { ahead_ += seconds; }

 private:
  double ahead_ = 0;
};

MovableClockPlatform g_platform;

// The slowest update until the repository's next 60-second save is done: the
// clock moves past the period, then updates run until one finds nothing left
// to save.
double timeSavingUpdate(VLRepository& repository) {
  g_platform.moveAhead(61);
  double slowest = 0;
  for (int i = 0; i < 10000; ++i) {
    Clock::time_point start = Clock::now();
    repository.update();
    slowest = std::max(slowest, secondsSince(start));
    if (!repository.hasUnsavedRows()) break;
  }
  return slowest;
}

void measureQueue(int count, Figures* figures) {
  TestFolder folder;
  VLHttpRepositoryProvider provider;
  VLRepository import(nullptr, &provider, "import", "bench", 604800, folder.folder("db"), folder.folder("import"), 0,
                      false, 0);
  VLRepository download(nullptr, &provider, "download", "bench", 604800, folder.folder("db"), folder.folder("download"),
                        0, false, 0);
  fill(download, folder.file("db/download.db"), folder.file("download"), count, false, VLDownloader::DOWNLOAD_DONE);
  import.init();
  download.init();
  VLRepository* repositories[] = {&import, &download};
  VLDownloader downloader(repositories, 2, 3);
  downloader.update();
  std::vector<double> changes;
  std::vector<double> saves;
  for (int i = 0; i < 21; ++i) {
    VLFileId id("entity-" + std::to_string(i * (count / 21)), 6u);
    Clock::time_point start = Clock::now();
    downloader.hideFile(&download, id);
    downloader.update();
    changes.push_back(secondsSince(start));
    VLRepositoryFile* file = download.getFile(id, false);
    file->setPosition(count + i);
    start = Clock::now();
    download.saveFiles();
    saves.push_back(secondsSince(start));
  }
  figures->queueChange = median(changes);
  figures->indexSave = median(saves);
  // Every row changed since the last save, then the update whose 60-second
  // save writes them (the clock moves past the period by waiting for it).
  for (auto& entry : download.getFiles()) entry.second->setPosition(entry.second->getPosition() + 1);
  figures->saveAll = timeSavingUpdate(download);
  downloader.clean();
  import.close();
  download.close();
}

// One DELETE of the repository's rows in one transaction, on a copy of the
// index; seconds.
double timeOneDelete(const std::string& database, const std::string& copy) {
  if (!VLPlatformFactory::instance()->getFileHelper()->copyFile(database, copy)) {
    std::fprintf(stderr, "repository_scale_bench: unable to copy %s\n", database.c_str());
    std::exit(1);
  }
  sqlite3* db = nullptr;
  check(sqlite3_open(copy.c_str(), &db), db);
  check(sqlite3_exec(db, "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr), db);
  Clock::time_point start = Clock::now();
  check(sqlite3_exec(db, "BEGIN; DELETE FROM files WHERE repository = 'cache' AND identity = 'bench'; COMMIT", nullptr,
                     nullptr, nullptr),
        db);
  double seconds = secondsSince(start);
  sqlite3_close(db);
  return seconds;
}

void measureClear(int count, Figures* figures) {
  TestFolder folder;
  VLHttpRepositoryProvider provider;
  VLRepository cache(nullptr, &provider, "cache", "bench", 604800, folder.folder("db"), folder.folder("cache"), 0, true,
                     0);
  fill(cache, folder.file("db/cache.db"), folder.file("cache"), count, true, 0);
  figures->clearOneDelete = timeOneDelete(folder.file("db/cache.db"), folder.file("copy.db"));
  cache.init();
  if (cache.getFiles().size() != size_t(count)) {
    std::fprintf(stderr, "repository_scale_bench: %zu of %d files loaded\n", cache.getFiles().size(), count);
    std::exit(1);
  }
  cache.update();
  cache.clearAll();
  Clock::time_point start = Clock::now();
  cache.update();
  figures->clearUpdate = secondsSince(start);
  figures->clearSlowest = figures->clearUpdate;
  // The files go on the trash's thread after their records: the updates
  // go on (as the worker's passes do, about every millisecond here) until
  // they are gone too, then the size check after the last deletion.
  bool last = false;
  while (!last) {
    last = cache.getFiles().empty() && !cache.isDiscarding();
    Clock::time_point updateStart = Clock::now();
    cache.update();
    figures->clearSlowest = std::max(figures->clearSlowest, secondsSince(updateStart));
    if (cache.getFiles().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  figures->clearTotal = secondsSince(start);
  figures->saveCleared = timeSavingUpdate(cache);
  cache.close();
}

}  // namespace

int main(int argc, char** argv) {
  VLPlatformFactory::setInstance(&g_platform);
  const int largest = argc > 1 ? std::atoi(argv[1]) : 100000;
  // Clearing makes two files a record: above this many, only the queue and
  // the saves are measured.
  const int largestCleared = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::vector<int> counts;
  for (int count = 100; count <= largest; count *= 10) counts.push_back(count);
  std::vector<Figures> figures(counts.size());
  for (size_t i = 0; i < counts.size(); ++i) {
    measureQueue(counts[i], &figures[i]);
    if (counts[i] <= largestCleared) measureClear(counts[i], &figures[i]);
  }

  std::printf("%10s  %18s  %16s  %20s  %22s  %28s  %18s\n", "files", "queue change (ms)", "index save (ms)",
              "clear, its update (ms)", "clear, slowest update (ms)", "baseline: one DELETE (ms)",
              "clear, until gone (ms)");
  for (size_t i = 0; i < counts.size(); ++i)
    std::printf("%10d  %18.3f  %16.3f  %20.3f  %22.3f  %28.3f  %18.3f\n", counts[i], figures[i].queueChange * 1e3,
                figures[i].indexSave * 1e3, figures[i].clearUpdate * 1e3, figures[i].clearSlowest * 1e3,
                figures[i].clearOneDelete * 1e3, figures[i].clearTotal * 1e3);
  std::printf("\n%10s  %34s  %34s\n", "files", "60-s save, every row changed (ms)", "60-s save after a clear (ms)");
  for (size_t i = 0; i < counts.size(); ++i)
    std::printf("%10d  %34.3f  %34.3f\n", counts[i], figures[i].saveAll * 1e3, figures[i].saveCleared * 1e3);
  std::printf("(the slowest update until the save is done)\n");
  std::printf("queue change at %d files / at %d files: %.2f (goal at most 3)\n", counts.back(), counts.front(),
              figures.back().queueChange / figures.front().queueChange);
  std::printf("index save at %d files / at %d files: %.2f\n", counts.back(), counts.front(),
              figures.back().indexSave / figures.front().indexSave);
  if (counts.size() >= 3)
    std::printf("clearing 10000 files / 1000 files: its update %.2f (goal at most 5), until gone %.2f\n",
                figures[2].clearUpdate / figures[1].clearUpdate, figures[2].clearTotal / figures[1].clearTotal);
  return 0;
}
