#include "VLRepositoryIndexRescue.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLSQLiteDatabase.h"
#include "VLSQLiteStatement.h"

namespace {

// The rows read out of a damaged file, each value an SQLite copy.
class SalvagedRows {
 public:
  SalvagedRows() = default;
  SalvagedRows(const SalvagedRows&) = delete;
  SalvagedRows& operator=(const SalvagedRows&) = delete;
  ~SalvagedRows() {
    for (auto& row : rows)
      for (sqlite3_value* value : row) sqlite3_value_free(value);
  }
  std::string tableDefinition;
  int columns = 0;
  std::vector<std::vector<sqlite3_value*>> rows;
  std::set<int64_t> rowids;  // of the rows read
};

bool isDamageCode(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Rowids tried one by one past a row that cannot be read, before the steps
// grow: a damaged leaf page holds a few dozen rows, and a row beyond it is
// then found without skipping any that can be read; a damaged interior page
// hides many more, and doubling steps cross them in a bounded number of tries.
const int64_t kSingleSteps = 4096;
// How far past the last row read the search goes when the table's largest
// rowid cannot be read either.
const int64_t kSearchReach = int64_t(1) << 24;

// The table's largest rowid (found through the right edge of its tree), or
// `fallback` when that cannot be read.
int64_t largestRowid(sqlite3* db, int64_t fallback) {
  sqlite3_stmt* statement = nullptr;
  int64_t largest = fallback;
  if (sqlite3_prepare_v2(db, "SELECT max(rowid) FROM files NOT INDEXED", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) == SQLITE_INTEGER)
    largest = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return largest;
}

// Reads the rows in rowid order through the table's own tree (the indexes of
// a damaged file may be what is damaged, so none is used). A row that cannot
// be read (a damaged page) is stepped over: the scan seeks again at larger
// rowids until rows can be read again, so that every page still readable
// gives its rows, not only those before the first damage.
void salvageRows(sqlite3* db, SalvagedRows* salvaged) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT rowid, * FROM files NOT INDEXED WHERE rowid >= ? ORDER BY rowid", -1, &statement,
                         nullptr) != SQLITE_OK)
    return;
  salvaged->columns = sqlite3_column_count(statement) - 1;
  int64_t next = INT64_MIN;
  int64_t lastRead = 0;
  int64_t failedTries = 0;
  int64_t end = 0;
  size_t unreadable = 0;
  for (;;) {
    sqlite3_bind_int64(statement, 1, next);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      std::vector<sqlite3_value*> row;
      for (int column = 1; column <= salvaged->columns; ++column)
        row.push_back(sqlite3_value_dup(sqlite3_column_value(statement, column)));
      salvaged->rows.push_back(std::move(row));
      lastRead = sqlite3_column_int64(statement, 0);
      salvaged->rowids.insert(lastRead);
      failedTries = 0;
    }
    const int code = sqlite3_reset(statement);
    if (rc == SQLITE_DONE) break;
    if (failedTries == 0) {
      ++unreadable;
      VL_LOG_ERROR("Damaged repository index has rows that cannot be read after rowid " << lastRead << " : (" << code
                                                                                        << ") " << sqlite3_errmsg(db));
      if (end == 0) end = largestRowid(db, lastRead + kSearchReach);
      next = std::max(next, lastRead);
    }
    ++failedTries;
    const int64_t step =
        failedTries <= kSingleSteps ? 1 : int64_t(1) << std::min<int64_t>(failedTries - kSingleSteps, 40);
    if (next > end - step) break;
    next += step;
  }
  sqlite3_finalize(statement);
  if (unreadable > 0)
    VL_LOG_ERROR("Damaged repository index was read around "
                 << unreadable << " damaged parts : " << salvaged->rows.size() << " rows read");
}

// What the indexes of the table still tell of the rows that could not be read
// (the damage may have spared them): by rowid, each indexed column's text.
typedef std::map<int64_t, std::map<std::string, std::string>> IndexedColumns;

