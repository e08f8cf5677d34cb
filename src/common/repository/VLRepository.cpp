#include "VLRepository.h"

#include <algorithm>
#include <memory>
#include <set>
#include <sqlite3.h>
#include <sstream>
#include <utility>
#include <vector>

#include "VLBlockBitmap.h"
#include "VLCrypto.h"
#include "VLFileHelper.h"
#include "VLLogger.h"
#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRepositoryFile.h"
#include "VLRepositoryHandler.h"
#include "VLSQLiteStatement.h"

namespace {

const size_t kAllOnes = SIZE_MAX;
// Space kept free on the volume whatever the limits say.
const double kReserve = 300000000.0;
// Seconds between size checks while full, and between probes while unwritable.
const double kRecheckPeriod = 3.0;
// Seconds between index saves.
const double kSavePeriod = 60.0;
// How long a statement waits for another process's lock on the index.
const int kBusyTimeoutMs = 2000;

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS \"files\" ( \"repository\" VARCHAR NOT NULL, \"identity\" VARCHAR NOT NULL, "
    "\"entity_id\" VARCHAR NOT NULL, \"format_id\" INTEGER NOT NULL, \"size\" INTEGER NOT NULL, \"loaded\" "
    "INTEGER NOT NULL, \"etag\" VARCHAR NOT NULL, \"file_name\" VARCHAR UNIQUE NOT NULL, \"metadata\" VARCHAR NOT "
    "NULL, \"provider_data\" VARCHAR NOT NULL, \"position\" INTEGER NOT NULL, \"custom\" INTEGER NOT NULL, "
    "\"last_validation\" INTEGER NOT NULL, \"last_open\" INTEGER NOT NULL, \"total_lock_count\" INTEGER NOT NULL, "
    "\"last_add\" INTEGER NOT NULL, PRIMARY KEY (repository, identity, entity_id, format_id))";

// The schema tests compare with a single-quoted 'files', which SQLite reads
// as a string whether or not double-quoted literals are enabled in its build.
const char* const kLacksProviderData =
    "SELECT COUNT(sql) FROM sqlite_master WHERE tbl_name = 'files' AND sql NOT LIKE '%\"provider_data\"%'";
const char* const kAddProviderData = "ALTER TABLE \"files\" ADD COLUMN \"provider_data\" VARCHAR DEFAULT '' NOT NULL";
const char* const kLacksTotalLockCount =
    "SELECT COUNT(sql) FROM sqlite_master WHERE tbl_name = 'files' AND sql NOT LIKE '%\"total_lock_count\"%'";
const char* const kAddTotalLockCount =
    "ALTER TABLE \"files\" ADD COLUMN \"total_lock_count\" INTEGER DEFAULT 0 NOT NULL";
const char* const kAddLastAdd = "ALTER TABLE \"files\" ADD COLUMN \"last_add\" INTEGER DEFAULT 0 NOT NULL";

const char* const kSelectSizes = "SELECT file_name, size FROM files WHERE repository = ? AND identity = ?";
const char* const kDeleteByName = "DELETE FROM files WHERE repository = ? AND identity = ? AND file_name = ?";
const char* const kSelectIds =
    "SELECT entity_id, format_id, file_name FROM files WHERE repository = ? AND identity = ?";
const char* const kDeleteById =
    "DELETE FROM files WHERE repository = ? AND identity = ? AND entity_id = ? AND format_id = ?";
const char* const kInsert =
    "INSERT OR REPLACE INTO files (entity_id, format_id, size, loaded, etag, file_name, metadata, position, custom, "
    "last_validation, last_open, repository, identity, provider_data, total_lock_count, last_add) VALUES (?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const char* const kSelectRows =
    "SELECT entity_id, format_id, file_name, size, loaded, etag, metadata, position, custom, last_validation, "
    "last_open, provider_data, total_lock_count, last_add FROM files WHERE repository = ? AND identity = ?";

// Whether a stored format id names a row of the format table. Rows with other
// ids are left alone: loading them would rebadge them as the first format.
bool isKnownFormat(int64_t formatId)
{
    if (formatId < 0 || formatId > int64_t(UINT32_MAX))
        return false;
    return VLFileFormat::find(uint32_t(formatId))->getId() == uint32_t(formatId);
}

// The time by which eviction ranks a file: when a reader last held it, or,
// for a file no reader has held yet (one still being fetched for its first
// play), when it was added, so that it does not go first.
time_t evictionTime(VLRepositoryFile* file)
{
    return file->getTotalLockCount() > 0 ? file->getLastOpen() : file->getLastAdd();
}

double knownSize(VLRepositoryFile* file)
{
    size_t size = file->getSize();
    return size == kAllOnes ? 0.0 : double(size);
}

} // namespace

