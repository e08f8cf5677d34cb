#include "VLStorage.h"

#include <sqlite3.h>

#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLPlatformFactory.h"
#include "VLSQLiteDatabase.h"
#include "VLSQLiteStatement.h"

namespace {

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS \"storage\" ( \"key\" VARCHAR NOT NULL, \"value\" VARCHAR NOT NULL, PRIMARY KEY (key))";
// LENGTH counts the characters of a text but the bytes of a blob: the limits
// are in bytes, as setItem counts them.
const char* const kPurgeLongRows =
    "DELETE FROM storage WHERE LENGTH(CAST(key AS BLOB)) > ? OR LENGTH(CAST(value AS BLOB)) > ?";
const char* const kPurgeBadSettings =
    "DELETE FROM storage WHERE key = 'settings' AND "
    "(LENGTH(CAST(value AS BLOB)) > 1000000 OR value LIKE '%\"0\":%')";
// Asked for before the table is made, it makes a new file give room back; an
// older file keeps its mode until a VACUUM.
const char* const kUseIncrementalVacuum = "PRAGMA auto_vacuum = INCREMENTAL";
const char* const kVacuumMode = "PRAGMA auto_vacuum";
const int kIncrementalVacuum = 2;
const char* const kVacuum = "VACUUM";
const char* const kUnusedBytes = "SELECT freelist_count * page_size FROM pragma_freelist_count, pragma_page_size";
const char* const kGiveBackUnusedPages = "PRAGMA incremental_vacuum";
// Changes when another connection commits to the file.
const char* const kDataVersion = "PRAGMA data_version";
const char* const kTotalBytes =
    "SELECT IFNULL(SUM(LENGTH(CAST(key AS BLOB)) + LENGTH(CAST(value AS BLOB))), 0) FROM storage";
const char* const kRowBytes =
    "SELECT LENGTH(CAST(key AS BLOB)) + LENGTH(CAST(value AS BLOB)) FROM storage WHERE key = ?";
const char* const kClear = "DELETE FROM storage";
const char* const kGetItem = "SELECT value FROM storage WHERE key = ?";
const char* const kRemoveItem = "DELETE FROM storage WHERE key = ?";
const char* const kSetItem = "INSERT OR REPLACE INTO storage (key, value) VALUES (?, ?)";
const char* const kLength = "SELECT COUNT(*) FROM storage";
const char* const kKey = "SELECT key FROM storage LIMIT ?, 1";

const char* const kSettingsKey = "settings";
const char* const kForbiddenInSettings = "\"0\":";

}  // namespace

VLStorage::VLStorage() : VLStorage(Sharing::SharedWithOtherProcesses) {}

VLStorage::VLStorage(Sharing sharing)
    : db_(nullptr), sharing_(sharing), lastFailure_(SQLITE_OK), totalBytes_(0), totalVersion_(-1) {}

VLStorage::~VLStorage() {
  closeConnection();
}

bool VLStorage::init(const std::string& dir, const std::string& name) {
  if (isOpen()) {
    VL_LOG_ERROR("Storage is already initialized : " << name_);
    return false;
  }
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  path_ = dir + files->getSeparator() + name + ".db";
  name_ = name;
  if (!files->createDirectory(dir)) {
    VL_LOG_ERROR("Unable to create local storage path : " << dir);
    return false;
  }
  if (!openDatabase(path_, VLSQLiteDatabase::Access::ReadWrite, VLSQLiteDatabase::WhenLocked::Wait)) return false;
  if (sharing_ == Sharing::ThisProcessOnly && !execute("PRAGMA locking_mode = EXCLUSIVE")) {
    closeConnection();
    return false;
  }
  if (!askForIncrementalVacuum() || !createSchema() || !purgeRowsBeyondLimits()) {
    closeConnection();
    return false;
  }
  convertToIncrementalVacuum();
  return true;
}

bool VLStorage::vacuumMode(int64_t* mode) {
  Answer answer;
  if (!execute(kVacuumMode, nullptr, 0, Column::Int64, &answer)) return false;
  *mode = answer.number;
  return true;
}

// Asking again in a file that has the mode already writes to it, which a
// full disk refuses.
bool VLStorage::askForIncrementalVacuum() {
  int64_t mode = 0;
  if (!vacuumMode(&mode)) return false;
  return mode == kIncrementalVacuum || execute(kUseIncrementalVacuum);
}