// Reads every entry that can be read of each index of the table (each scan
// reads the index alone), for the rowids not among those read.
void readIndexesOfLostRows(sqlite3* db, const SalvagedRows& salvaged, IndexedColumns* lost) {
  std::vector<std::string> indexes;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'files'", -1,
                         &statement, nullptr) == SQLITE_OK)
    while (sqlite3_step(statement) == SQLITE_ROW)
      indexes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  sqlite3_finalize(statement);
  for (const std::string& index : indexes) {
    std::vector<std::string> columns;
    statement = nullptr;
    if (sqlite3_prepare_v2(db, ("PRAGMA index_info(\"" + index + "\")").c_str(), -1, &statement, nullptr) == SQLITE_OK)
      while (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(statement, 2);
        if (name) columns.emplace_back(reinterpret_cast<const char*>(name));
      }
    sqlite3_finalize(statement);
    if (columns.empty()) continue;
    std::string sql = "SELECT rowid";
    for (const std::string& column : columns) sql += ", \"" + column + "\"";
    sql += " FROM files INDEXED BY \"" + index + "\"";
    statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
      while (sqlite3_step(statement) == SQLITE_ROW) {
        const int64_t rowid = sqlite3_column_int64(statement, 0);
        if (salvaged.rowids.count(rowid)) continue;
        for (size_t i = 0; i < columns.size(); ++i) {
          const unsigned char* text = sqlite3_column_text(statement, int(i) + 1);
          (*lost)[rowid][columns[i]] = text ? reinterpret_cast<const char*>(text) : "";
        }
      }
    sqlite3_finalize(statement);
  }
}

// Lists in the log the rows that could not be read, as far as the indexes
// still name them: their downloads leave the page's lists, and their files,
// kept on the disk, are named here for whoever looks for them.
void listLostRows(sqlite3* db, const SalvagedRows& salvaged) {
  IndexedColumns lost;
  readIndexesOfLostRows(db, salvaged, &lost);
  const size_t listed = 1000;
  size_t count = 0;
  for (auto& entry : lost) {
    if (++count > listed) break;
    std::map<std::string, std::string>& row = entry.second;
    auto value = [&row](const char* column) { return row.count(column) ? row[column] : std::string("?"); };
    VL_LOG_ERROR("Damaged repository index row cannot be read, its file is kept : "
                 << value("repository") << " " << value("identity") << " " << value("entity_id") << "_"
                 << value("format_id") << " " << value("file_name"));
  }
  if (lost.size() > listed)
    VL_LOG_ERROR("Damaged repository index rows that cannot be read, the first " << listed
                                                                                 << " listed : " << lost.size());
}

// Reads the table definition, then every row that can still be read, and
// lists those that cannot.
void salvage(const std::string& path, SalvagedRows* salvaged) {
  sqlite3* db = nullptr;
  if (VLSQLiteDatabase::open(path, VLSQLiteDatabase::Access::ReadOnly, VLSQLiteDatabase::WhenLocked::Fail, &db) !=
      SQLITE_OK)
    return;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'files'", -1, &statement,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    salvaged->tableDefinition = text ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(statement);
  if (!salvaged->tableDefinition.empty()) {
    salvageRows(db, salvaged);
    listLostRows(db, *salvaged);
  }
  VLSQLiteDatabase::close(db);
}

