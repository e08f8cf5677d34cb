// Web storage throughput: VLLocalStorage's setItem and getItem beside the same
// statements run straight on SQLite (one prepared statement reused, the best a
// caller of SQLite can do) on the same schema, in the same run, same folder.
//
// Usage: storage_bench [operations]   (default 2000)

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchStats.h"
#include "VLLocalStorage.h"
#include "TestFolder.h"

namespace {

std::vector<std::string> makeKeys(int count) {
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) keys.push_back("key-" + std::to_string(i));
  return keys;
}

struct Figures {
  double setPerSecond = 0;
  double getPerSecond = 0;
};

Figures runStore(const std::string& dir, const std::vector<std::string>& keys, const std::string& value) {
  Figures figures;
  VLLocalStorage store;
  if (!store.init(dir, "localStorage")) {
    std::fprintf(stderr, "storage_bench: cannot open the store in %s\n", dir.c_str());
    std::exit(1);
  }
  Clock::time_point start = Clock::now();
  for (const std::string& key : keys) store.setItem(key, value);
  figures.setPerSecond = keys.size() / secondsSince(start);

  std::string read;
  size_t bytes = 0;
  start = Clock::now();
  for (const std::string& key : keys) {
    store.getItem(key, &read);
    bytes += read.size();
  }
  figures.getPerSecond = keys.size() / secondsSince(start);
  if (bytes != keys.size() * value.size())
    std::fprintf(stderr, "storage_bench: store read back %zu bytes, expected %zu\n", bytes, keys.size() * value.size());
  return figures;
}

void check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    std::fprintf(stderr, "storage_bench: SQLite failed (%d) %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

Figures runRawSqlite(const std::string& path, const std::vector<std::string>& keys, const std::string& value) {
  Figures figures;
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db);
  check(sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS \"storage\" ( \"key\" VARCHAR NOT NULL, \"value\" VARCHAR NOT "
                     "NULL, PRIMARY KEY (key))",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO storage (key, value) VALUES (?, ?)", -1, &insert, nullptr), db);
  Clock::time_point start = Clock::now();
  for (const std::string& key : keys) {
    sqlite3_bind_text(insert, 1, key.data(), int(key.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, value.data(), int(value.size()), SQLITE_STATIC);
    check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  figures.setPerSecond = keys.size() / secondsSince(start);
  sqlite3_finalize(insert);

  sqlite3_stmt* select = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT value FROM storage WHERE key = ?", -1, &select, nullptr), db);
  size_t bytes = 0;
  start = Clock::now();
  for (const std::string& key : keys) {
    sqlite3_bind_text(select, 1, key.data(), int(key.size()), SQLITE_STATIC);
    if (sqlite3_step(select) == SQLITE_ROW) bytes += size_t(sqlite3_column_bytes(select, 0));
    sqlite3_reset(select);
  }
  figures.getPerSecond = keys.size() / secondsSince(start);
  sqlite3_finalize(select);
  sqlite3_close(db);
  if (bytes != keys.size() * value.size())
    std::fprintf(stderr, "storage_bench: raw SQLite read back %zu bytes\n", bytes);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int operations = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (operations <= 0) operations = 2000;
  TestFolder folder;
  std::vector<std::string> keys = makeKeys(operations);
  std::string value(256, 'v');

  Figures raw = runRawSqlite(folder.file("raw.db"), keys, value);
  Figures store = runStore(folder.path(), keys, value);

  std::printf("web storage, %d keys, 256-byte values (operations per second)\n", operations);
  std::printf("  %-10s %12s %12s %8s\n", "", "store", "raw SQLite", "ratio");
  std::printf("  %-10s %12.0f %12.0f %8.2f\n", "setItem", store.setPerSecond, raw.setPerSecond,
              store.setPerSecond / raw.setPerSecond);
  std::printf("  %-10s %12.0f %12.0f %8.2f\n", "getItem", store.getPerSecond, raw.getPerSecond,
              store.getPerSecond / raw.getPerSecond);
  return 0;
}