void VLStorage::convertToIncrementalVacuum() {
  int64_t mode = 0;
  if (!vacuumMode(&mode)) return;
  if (mode == kIncrementalVacuum) {
    giveBackUnusedRoom();
    return;
  }
  VL_LOG_INFO("Storage file is converted to give room back : " << path_);
  if (!execute(kVacuum)) VL_LOG_WARN("Storage file stays as it is until a later start : " << path_);
}

void VLStorage::giveBackUnusedRoom() {
  Answer unused;
  if (!execute(kUnusedBytes, nullptr, 0, Column::Int64, &unused) || unused.number < kReclaimBytes) return;
  VLSQLiteStatement* statement = statementFor(kGiveBackUnusedPages);
  if (!statement) return;
  // One row per page given back; the file is cut when the rows end.
  bool row = true;
  while (row && statement->step(&row)) {
  }
  statement->rewind();
}

bool VLStorage::initInMemory() {
  if (isOpen()) {
    VL_LOG_ERROR("Storage is already initialized : " << name_);
    return false;
  }
  if (!openDatabase(":memory:", VLSQLiteDatabase::Access::ReadWrite, VLSQLiteDatabase::WhenLocked::Fail)) return false;
  if (!createSchema()) {
    closeConnection();
    return false;
  }
  return true;
}

bool VLStorage::initReadOnly() {
  if (isOpen()) {
    VL_LOG_ERROR("Storage is already initialized : " << name_);
    return false;
  }
  if (!openDatabase(path_, VLSQLiteDatabase::Access::ReadOnly, VLSQLiteDatabase::WhenLocked::Wait)) return false;
  // The file may lack the table (made by no store): nothing could be read.
  if (!length(nullptr)) {
    closeConnection();
    return false;
  }
  return true;
}

bool VLStorage::openDatabase(const std::string& path, VLSQLiteDatabase::Access access,
                             VLSQLiteDatabase::WhenLocked whenLocked) {
  std::string failure;
  int rc = VLSQLiteDatabase::open(path, access, whenLocked, &db_, &failure);
  if (rc == SQLITE_OK) return true;
  lastFailure_ = rc;
  logSqliteFailure(rc, failure.c_str());
  return false;
}

bool VLStorage::failedForWantOfWriting() const {
  switch (lastFailure_ & 0xff) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN: return true;
    default: return false;
  }
}

bool VLStorage::createSchema() {
  return execute(kCreateTable);
}

// Rows written by another program, or by an older version with other limits,
// must not reach the page: drop exactly what setItem would refuse today, which
// getItem and removeItem could not reach either.
bool VLStorage::purgeRowsBeyondLimits() {
  const Binding limits[] = {Binding(int64_t(kMaxKeyBytes)), Binding(int64_t(kMaxValueBytes))};
  return execute(kPurgeLongRows, limits, 2, Column::None, nullptr) && execute(kPurgeBadSettings);
}

bool VLStorage::clean() {
  return closeConnection();
}

bool VLStorage::closeConnection() {
  if (!db_) return true;
  statements_.clear();
  int rc = VLSQLiteDatabase::close(db_);
  if (rc != SQLITE_OK) {
    logSqliteFailure(rc, sqlite3_errmsg(db_));
    return false;
  }
  db_ = nullptr;
  totalVersion_ = -1;
  return true;
}

bool VLStorage::clear() {
  if (!execute(kClear)) return false;
  totalBytes_ = 0;
  giveBackUnusedRoom();
  return true;
}

bool VLStorage::getItem(const std::string& key, std::string* value) {
  if (!checkKey(key)) return false;
  const Binding bindings[] = {Binding(key)};
  Answer answer;
  if (!execute(kGetItem, bindings, 1, Column::Text, &answer) || !answer.gotRow) return false;
  if (value) value->swap(answer.text);
  return true;
}

bool VLStorage::removeItem(const std::string& key) {
  if (!checkKey(key)) return false;
  int64_t bytes = 0;
  if (!rowBytes(key, &bytes)) return false;
  const Binding bindings[] = {Binding(key)};
  if (!execute(kRemoveItem, bindings, 1, Column::None, nullptr)) return false;
  // A total not counted yet, or changed by another connection, is counted
  // again at the next write.
  totalBytes_ -= bytes;
  giveBackUnusedRoom();
  return true;
}