// Writes the rows into a new database at `path`. False when any of it could
// not be written (a full disk): the file is then no copy of the rows.
bool writeFresh(const std::string& path, SalvagedRows& salvaged, size_t* written) {
  sqlite3* db = nullptr;
  if (VLSQLiteDatabase::open(path, VLSQLiteDatabase::Access::ReadWrite, VLSQLiteDatabase::WhenLocked::Fail, &db) !=
      SQLITE_OK) {
    VL_LOG_ERROR("Unable to open SQLite database : " << path);
    return false;
  }
  *written = 0;
  bool ownDefinition = !salvaged.tableDefinition.empty() && VLSQLiteStatement::execute(db, salvaged.tableDefinition);
  bool ok = ownDefinition || VLSQLiteStatement::execute(db, VLRepository::kCreateFilesTable);
  if (ok && ownDefinition && salvaged.columns > 0) {
    ok = VLSQLiteStatement::execute(db, "BEGIN TRANSACTION");
    std::string sql = "INSERT OR IGNORE INTO files VALUES (?";
    for (int column = 1; column < salvaged.columns; ++column) sql += ", ?";
    sql += ")";
    sqlite3_stmt* insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < salvaged.rows.size(); ++i) {
      for (int column = 0; column < salvaged.columns; ++column)
        sqlite3_bind_value(insert, column + 1, salvaged.rows[i][size_t(column)]);
      const int rc = sqlite3_step(insert);
      // A row a constraint refuses is left out; any other failure fails the copy.
      ok = rc == SQLITE_DONE || (rc & 0xff) == SQLITE_CONSTRAINT;
      if (rc == SQLITE_DONE && sqlite3_changes(db) > 0) ++*written;
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = VLSQLiteStatement::execute(db, ok ? "END TRANSACTION" : "ROLLBACK") && ok;
  }
  if (!ok)
    VL_LOG_ERROR("Unable to write the rescued repository index : (" << sqlite3_errcode(db) << ") " << sqlite3_errmsg(db)
                                                                    << " " << path);
  return VLSQLiteDatabase::close(db) == SQLITE_OK && ok;
}

}  // namespace

VLRepositoryIndexRescue::VLRepositoryIndexRescue(const std::string& databasePath) : path_(databasePath) {}

bool VLRepositoryIndexRescue::isDamaged() const {
  sqlite3* db = nullptr;
  int rc = VLSQLiteDatabase::open(path_, VLSQLiteDatabase::Access::ReadOnly, VLSQLiteDatabase::WhenLocked::Fail, &db);
  bool damaged = isDamageCode(rc);
  if (rc == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &statement, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      const unsigned char* answer = sqlite3_column_text(statement, 0);
      damaged = !answer || std::string(reinterpret_cast<const char*>(answer)) != "ok";
    } else {
      damaged = isDamageCode(rc);
    }
    sqlite3_finalize(statement);
  }
  VLSQLiteDatabase::close(db);
  return damaged;
}

bool VLRepositoryIndexRescue::rebuild() const {
  SalvagedRows salvaged;
  salvage(path_, &salvaged);

  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  const std::string aside = getAsidePath();
  // The new index is written whole beside the damaged one and only then put
  // in its place: a kill, a power loss or a full disk in the middle leaves
  // the damaged file where the next start rescues it again, never an empty
  // index whose start would take the downloads' files for orphans.
  const std::string fresh = path_ + ".rescued";
  files->removeFile(fresh);
  files->removeFile(fresh + "-journal");
  size_t written = 0;
  if (!writeFresh(fresh, salvaged, &written)) {
    files->removeFile(fresh);
    files->removeFile(fresh + "-journal");
    VL_LOG_ERROR("Damaged repository index is left as it is, to be rescued at the next start : " << path_);
    return false;
  }
  // A journal left beside the damaged file must not be played back into
  // the new one: it goes aside with it.
  files->removeFile(aside + "-journal");
  files->renameFile(path_ + "-journal", aside + "-journal");
  if (!files->copyFile(path_, aside)) VL_LOG_WARN("Unable to keep a copy of the damaged repository index : " << aside);
  if (!files->renameFile(fresh, path_)) {
    VL_LOG_ERROR("Unable to put the rescued repository index in place : " << path_);
    files->removeFile(fresh);
    return false;
  }
  VL_LOG_ERROR("Repository index was damaged and is made again with the rows that could be read : "
               << path_ << " (" << written << " of " << salvaged.rows.size()
               << " rows kept, the damaged file is kept as " << aside << ")");
  return true;
}