VLRepository::VLRepository(VLRepositoryHandler* handler, VLHttpRepositoryProvider* provider, const std::string& name,
                           const std::string& identity, uint64_t validationPeriod, const std::string& databaseFolder,
                           const std::string& directory, int maxPercent, bool autoClean, double maxSize)
    : m_handler(handler), m_provider(provider), m_db(nullptr), m_mutex(VLPlatformFactory::instance()->createMutex()),
      m_directory(directory), m_name(name), m_identity(identity), m_validationPeriod(validationPeriod),
      m_offline(false), m_clearAllPending(false), m_rowsLoaded(false), m_lastSave(0), m_maxSize(0), m_maxPercent(0),
      m_autoClean(autoClean), m_sizeCheckPending(false), m_full(false), m_spaceNeeded(0), m_lastSizeCheck(0), m_totalSize(0),
      m_unavailable(false), m_lastAvailabilityCheck(0)
{
    m_dbPath = databaseFolder + VLPlatformFactory::instance()->getFileHelper()->getSeparator() + name + ".db";
    setLimits(maxPercent, maxSize);
}

VLRepository::~VLRepository()
{
    if (m_db || !m_files.empty())
        close();
    delete m_mutex;
}

double VLRepository::now() const
{
    return VLPlatformFactory::instance()->getTime();
}

// ---- Names and paths ----

std::string VLRepository::getDirectory() const
{
    VLMutexLocker lock(m_mutex);
    return m_directory;
}

std::string VLRepository::makeFileName(const VLFileId& fileId) const
{
    std::ostringstream text;
    text << m_name << "_" << m_identity << "_" << fileId.entityId() << "_" << fileId.getFormat()->getId();
    std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
    return crypto->md5(text.str());
}

std::string VLRepository::getFilePath(const std::string& fileName) const
{
    return getDirectory() + VLPlatformFactory::instance()->getFileHelper()->getSeparator() + fileName;
}

std::string VLRepository::getBitmapPath(const std::string& fileName) const
{
    return getFilePath(fileName) + ".part";
}