bool VLStorage::setItem(const std::string& key, const std::string& value) {
  if (!checkKey(key)) return false;
  if (value.size() > kMaxValueBytes) {
    VL_LOG_ERROR("Value is too long : " << value.size());
    return false;
  }
  if (key == kSettingsKey &&
      (value.size() > kMaxSettingsBytes || value.find(kForbiddenInSettings) != std::string::npos)) {
    VL_LOG_ERROR("Invalid value for : " << key);
    return false;
  }
  int64_t growth = 0;
  if (!fitsInTotal(key, int64_t(key.size() + value.size()), &growth)) return false;
  const Binding bindings[] = {Binding(key), Binding(value)};
  if (!execute(kSetItem, bindings, 2, Column::None, nullptr)) return false;
  totalBytes_ += growth;
  // A smaller value in place of a large one leaves its room unused.
  if (growth < 0) giveBackUnusedRoom();
  return true;
}

bool VLStorage::fitsInTotal(const std::string& key, int64_t bytes, int64_t* growth) {
  int64_t total = 0, old = 0;
  if (!countTotal(&total) || !rowBytes(key, &old)) return false;
  *growth = bytes - old;
  if (*growth <= 0 || total + *growth <= kMaxTotalBytes) return true;
  VL_LOG_ERROR("Storage is full : " << name_ << " holds " << total << " bytes, a write of " << *growth
                                    << " more would pass its " << kMaxTotalBytes);
  return false;
}

bool VLStorage::countTotal(int64_t* total) {
  Answer version;
  if (!execute(kDataVersion, nullptr, 0, Column::Int64, &version)) return false;
  if (version.number != totalVersion_) {
    Answer sum;
    if (!execute(kTotalBytes, nullptr, 0, Column::Int64, &sum)) return false;
    totalBytes_ = sum.number;
    totalVersion_ = version.number;
  }
  *total = totalBytes_;
  return true;
}

bool VLStorage::rowBytes(const std::string& key, int64_t* bytes) {
  const Binding bindings[] = {Binding(key)};
  Answer answer;
  if (!execute(kRowBytes, bindings, 1, Column::Int64, &answer)) return false;
  *bytes = answer.number;
  return true;
}

bool VLStorage::length(int* count) {
  Answer answer;
  if (!execute(kLength, nullptr, 0, Column::Int64, &answer)) return false;
  if (count) *count = answer.gotRow ? int(answer.number) : 0;
  return true;
}

bool VLStorage::key(int index, std::string* key) {
  // SQLite reads a negative OFFSET as zero, which would answer the first key.
  if (index < 0) return false;
  const Binding bindings[] = {Binding(int64_t(index))};
  Answer answer;
  if (!execute(kKey, bindings, 1, Column::Text, &answer) || !answer.gotRow) return false;
  if (key) key->swap(answer.text);
  return true;
}

bool VLStorage::checkKey(const std::string& key) {
  if (key.size() <= kMaxKeyBytes) return true;
  VL_LOG_ERROR("Key is too long : " << key.size());
  return false;
}

bool VLStorage::execute(const char* sql, const Binding* bindings, int count, Column column, Answer* answer) {
  if (!db_) {
    VL_LOG_ERROR("Storage is not open : " << name_);
    return false;
  }
  VLSQLiteStatement* statement = statementFor(sql);
  if (!statement) {
    lastFailure_ = sqlite3_errcode(db_);
    return false;
  }
  bool done = true;
  for (int i = 0; done && i < count; ++i) {
    const Binding& binding = bindings[i];
    done = binding.text ? statement->bindText(i + 1, *binding.text) : statement->bindInt64(i + 1, binding.number);
  }
  bool row = false;
  done = done && statement->step(&row);
  if (!done) lastFailure_ = sqlite3_errcode(db_);
  if (done && row && answer) {
    answer->gotRow = true;
    if (column == Column::Text)
      answer->text = statement->columnText(0);
    else if (column == Column::Int64)
      answer->number = statement->columnInt64(0);
  }
  statement->rewind();
  return done;
}

VLSQLiteStatement* VLStorage::statementFor(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second.get();
  std::unique_ptr<VLSQLiteStatement> statement(new VLSQLiteStatement(db_));
  if (!statement->prepare(sql)) return nullptr;
  return statements_.emplace(sql, std::move(statement)).first->second.get();
}

void VLStorage::logSqliteFailure(int code, const char* message) {
  VL_LOG_ERROR("SQLite failed : (" << code << ") " << message);
}
