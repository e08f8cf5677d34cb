// Index load: VLRepository::init over 100,000 rows (open, schema checks,
// sync, one VLRepositoryFile per row, size check) beside a plain SELECT of
// every column of the same rows with the SQLite C interface, in the same run.
// The rows are like those of a library of completed downloads: each has a
// known size, and its content file (sparse, of that size) and its full block
// bitmap exist, so the sync checks both on disk as it does for a user's files.
// The SELECT with the two size checks per row, which the load must make as
// well, is printed as its floor, with both ratios. The load checks the files
// on a few threads beside its scan: its CPU time, over all threads, is
// printed as well, so that the wall time misleads nobody.
//
// Then the starts that met files gone, each beside the same SELECT: the
// cache's files removed by a cleaner (every row goes), the downloads' files
// gone from their folder (every download is kept and fetched again when it is
// queued), and the download folder gone with the disk that held it. And the
// memory a loaded record holds, beside the bytes of its row.
//
// Usage: repository_index_bench [rows]   (default 100000)

#include <malloc.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "BenchStats.h"
#include "TestFolder.h"
#include "VLBlockBitmap.h"
#include "VLFileHelper.h"
#include "VLFileId.h"
#include "VLHttpRepositoryProvider.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"

namespace {

// CPU time of the whole process (every thread), in seconds.
double processCpu() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    std::fprintf(stderr, "repository_index_bench: SQLite failed (%d) %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// A track's size, varying between about 3 and 12 MB as downloads do.
int64_t trackSize(int i) {
  return 3000000 + int64_t((uint64_t(i) * 7919u) % 9000000u);
}

// The rows a repository writes for completed files, with their files on disk:
// the content file at its full size (sparse: only its size is ever checked)
// and the bitmap with every block marked. With withFiles false only the rows
// are written (files that have gone since); repository names the rows' own.
void fillIndex(const std::string& path, const std::string& directory, int rows, bool withFiles = true,
               const std::string& repository = "download") {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db);
  check(sqlite3_exec(db, VLRepository::kCreateFilesTable, nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db,
                           "INSERT INTO files VALUES (?, 'bench', ?, 6, ?, ?, 'etag-value', ?, "
                           "'{\"title\":\"A track title\",\"artist\":\"An artist\"}', 'provider data', ?, ?, "
                           "1700000000, 1700000100, 3, 1700000200)",
                           -1, &insert, nullptr),
        db);
  VLRepository namer(nullptr, nullptr, repository, "bench", 604800, "", directory, 0, false, 0);
  for (int i = 0; i < rows; ++i) {
    std::string entity = "entity-" + std::to_string(i);
    std::string name = namer.makeFileName(VLFileId(entity, 6u));
    int64_t size = trackSize(i);
    std::string content = directory + "/" + name;
    std::vector<unsigned char> bitmap(getBitmapSize(size_t(size)), 0);
    markBlocks(bitmap.data(), 0, size_t(size));
    if (withFiles && (!TestFolder::write(content, std::string()) || truncate(content.c_str(), off_t(size)) != 0 ||
                      !TestFolder::write(content + ".part", std::string(bitmap.begin(), bitmap.end())))) {
      std::fprintf(stderr, "repository_index_bench: cannot write the files of %s\n", name.c_str());
      std::exit(1);
    }
    sqlite3_bind_text(insert, 1, repository.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, entity.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 3, size);
    sqlite3_bind_int64(insert, 4, size);
    sqlite3_bind_text(insert, 5, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 6, i);
    sqlite3_bind_int64(insert, 7, repository == "cache" ? 0 : 16);
    check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

// Reads every column of every row; with a directory, also stats each row's
// content file and bitmap as the sync does. rowBytes (when not null) receives
// the bytes of every column read.
double selectEverything(const std::string& path, const std::string& directory, int* rows,
                        const std::string& repository = "download", size_t* rowBytes = nullptr) {
  Clock::time_point start = Clock::now();
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db);
  sqlite3_stmt* select = nullptr;
  check(sqlite3_prepare_v2(db,
                           "SELECT entity_id, format_id, file_name, size, loaded, etag, metadata, position, custom, "
                           "last_validation, last_open, provider_data, total_lock_count, last_add FROM files WHERE "
                           "repository = ? AND identity = ?",
                           -1, &select, nullptr),
        db);
  sqlite3_bind_text(select, 1, repository.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(select, 2, "bench", -1, SQLITE_TRANSIENT);
  size_t bytes = 0;
  size_t columnBytes = 0;
  *rows = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    for (int column = 0; column < 14; ++column) {
      const unsigned char* text = sqlite3_column_text(select, column);
      bytes += text ? 1 : 0;
      columnBytes += size_t(sqlite3_column_bytes(select, column));
    }
    if (!directory.empty()) {
      std::string content = directory + "/" + reinterpret_cast<const char*>(sqlite3_column_text(select, 2));
      struct stat status;
      bytes += stat(content.c_str(), &status) == 0 ? 1 : 0;
      bytes += stat((content + ".part").c_str(), &status) == 0 ? 1 : 0;
    }
    ++*rows;
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  double seconds = secondsSince(start);
  if (bytes == 0) std::fprintf(stderr, "repository_index_bench: nothing read\n");
  if (rowBytes) *rowBytes = columnBytes;
  return seconds;
}

// Bytes of the heap in use.
size_t heapInUse() {
  return mallinfo2().uordblks;
}

// The heap that the loaded records hold, a record (the repository loaded,
// less the heap before it), and the bytes of a row's columns.
void measureRecords(const std::string& databases, const std::string& directory, int rows) {
  malloc_trim(0);
  const size_t before = heapInUse();
  size_t held = 0;
  size_t files = 0;
  {
    VLHttpRepositoryProvider provider;
    VLRepository repository(nullptr, &provider, "download", "bench", 604800, databases, directory, 0, false, 0);
    repository.init();
    files = repository.getFiles().size();
    held = heapInUse() - before;
    repository.close();
  }
  int selected = 0;
  size_t rowBytes = 0;
  selectEverything(databases + "/download.db", "", &selected, "download", &rowBytes);
  std::printf("memory of the loaded records (%zu records)\n", files);
  std::printf("  heap a record          %8.0f bytes\n", double(held) / double(files ? files : 1));
  std::printf("  its row's columns      %8.0f bytes (baseline)\n", double(rowBytes) / double(selected ? selected : 1));
  std::printf("  ratio record/row       %8.2f\n", double(held) / double(rowBytes ? rowBytes : 1));
}

// One start that met the rows' files gone: the index is copied from `index`
// before each pass (the start changes it), and init is timed beside the
// SELECT of the same rows. A missing directory is the disk that held it.
void measureGone(const char* what, const std::string& index, const std::string& databases, const std::string& directory,
                 const std::string& repository, int rows) {
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  const std::string path = databases + "/" + repository + ".db";
  double best = 1e9;
  double bestSelect = 1e9;
  size_t loaded = 0;
  for (int pass = 0; pass < 3; ++pass) {
    files->removeFile(path);
    if (!files->copyFile(index, path)) {
      std::fprintf(stderr, "repository_index_bench: cannot copy the index\n");
      std::exit(1);
    }
    int selected = 0;
    bestSelect = std::min(bestSelect, selectEverything(path, "", &selected, repository));
    VLHttpRepositoryProvider provider;
    Clock::time_point start = Clock::now();
    VLRepository gone(nullptr, &provider, repository, "bench", 604800, databases, directory, 0, repository == "cache",
                      0);
    gone.init();
    best = std::min(best, secondsSince(start));
    loaded = gone.getFiles().size();
    gone.close();
  }
  std::printf("start of %d rows whose files are gone: %s (%zu records kept)\n", rows, what, loaded);
  std::printf("  VLRepository::init     %8.1f ms\n", best * 1000);
  std::printf("  SELECT every column    %8.1f ms  (baseline)\n", bestSelect * 1000);
  std::printf("  ratio init/select      %8.2f\n", best / bestSelect);
}

// The load, and (in save) the close that writes every row back.
// The load's wall time is returned, its CPU time (all threads) goes to cpu.
double loadRepository(const std::string& databases, const std::string& directory, size_t* files, double* save,
                      double* cpu) {
  VLHttpRepositoryProvider provider;
  Clock::time_point start = Clock::now();
  const double cpuStart = processCpu();
  VLRepository repository(nullptr, &provider, "download", "bench", 604800, databases, directory, 0, false, 0);
  repository.init();
  double seconds = secondsSince(start);
  *cpu = processCpu() - cpuStart;
  *files = repository.getFiles().size();
  start = Clock::now();
  repository.close();
  *save = secondsSince(start);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  TestFolder folder;
  const std::string databases = folder.folder("db");
  const std::string directory = folder.folder("files");
  fillIndex(databases + "/download.db", directory, rows);

  double best = 1e9;
  double bestCpu = 1e9;
  double bestSave = 1e9;
  double bestSelect = 1e9;
  double bestChecked = 1e9;
  size_t files = 0;
  int selected = 0;
  for (int pass = 0; pass < 3; ++pass) {
    double save = 0;
    double cpu = 0;
    best = std::min(best, loadRepository(databases, directory, &files, &save, &cpu));
    bestCpu = std::min(bestCpu, cpu);
    bestSave = std::min(bestSave, save);
    bestSelect = std::min(bestSelect, selectEverything(databases + "/download.db", "", &selected));
    int checked = 0;
    bestChecked = std::min(bestChecked, selectEverything(databases + "/download.db", directory, &checked));
  }
  if (files != size_t(rows) || selected != rows)
    std::fprintf(stderr, "repository_index_bench: loaded %zu files and selected %d rows of %d\n", files, selected,
                 rows);
  std::printf("index load of %d rows of completed files (content and bitmap on disk)\n", rows);
  std::printf("  VLRepository::init     %8.1f ms  (%.0f rows/s)\n", best * 1000, rows / best);
  std::printf("  init CPU (all threads) %8.1f ms  (the checks run on a few threads beside the scan)\n", bestCpu * 1000);
  std::printf("  SELECT every column    %8.1f ms  (%.0f rows/s, baseline)\n", bestSelect * 1000, rows / bestSelect);
  std::printf("  SELECT + 2 stat() a row %7.1f ms  (the floor: the rows and the files' own checks)\n",
              bestChecked * 1000);
  std::printf("  ratio init/select      %8.2f\n", best / bestSelect);
  std::printf("  ratio floor/select     %8.2f\n", bestChecked / bestSelect);
  std::printf("  ratio init/floor       %8.2f\n", best / bestChecked);
  std::printf("  ratio init CPU/select  %8.2f\n", bestCpu / bestSelect);
  std::printf("  (for scale: the save that writes every row back, at close and every minute, %.1f ms)\n",
              bestSave * 1000);
  measureRecords(databases, directory, rows);

  // The rows alone, as indexes kept whole while their files went.
  const std::string gone = folder.folder("gone");
  fillIndex(gone + "/cache.db", directory, rows, false, "cache");
  fillIndex(gone + "/download.db", directory, rows, false, "download");
  const std::string emptied = folder.folder("emptied");
  measureGone("a cleaner emptied the cache", gone + "/cache.db", folder.folder("gone-db-cache"), emptied, "cache",
              rows);
  // One download still there: the folder is the downloads' own.
  const std::string kept = folder.folder("kept");
  VLRepository namer(nullptr, nullptr, "download", "bench", 604800, "", kept, 0, false, 0);
  const std::string survivor = kept + "/" + namer.makeFileName(VLFileId("entity-0", 6u));
  if (!TestFolder::write(survivor, std::string()) || truncate(survivor.c_str(), off_t(trackSize(0))) != 0)
    std::fprintf(stderr, "repository_index_bench: cannot write the surviving download\n");
  measureGone("the downloads' files, not their folder", gone + "/download.db", folder.folder("gone-db-download"), kept,
              "download", rows);
  measureGone("the download folder with its disk", gone + "/download.db", folder.folder("gone-db-folder"),
              folder.folder("mount-point") + "/Velora", "download", rows);
  return 0;
}