bool VLRepository::isValidFileName(const std::string& fileName)
{
    if (fileName.size() != 32)
        return false;
    for (char c : fileName) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// ---- Records ----

VLRepositoryFile* VLRepository::getFile(const VLFileId& fileId, bool create)
{
    auto it = m_files.find(fileId);
    if (it != m_files.end())
        return it->second;
    if (!create)
        return nullptr;
    VLRepositoryFile* file = new VLRepositoryFile(this, m_identity, fileId, m_provider, m_handler);
    m_files.insert(std::make_pair(fileId, file));
    return file;
}

void VLRepository::findFiles(unsigned int flagsMask, unsigned int stateMask, std::list<VLRepositoryFile*>* files,
                             unsigned int* count)
{
    if (count)
        *count = 0;
    for (auto& entry : m_files) {
        VLRepositoryFile* file = entry.second;
        unsigned int flags = static_cast<unsigned int>(file->getFlags());
        if (flags & VLRepositoryFile::FLAG_REMOVED)
            continue;
        if (flagsMask != 0 && (flags & flagsMask) != flagsMask)
            continue;
        if (stateMask != 0 && (static_cast<unsigned int>(file->getCustom()) & stateMask) == 0)
            continue;
        if (files)
            files->push_back(file);
        if (count)
            ++*count;
    }
}

// ---- Limits ----

void VLRepository::getLimits(double* maxSize, int* maxPercent) const
{
    if (maxSize)
        *maxSize = m_maxSize;
    if (maxPercent)
        *maxPercent = m_maxPercent;
}

void VLRepository::setLimits(int maxPercent, double maxSize)
{
    m_maxSize = std::max(0.0, maxSize);
    m_maxPercent = std::max(0, maxPercent);
    checkSize(false);
}

double VLRepository::limitFor(double available, double total) const
{
    double limit = total;
    int percent = m_maxPercent;
    double size = m_maxSize;
    double candidates[] = {
        percent >= 1 ? double(percent) * available / 100.0 : 0.0,
        size > 0 ? size : 0.0,
        available > kReserve ? available - kReserve : 0.0,
    };
    for (double candidate : candidates) {
        if (candidate != 0 && candidate < limit)
            limit = candidate;
    }
    return limit;
}

void VLRepository::checkSize(bool now)
{
    if (!now) {
        m_sizeCheckPending = true;
        return;
    }
    if (m_unavailable)
        return;
    m_sizeCheckPending = false;

    double available = 0;
    double total = 0;
    double usedSize = 0;
    bool full = false;
    if (!VLPlatformFactory::instance()->getFileHelper()->getFreeSpace(getDirectory(), &available, &total)) {
        VL_LOG_WARN("Unable to retrieve volume free space information");
    } else {
        double limit = limitFor(available, total);
        double keptSize = 0;
        std::list<VLRepositoryFile*> candidates;
        for (auto& entry : m_files) {
            VLRepositoryFile* file = entry.second;
            usedSize += knownSize(file);
            if (!file->isRemoved()) {
                keptSize += knownSize(file);
                if (m_autoClean)
                    candidates.push_back(file);
            }
        }
        // A file that could not be given its size needs more than the
        // volume has: a cache makes room for it, any other repository is full
        // until the space is there.
        double shortfall = spaceShortfall(available);
        if (m_autoClean)
            evict(std::min(limit, usedSize - shortfall), keptSize, candidates);
        full = !m_autoClean && (usedSize > limit || shortfall > 0);
    }
    if (full != m_full) {
        m_full = full;
        if (full && m_handler)
            m_handler->onVolumeFull(this);
    }
    m_totalSize = static_cast<uint64_t>(usedSize);
    m_lastSizeCheck = this->now();
}

void VLRepository::evict(double limit, double keptSize, std::list<VLRepositoryFile*>& candidates)
{
    candidates.sort([](VLRepositoryFile* a, VLRepositoryFile* b) { return evictionTime(a) < evictionTime(b); });
    while (keptSize > limit && !candidates.empty()) {
        VLRepositoryFile* file = candidates.front();
        candidates.pop_front();
        file->remove();
        keptSize -= knownSize(file);
    }
}

void VLRepository::checkSpaceFor(const VLFileId& fileId, size_t bytes)
{
    double available = 0;
    if (!VLPlatformFactory::instance()->getFileHelper()->getFreeSpace(getDirectory(), &available, nullptr))
        return;
    if (available >= double(bytes))
        return;
    VL_LOG_WARN("Repository volume lacks space for a file : " << fileId << " needs " << bytes << " bytes, "
                                                               << available << " available");
    m_spaceNeeded = double(bytes);
    m_spaceNeededBy.reset(new VLFileId(fileId));
    checkSize(true);
}

// The bytes the volume lacks for the file that could not be sized, while
// that file is still wanted; 0 (and forgotten) otherwise.
double VLRepository::spaceShortfall(double available)
{
    if (!m_spaceNeededBy)
        return 0;
    VLRepositoryFile* file = getFile(*m_spaceNeededBy, false);
    bool wanted = file && !file->isRemoved() && (file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
    if (!wanted || available >= m_spaceNeeded) {
        m_spaceNeededBy.reset();
        m_spaceNeeded = 0;
        return 0;
    }
    return m_spaceNeeded - available;
}

void VLRepository::checkAvailability(bool now)
{
    bool unavailable = !VLPlatformFactory::instance()->getFileHelper()->isWritable(getDirectory());
    if (unavailable != m_unavailable) {
        m_unavailable = unavailable;
        if (unavailable && m_handler)
            m_handler->onUnwritable(this);
    }
    m_lastAvailabilityCheck = this->now();
}

// ---- Directory ----

void VLRepository::setDirectory(const std::string& directory, bool apply)
{
    if (!apply) {
        VLMutexLocker lock(m_mutex);
        m_pendingDirectory = directory;
        return;
    }
    std::string current = getDirectory();
    {
        VLMutexLocker lock(m_mutex);
        if (m_pendingDirectory == directory)
            m_pendingDirectory.clear();
    }
    if (directory.empty() || directory == current)
        return;

    // A folder that cannot take files would look like another volume and
    // every file would be dropped: probe it first and stay where we are.
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    if (!files->createDirectory(directory) || !files->isWritable(directory)) {
        VL_LOG_ERROR("Repository directory is not writable, the files stay where they are : " << directory);
        if (m_handler)
            m_handler->onUnwritable(this);
        return;
    }
    bool sameVolume = files->isSameVolume(current, directory);
    {
        VLMutexLocker lock(m_mutex);
        m_directory = directory;
    }
    for (auto& entry : m_files)
        entry.second->move(sameVolume);
}

// ---- Periodic work ----

bool VLRepository::update()
{
    bool result = true;
    double current = now();
    // Taken once, so that a request made while this pass runs is kept for the next.
    bool clearAll = m_clearAllPending.exchange(false);

    if (m_sizeCheckPending || (m_full && m_lastSizeCheck + kRecheckPeriod < current))
        checkSize(true);
    std::string pending;
    {
        VLMutexLocker lock(m_mutex);
        pending = m_pendingDirectory;
    }
    if (!pending.empty())
        setDirectory(pending, true);
    if (m_unavailable && m_lastAvailabilityCheck + kRecheckPeriod < current)
        checkAvailability(true);

    for (auto it = m_files.begin(); it != m_files.end();) {
        VLRepositoryFile* file = it->second;
        if (clearAll && !file->isOpen())
            file->remove();
        if (file->isRemovedAndClosed()) {
            deleteRemovedAndClosed(it);
            continue;
        }
        if (!file->update())
            result = false;
        ++it;
    }
    if (m_lastSave + kSavePeriod < current)
        saveFiles();
    return result;
}

void VLRepository::deleteRemovedAndClosed(std::map<VLFileId, VLRepositoryFile*>::iterator& it)
{
    VLRepositoryFile* file = it->second;
    file->clean();
    delete file;
    it = m_files.erase(it);
    m_sizeCheckPending = true;
}

void VLRepository::close()
{
    for (auto& entry : m_files)
        entry.second->clean();
    // Removed records lose their files and their rows. Cleaning one runs a
    // size check that may evict records the first walk has already passed:
    // they are taken here too, so that no file outlives its row.
    for (;;) {
        auto it = std::find_if(m_files.begin(), m_files.end(),
                               [](const std::pair<const VLFileId, VLRepositoryFile*>& entry) {
                                   return entry.second->isRemoved();
                               });
        if (it == m_files.end())
            break;
        VLRepositoryFile* file = it->second;
        m_files.erase(it);
        file->clean();
        delete file;
    }
    saveFiles();
    for (auto& entry : m_files)
        delete entry.second;
    m_files.clear();
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    m_rowsLoaded = false;
}

// ---- Index database ----

void VLRepository::init()
{
    bool ok = openIndex();
    if (ok) {
        checkAvailability(true);
        if (!m_unavailable && !sync())
            ok = false;
    }
    if (ok && !loadFiles())
        ok = false;
    if (!ok)
        close();
}

bool VLRepository::openIndex()
{
    if (sqlite3_open(m_dbPath.c_str(), &m_db) != SQLITE_OK) {
        VL_LOG_ERROR("Unable to open SQLite database : " << m_dbPath);
        return false;
    }
    // Another process holding the index (a second instance, a backup) makes
    // statements wait a little instead of failing at once.
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);

    VLSQLiteStatement statement(m_db);
    bool row = false;
    if (!statement.prepare(kLacksProviderData) || !statement.step(&row))
        return false;
    bool lacksProviderData = row && statement.columnInt(0) == 1;
    statement.finalize();
    if (lacksProviderData && !VLSQLiteStatement::execute(m_db, kAddProviderData))
        return false;

    if (!statement.prepare(kLacksTotalLockCount) || !statement.step(&row))
        return false;
    bool lacksTotalLockCount = row && statement.columnInt(0) == 1;
    statement.finalize();
    if (lacksTotalLockCount
        && (!VLSQLiteStatement::execute(m_db, kAddTotalLockCount) || !VLSQLiteStatement::execute(m_db, kAddLastAdd)))
        return false;

    return VLSQLiteStatement::execute(m_db, kCreateTable)
           && VLSQLiteStatement::execute(m_db, "PRAGMA synchronous = OFF");
}

bool VLRepository::sync()
{
    if (!m_db)
        return false;
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    VLSQLiteStatement statement(m_db);
    if (!statement.prepare(kSelectSizes) || !statement.bindText(1, m_name) || !statement.bindText(2, m_identity))
        return false;
    std::list<std::string> mismatched;
    bool row = false;
    bool stepped = false;
    while ((stepped = statement.step(&row)) && row) {
        std::string fileName = statement.columnText(0);
        int64_t size = statement.columnInt64(1);
        if (size == -1 || !isValidFileName(fileName))
            continue;
        uint64_t expected = static_cast<uint64_t>(size);
        if (files->getFileSize(getFilePath(fileName)) != expected
            || files->getFileSize(getBitmapPath(fileName)) != getBitmapSize(expected))
            mismatched.push_back(fileName);
    }
    if (!stepped)
        return false; // a step failed in the middle of the scan

    for (const std::string& fileName : mismatched) {
        if (!statement.prepare(kDeleteByName) || !statement.bindText(1, m_name) || !statement.bindText(2, m_identity)
            || !statement.bindText(3, fileName) || !statement.execute())
            return false;
    }
    return true;
}

bool VLRepository::loadFiles()
{
    bool result = false;
    if (m_db && !m_files.empty()) {
        VL_LOG_ERROR("File list has been already loaded");
    } else if (m_db) {
        VLSQLiteStatement statement(m_db);
        bool row = false;
        result = statement.prepare(kSelectRows) && statement.bindText(1, m_name) && statement.bindText(2, m_identity);
        while (result && (result = statement.step(&row)) && row) {
            std::string fileName = statement.columnText(2);
            int64_t formatId = statement.columnInt64(1);
            VLFileId fileId(statement.columnText(0), uint32_t(formatId));
            if (!isKnownFormat(formatId) || !isValidFileName(fileName)) {
                VL_LOG_WARN("Repository index row is skipped : " << statement.columnText(0) << "_" << formatId << " ("
                                                                  << fileName << ")");
                continue;
            }
            VLRepositoryFile* file = new VLRepositoryFile(
                this, m_identity, fileId, m_provider, m_handler, fileName, size_t(statement.columnInt64(3)),
                size_t(statement.columnInt64(4)), statement.columnText(5), statement.columnText(6),
                statement.columnText(11), int(statement.columnInt64(7)), int(statement.columnInt64(8)),
                time_t(statement.columnInt64(9)), time_t(statement.columnInt64(10)),
                static_cast<unsigned int>(statement.columnInt64(12)), time_t(statement.columnInt64(13)));
            m_files.insert(std::make_pair(fileId, file));
        }
        if (result) {
            m_rowsLoaded = true;
            statement.finalize();
            checkSize(true);
        }
    }
    m_lastSave = now();
    return result;
}

bool VLRepository::saveFiles()
{
    // A map that does not hold every row would delete the rows it lacks.
    bool result = m_db && m_rowsLoaded && VLSQLiteStatement::execute(m_db, "BEGIN TRANSACTION");
    if (result) {
        result = deleteRowsNotInMap() && writeRows() && VLSQLiteStatement::execute(m_db, "END TRANSACTION");
        // Nothing of a failed save is kept, and the next save can begin anew.
        if (!result)
            VLSQLiteStatement::execute(m_db, "ROLLBACK");
    }
    m_lastSave = now();
    return result;
}

bool VLRepository::deleteRowsNotInMap()
{
    VLSQLiteStatement statement(m_db);
    if (!statement.prepare(kSelectIds) || !statement.bindText(1, m_name) || !statement.bindText(2, m_identity))
        return false;
    std::vector<std::pair<std::string, int64_t>> gone;
    bool row = false;
    bool stepped = false;
    while ((stepped = statement.step(&row)) && row) {
        int64_t formatId = statement.columnInt64(1);
        std::string entityId = statement.columnText(0);
        // Rows that could not be loaded are not ours to judge: leave them.
        if (!isKnownFormat(formatId) || !isValidFileName(statement.columnText(2)))
            continue;
        if (m_files.find(VLFileId(entityId, uint32_t(formatId))) == m_files.end())
            gone.push_back(std::make_pair(entityId, formatId));
    }
    if (!stepped)
        return false;
    if (!statement.prepare(kDeleteById))
        return false;
    for (const auto& id : gone) {
        if (!statement.bindText(1, m_name) || !statement.bindText(2, m_identity) || !statement.bindText(3, id.first)
            || !statement.bindInt64(4, id.second) || !statement.execute() || !statement.reset())
            return false;
    }
    return true;
}

bool VLRepository::writeRows()
{
    VLSQLiteStatement statement(m_db);
    if (!statement.prepare(kInsert))
        return false;
    for (auto& entry : m_files) {
        VLRepositoryFile* file = entry.second;
        VLFileId fileId = file->getFileId();
        size_t size = file->getSize();
        if (!statement.bindText(1, fileId.entityId())
            || !statement.bindInt64(2, int64_t(fileId.getFormat()->getId()))
            || !statement.bindInt64(3, size == kAllOnes ? -1 : int64_t(size))
            || !statement.bindInt64(4, int64_t(file->getLoaded())) || !statement.bindText(5, file->getEtag())
            || !statement.bindText(6, file->getFileName()) || !statement.bindText(7, file->getMetadata())
            || !statement.bindInt64(8, int64_t(file->getPosition())) || !statement.bindInt64(9, int64_t(file->getCustom()))
            || !statement.bindInt64(10, int64_t(file->getLastValidation()))
            || !statement.bindInt64(11, int64_t(file->getLastOpen())) || !statement.bindText(12, m_name)
            || !statement.bindText(13, m_identity) || !statement.bindText(14, file->getProviderData())
            || !statement.bindInt64(15, int64_t(int(file->getTotalLockCount())))
            || !statement.bindInt64(16, int64_t(file->getLastAdd())) || !statement.execute() || !statement.reset())
            return false;
    }
    return true;
}
