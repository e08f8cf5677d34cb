#include "VLRepositoryFile.h"

#include <algorithm>

#include "VLBlockBitmap.h"
#include "VLFileHelper.h"
#include "VLHttpRepositoryProvider.h"
#include "VLLogger.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryHandler.h"

namespace {

const size_t kBlockSize = 4096;
const size_t kAllOnes = SIZE_MAX;
// A read request older than this is dropped: the reader has given up or
// asked again since.
const double kReadRequestLifetime = 5.0;
// Retries after retryable failures without new bytes in between, per
// providing open (a download retries for as long as it is queued).
const int kMaxRetries = 16;
// Longest wait before a retry, in seconds: the delay doubles up to it.
const double kMaxRetryDelay = 300;
// Period of the loaded-bytes recount while open.
const double kRefreshPeriod = 0.5;
// Seconds between the start of a block's write-back and the commit of its
// on-disk bit: long enough for the disk to have written it, so that the
// commit's flush seldom waits, and short enough that a crash loses little.
const double kCommitDelay = 1.0;

size_t blockStart(size_t offset)
{
    return offset & ~(kBlockSize - 1);
}

// Epoch seconds for the stored stamps, from the platform (tests may fake it).
time_t epochNow()
{
    return static_cast<time_t>(VLPlatformFactory::instance()->getEpochTime());
}

} // namespace

// ---- Construction ----

VLRepositoryFile::VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler)
    : m_repository(repository), m_fileId(fileId), m_handler(handler), m_provider(provider), m_content(nullptr),
      m_bitmap(nullptr)
{
    init(repository->makeFileName(fileId));
    rowChanged();
    if (m_handler)
        m_handler->onFilesAdded(this);
}

VLRepositoryFile::VLRepositoryFile(VLRepository* repository, const std::string& identity, const VLFileId& fileId,
                                   VLHttpRepositoryProvider* provider, VLRepositoryHandler* handler,
                                   std::string file_name, size_t size, size_t loaded, std::string etag,
                                   std::string metadata, std::string provider_data, int position, int custom,
                                   time_t last_validation, time_t last_open, unsigned int total_lock_count,
                                   time_t last_add, bool report)
    : m_repository(repository), m_fileId(fileId), m_handler(handler), m_provider(provider), m_content(nullptr),
      m_bitmap(nullptr)
{
    init(std::move(file_name));
    m_size = size;
    m_loaded = loaded;
    m_etag = std::move(etag);
    m_metadata = shareText(std::move(metadata));
    m_providerData = shareText(std::move(provider_data));
    m_position = position;
    m_custom = custom;
    m_lastValidation = last_validation;
    m_lastOpen = last_open;
    m_totalLockCount = total_lock_count;
    m_lastAdd = last_add;
    if (report)
        announce();
}

void VLRepositoryFile::announce()
{
    if (m_custom != 0)
        m_repository->noteStateChanged(this, 0);
    if (m_handler)
        m_handler->onFilesAdded(this);
}

void VLRepositoryFile::init(std::string fileName)
{
    m_fileName = std::move(fileName);
    m_openCount = 0;
    m_lockCount = 0;
    m_providing = false;
    m_retryCount = 0;
    m_nextTry = 0;
    m_dataArrived = false;
    m_stagedStart = 0;
    m_stagedEnd = 0;
    m_present.clear();
    m_written.clear();
    m_bitsAtStart = 0;
    m_failingSince = 0;
    m_validatorRefused = false;
    m_failure.clear();
    m_url.clear();
    m_size = kAllOnes;
    m_loaded = 0;
    m_lastRefresh = 0;
    m_etag.clear();
    m_metadata.reset();
    m_providerData.reset();
    m_position = -1;
    m_custom = 0;
    m_lastValidation = 0;
    m_removed = false;
    m_lastOpen = 0;
    m_totalLockCount = 0;
    m_lastAdd = epochNow();
    m_readRequests.clear();
}

VLRepositoryFile::~VLRepositoryFile()
{
    delete m_content;
    delete m_bitmap;
}

double VLRepositoryFile::now() const
{
    return VLPlatformFactory::instance()->getTime();
}

// ---- Small operations ----

VLRepositoryFile::SharedText VLRepositoryFile::shareText(std::string text)
{
    return text.empty() ? SharedText() : std::make_shared<const std::string>(std::move(text));
}

bool VLRepositoryFile::holds(const SharedText& shared, const std::string& text)
{
    return shared ? *shared == text : text.empty();
}

void VLRepositoryFile::setMetadata(const std::string& metadata)
{
    if (holds(m_metadata, metadata))
        return;
    rowChanged();
    m_metadata = shareText(metadata);
}

void VLRepositoryFile::setProviderData(const std::string& data)
{
    if (holds(m_providerData, data))
        return;
    rowChanged();
    m_providerData = shareText(data);
}

void VLRepositoryFile::setPosition(int position)
{
    if (position != m_position)
        rowChanged();
    m_position = position;
}

void VLRepositoryFile::setCustom(int custom)
{
    if (custom == m_custom)
        return;
    int previous = m_custom;
    m_custom = custom;
    rowChanged();
    m_repository->noteStateChanged(this, previous);
    if (m_handler)
        m_handler->onDownloadStatesChanged(this);
}

void VLRepositoryFile::touchValidation()
{
    m_lastValidation = epochNow();
    rowChanged();
}

bool VLRepositoryFile::remove()
{
    if (!m_removed) {
        m_removed = true;
        m_repository->noteRemoved(this);
        if (m_handler)
            m_handler->onFilesRemoved(this);
    }
    return true;
}

// ---- Open and close ----

bool VLRepositoryFile::open(unsigned int options)
{
    if (m_openCount == 0 && !mapFiles())
        return false;
    if (++m_openCount == 1)
        m_repository->noteOpened(this);
    if (options & OPEN_PROVIDE) {
        m_providing = true;
        m_retryCount = 0;
        m_dataArrived = false;
        m_nextTry = 0;
        m_failingSince = 0;
        m_validatorRefused = false;
        m_failure.clear();
    }
    if (options & OPEN_LOCK) {
        m_lastOpen = epochNow();
        ++m_totalLockCount;
        ++m_lockCount;
        rowChanged();
    }
    if ((options & OPEN_READD) && m_removed) {
        m_removed = false;
        m_lastAdd = epochNow();
        rowChanged();
        if (m_handler)
            m_handler->onFilesAdded(this);
    }
    return true;
}

// The mapped files are made at the first open, not with the record: most of
// the records a repository loads are never opened in a session.
void VLRepositoryFile::makeMappedFiles()
{
    VLPlatformFactory* factory = VLPlatformFactory::instance();
    m_content = factory->createMappedFile(m_repository->getFilePath(m_fileName));
    m_bitmap = factory->createMappedFile(m_repository->getBitmapPath(m_fileName));
}

bool VLRepositoryFile::isContentMapped() const
{
    return m_content && m_content->isOpen();
}

bool VLRepositoryFile::isBitmapMapped() const
{
    return m_bitmap && m_bitmap->isOpen();
}

bool VLRepositoryFile::mapFiles()
{
    if (!m_content)
        makeMappedFiles();
    if (m_content->isOpen() || m_bitmap->isOpen()) {
        VL_LOG_ERROR("Repository file is already open");
        return false;
    }
    if (!m_content->open() && !openInRemadeDirectory()) {
        VL_LOG_ERROR("Unable to map repository file : " << m_content->getPath());
        return false;
    }
    if (!m_bitmap->open()) {
        VL_LOG_ERROR("Unable to map repository bitmap file : " << m_bitmap->getPath());
        m_content->close();
        return false;
    }
    if (!checkMappedLengths()) {
        m_content->close();
        m_bitmap->close();
        return false;
    }
    loadPresentBits();
    return true;
}

void VLRepositoryFile::loadPresentBits()
{
    m_written.clear();
    if (!isBitmapMapped() || m_bitmap->getSize() == 0) {
        m_present.clear();
        return;
    }
    const uint8_t* bits = m_bitmap->getData();
    m_present.assign(bits, bits + m_bitmap->getSize());
}

// The repository's folder may have gone since the last file was made: the
// availability check makes it again (or reports it unwritable to the page),
// and the open is tried once more.
bool VLRepositoryFile::openInRemadeDirectory()
{
    m_repository->checkAvailability(true);
    return !m_repository->isUnavailable() && m_content->open();
}

// The index may record a size that the files on disk no longer have (removed
// or truncated behind our back, or a sync that was skipped). Reading or
// writing through such mappings would run past their ends, so the files are
// given their recorded lengths again and every block counts as missing.
// The bitmap is cleared first: when the content's resize then fails, no bit
// is left standing for bytes that the resize may have cut or zeroed, and the
// next open finds the lengths still wrong and tries again.
bool VLRepositoryFile::checkMappedLengths()
{
    if (m_size == kAllOnes)
        return true;
    size_t bitmapSize = getBitmapSize(m_size);
    if (m_content->getSize() == m_size && m_bitmap->getSize() == bitmapSize)
        return true;
    VL_LOG_WARN("Repository file does not have its recorded size, its content is fetched again : "
                << m_content->getPath() << " (" << m_content->getSize() << ", " << m_bitmap->getSize()
                << " instead of " << m_size << ", " << bitmapSize << ")");
    if (!m_bitmap->resize(bitmapSize, true)) {
        VL_LOG_ERROR("Unable to resize bitmap file : " << m_bitmap->getPath());
        return false;
    }
    if (!m_content->resize(m_size, false)) {
        VL_LOG_ERROR("Unable to resize repository file : " << m_content->getPath());
        return false;
    }
    m_repository->noteContentReset(this);
    if (m_loaded != 0) {
        m_loaded = 0;
        rowChanged();
        if (m_handler)
            m_handler->onFileProgressesChanged(this);
    }
    return true;
}

bool VLRepositoryFile::close(unsigned int options)
{
    if (options & OPEN_LOCK) {
        if (m_lockCount == 0) {
            VL_LOG_ERROR("Lock count must be non-zero : " << m_lockCount);
            return false;
        }
        --m_lockCount;
    }
    if (m_openCount == 0) {
        VL_LOG_ERROR("Open count must be non-zero" << m_openCount);
        return false;
    }
    --m_openCount;
    if (m_openCount > 0)
        return true;

    if (m_lockCount != 0) {
        // A reader still holds the file: the close is refused and undone, so
        // that the reader's own close still finds its open.
        VL_LOG_ERROR("Lock count is not zero : " << m_lockCount);
        ++m_openCount;
        return false;
    }
    m_repository->noteClosed(this);
    int state = VLHttpRepositoryProvider::TRANSFER_NONE;
    if (!m_provider->getState(m_repository, m_fileId, false, &state))
        return false;
    if (state != VLHttpRepositoryProvider::TRANSFER_NONE && !m_provider->cancel(m_repository, m_fileId))
        VL_LOG_WARN("Unable to cancel file providing");
    m_providing = false;
    refreshLoaded();
    if (!isContentMapped() || !isBitmapMapped()) {
        VL_LOG_ERROR("Map file should be open");
        return false;
    }
    flushBitmap();
    m_content->close();
    m_bitmap->close();
    loadPresentBits();
    return true;
}

void VLRepositoryFile::flushBitmap()
{
    if (!isBitmapMapped())
        return;
    commitWritten(true);
    m_bitmap->flush(0, m_bitmap->getSize());
}

bool VLRepositoryFile::commitWritten(bool all)
{
    const double current = now();
    bool result = true;
    while (!m_written.empty() && (all || current - m_written.front().since >= kCommitDelay)) {
        // Neighbouring ranges (one stream's drives) go to the disk in one flush.
        size_t offset = m_written.front().offset;
        size_t length = m_written.front().length;
        m_written.pop_front();
        while (!m_written.empty() && m_written.front().offset == offset + length
               && (all || current - m_written.front().since >= kCommitDelay)) {
            length += m_written.front().length;
            m_written.pop_front();
        }
        if (!isContentMapped() || !isBitmapMapped() || !mappingsCover() || offset + length > m_size) {
            VL_LOG_ERROR("Repository file changed under its written blocks : " << m_fileId);
            m_written.clear();
            return false;
        }
        if (!m_content->flush(offset, length)) {
            // Readers keep the bytes, which are in memory; the file on disk
            // does not count them, so a later run fetches them again.
            VL_LOG_ERROR("Unable to write repository file blocks through : " << m_content->getPath());
            result = false;
            continue;
        }
        markBlocks(m_bitmap->getData(), offset, length);
    }
    return result;
}

// ---- Reads and writes ----

bool VLRepositoryFile::read(void* buffer, size_t offset, size_t length, size_t* done, bool* endOfFile)
{
    return readWriteMem(buffer, offset, length, Read, done, endOfFile);
}

bool VLRepositoryFile::write(const void* buffer, size_t offset, size_t length, size_t* done)
{
    return readWriteMem(const_cast<void*>(buffer), offset, length, Write, done, nullptr);
}

bool VLRepositoryFile::stage(const void* buffer, size_t offset, size_t length, size_t* done)
{
    if (m_stagedEnd != m_stagedStart && offset != m_stagedEnd && !settle())
        return false;
    return readWriteMem(const_cast<void*>(buffer), offset, length, Stage, done, nullptr);
}

bool VLRepositoryFile::settle()
{
    const size_t start = m_stagedStart;
    const size_t count = m_stagedEnd - m_stagedStart;
    m_stagedStart = m_stagedEnd = 0;
    if (count == 0)
        return commitWritten(false);
    if (!isContentMapped() || !isBitmapMapped() || !mappingsCover() || m_size == kAllOnes || start + count > m_size) {
        VL_LOG_ERROR("Repository file changed under its staged blocks : " << m_fileId);
        return false;
    }
    // A refused start only leaves the whole write to the commit's flush.
    m_content->startFlush(start, count);
    markBlocks(m_present.data(), start, count);
    m_written.push_back(Written{start, count, now()});
    return commitWritten(isComplete());
}

bool VLRepositoryFile::mappingsCover()
{
    size_t bitmapSize = getBitmapSize(m_size);
    return m_content->getSize() >= m_size && m_bitmap->getSize() >= bitmapSize && m_present.size() >= bitmapSize;
}

bool VLRepositoryFile::readWriteMem(void* buffer, size_t offset, size_t length, Access access, size_t* done,
                                    bool* endOfFile)
{
    const bool write = access != Read;
    if (!isContentMapped() || !isBitmapMapped()) {
        VL_LOG_ERROR("Repository file must be open first");
        return false;
    }
    size_t count = 0;
    if (m_size == kAllOnes) {
        // Nothing is present while the size is unknown: the bitmap is empty.
        if (!write && length > 0)
            addSeek(blockStart(offset), (offset & (kBlockSize - 1)) + length);
        if (done)
            *done = 0;
        return true;
    }
    length = offset >= m_size ? 0 : std::min(length, m_size - offset);
    if (length == 0) {
        if (done)
            *done = 0;
        return true;
    }
    if (write && (offset & (kBlockSize - 1)) != 0) {
        VL_LOG_ERROR("Repository file writes must start on a block boundary : " << offset);
        return false;
    }
    if (!mappingsCover()) {
        VL_LOG_ERROR("Repository file mappings do not cover its size : " << m_fileId);
        return false;
    }
    bool atEnd = offset + length == m_size;
    if (write) {
        // The bytes reach the disk before their bits are set: after a crash,
        // even a power loss, a set bit never stands for bytes that are not there.
        count = copyBlocks(m_content->getData(), buffer, offset, length, atEnd);
        if (access == Stage) {
            // Marked by settle(), after one flush for the whole range.
            if (m_stagedEnd == m_stagedStart)
                m_stagedStart = m_stagedEnd = offset;
            m_stagedEnd += count;
        } else {
            if (count > 0 && !m_content->flush(offset, count)) {
                VL_LOG_ERROR("Unable to write repository file blocks through : " << m_content->getPath());
                return false;
            }
            markBlocks(m_bitmap->getData(), offset, count);
            markBlocks(m_present.data(), offset, count);
        }
    } else {
        count = readBlocks(buffer, m_content->getData(), presentBits(), offset, length);
        if (count < length)
            addSeek(blockStart(offset), (offset & (kBlockSize - 1)) + length);
    }
    if (done)
        *done = count;
    if (endOfFile)
        *endOfFile = atEnd;
    return true;
}

// ---- Size, validator and progress ----

bool VLRepositoryFile::setContent(size_t size, const std::string& etag)
{
    bool sizeChanged = size != kAllOnes && size != m_size;
    bool etagChanged = !etag.empty() && etag != m_etag;
    if (!sizeChanged && !etagChanged)
        return true;
    if (m_lockCount != 0) {
        VL_LOG_ERROR("Repository file is locked, size and/or etag cannot be changed : "
                     << m_fileId.entityId() << "-" << m_fileId.getFormat()->getId());
        m_validatorRefused = true;
        return false;
    }
    // A closed record's files are resized on the disk, unmapped.
    if (!m_content)
        makeMappedFiles();
    if (sizeChanged) {
        if (!m_repository->makeRoomFor(this, size))
            return false;
        if (!m_content->resize(size, false)) {
            VL_LOG_ERROR("Unable to resize repository file : " << m_content->getPath());
            remapAfterFailedResize();
            return false;
        }
        if (!m_bitmap->resize(getBitmapSize(size), true)) {
            VL_LOG_ERROR("Unable to resize bitmap file : " << m_bitmap->getPath());
            remapAfterFailedResize();
            return false;
        }
    } else if (!m_bitmap->zeroFill()) {
        VL_LOG_ERROR("Unable to clear bitmap file bytes : " << m_bitmap->getPath());
        return false;
    }
    // Blocks still waiting for their on-disk bits are of the old content.
    loadPresentBits();
    storeReset(size, etag);
    return true;
}

void VLRepositoryFile::storeReset(size_t size, const std::string& etag)
{
    m_size = size;
    m_etag = etag;
    m_loaded = 0;
    rowChanged();
    m_repository->noteContentReset(this);
    m_repository->checkSize(true);
    // The row goes to the index now: after a crash the blocks fetched from
    // here on are found again instead of being fetched anew.
    m_repository->saveFiles();
    if (m_handler)
        m_handler->onFileProgressesChanged(this);
}

// A resize whose open failed leaves its file closed; an open record maps it
// again at the length it has, so that its reads, writes and last close keep
// working (reads past a shortened content are refused, not faulted).
void VLRepositoryFile::remapAfterFailedResize()
{
    if (m_openCount == 0)
        return;
    if (!m_content->isOpen() && !m_content->open())
        VL_LOG_ERROR("Unable to map repository file : " << m_content->getPath());
    if (!m_bitmap->isOpen() && !m_bitmap->open())
        VL_LOG_ERROR("Unable to map repository bitmap file : " << m_bitmap->getPath());
    loadPresentBits();
}

bool VLRepositoryFile::discardContent()
{
    if (m_lockCount != 0) {
        VL_LOG_WARN("Repository file is locked, its content cannot be discarded : " << m_fileId);
        return false;
    }
    bool openedHere = m_openCount == 0;
    if (openedHere && !open(0))
        return false;
    bool emptied = m_content->resize(0, false) && m_bitmap->resize(0, true);
    if (!emptied) {
        VL_LOG_ERROR("Unable to empty repository file : " << m_content->getPath());
        remapAfterFailedResize();
    } else {
        loadPresentBits();
        storeReset(kAllOnes, std::string());
    }
    if (openedHere)
        close(0);
    return emptied;
}

bool VLRepositoryFile::beginsAsPage()
{
    const size_t probe = 512;
    if (m_size == kAllOnes || m_size == 0 || !isContentMapped())
        return false;
    size_t length = std::min(m_size, probe);
    size_t run = 0;
    if (!getInterval(0, length, true, &run) || run < length)
        return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(m_content->getData());
    // Audio files begin with binary headers and frames; a page is text to its
    // first bytes (tabs, line ends and printable characters, UTF-8 included),
    // whose first character after a byte-order mark and white space is '<'.
    size_t first = length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    while (first < length && (bytes[first] == ' ' || bytes[first] == '\t' || bytes[first] == '\n'
                              || bytes[first] == '\r' || bytes[first] == '\f'))
        ++first;
    if (first == length || bytes[first] != '<')
        return false;
    for (size_t i = first; i < length; ++i) {
        unsigned char c = bytes[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F)
            return false;
    }
    return true;
}

bool VLRepositoryFile::isComplete()
{
    size_t present = 0;
    return m_size != kAllOnes && getInterval(0, kAllOnes, true, &present) && present >= m_size;
}

size_t VLRepositoryFile::bitCount()
{
    return countBits(presentBits(), m_present.size());
}

// Every set bit stands for a whole block, except that the file's last block
// may be shorter.
size_t VLRepositoryFile::presentBytes()
{
    size_t present = bitCount() * kBlockSize;
    if (m_size == kAllOnes)
        return present;
    size_t tail = m_size % kBlockSize;
    size_t lastBlock = m_size / kBlockSize;
    if (tail != 0 && getBitRunLength(presentBits(), lastBlock, 1, true) == 1)
        present -= kBlockSize - tail;
    return std::min(m_size, present);
}

bool VLRepositoryFile::refreshLoaded()
{
    size_t previous = m_loaded;
    if (!isBitmapMapped()) {
        VL_LOG_ERROR("Bitmap file should be open");
        return false;
    }
    m_loaded = presentBytes();
    if (m_loaded != previous)
        rowChanged();
    if (m_loaded != previous && m_handler) {
        m_handler->onFileProgressesChanged(this);
        if (m_size != kAllOnes && m_loaded == m_size)
            m_handler->onFileStatesChanged(this);
    }
    return true;
}

int VLRepositoryFile::getFlags()
{
    int flags = 0;
    if (m_size != kAllOnes) {
        if (m_openCount == 0) {
            if (m_size == m_loaded)
                flags |= FLAG_COMPLETE;
        } else {
            size_t run = 0;
            if (!getInterval(0, kAllOnes, true, &run))
                VL_LOG_WARN("Unable to get interval from repository file : " << m_fileId.entityId() << "-"
                                                                              << m_fileId.getFormat()->getId());
            else if (m_size <= run)
                flags |= FLAG_COMPLETE;
        }
    }
    if (m_size != 0)
        flags |= FLAG_NOT_EMPTY;
    if (m_removed)
        flags |= FLAG_REMOVED;
    if (m_openCount != 0)
        flags |= FLAG_OPEN;
    if (m_lockCount != 0)
        flags |= FLAG_LOCKED;
    if (m_providing)
        flags |= FLAG_PROVIDING;
    return flags;
}

// ---- Moving and cleaning ----

bool VLRepositoryFile::copyToOtherVolume(const std::string& oldContentPath, const std::string& newContentPath,
                                         const std::string& oldBitmapPath, const std::string& newBitmapPath)
{
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    if (!files->copyFile(oldContentPath, newContentPath)) {
        VL_LOG_WARN("Unable to copy repository file : " << oldContentPath << " => " << newContentPath);
        return false;
    }
    if (!files->copyFile(oldBitmapPath, newBitmapPath)) {
        VL_LOG_WARN("Unable to copy repository bitmap file : " << oldBitmapPath << " => " << newBitmapPath);
        files->removeFile(newContentPath);
        return false;
    }
    // The bitmap went last, so no set bit ever covers bytes not yet copied.
    files->removeFile(oldBitmapPath);
    files->removeFile(oldContentPath);
    return true;
}

void VLRepositoryFile::move(const std::string& oldDirectory, bool sameVolume)
{
    VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
    std::string oldContentPath = oldDirectory + files->getSeparator() + m_fileName;
    std::string oldBitmapPath = oldContentPath + ".part";
    bool contentWasOpen = isContentMapped();
    bool bitmapWasOpen = isBitmapMapped();
    // The files go as they are on disk: every block present is committed first.
    if (contentWasOpen && bitmapWasOpen)
        commitWritten(true);
    delete m_content;
    delete m_bitmap;
    makeMappedFiles();
    std::string newContentPath = m_content->getPath();
    std::string newBitmapPath = m_bitmap->getPath();

    // A record whose files hold nothing yet (never sized, or empty) has
    // nothing to carry over: it simply lives in the new directory from now on.
    bool nothingStored = files->getFileSize(oldContentPath) == 0 && files->getFileSize(oldBitmapPath) == 0;
    bool moved = false;
    if (sameVolume && !nothingStored) {
        if (!files->renameFile(oldBitmapPath, newBitmapPath)) {
            VL_LOG_WARN("Unable to move repository bitmap file : " << oldBitmapPath << " => " << newBitmapPath);
        } else if (!files->renameFile(oldContentPath, newContentPath)) {
            VL_LOG_WARN("Unable to move repository file : " << oldContentPath << " => " << newContentPath);
        } else {
            moved = true;
        }
    } else if (!sameVolume && !nothingStored && m_custom != 0) {
        // A file the user downloaded is carried to the other volume: dropping
        // it would lose the download itself, not only bytes to fetch again.
        // The repository has copied it already; one that became a download
        // after the copying began is copied now.
        bool copied = files->getFileSize(newContentPath) == files->getFileSize(oldContentPath)
                      && files->getFileSize(newBitmapPath) == files->getFileSize(oldBitmapPath);
        if (copied) {
            files->removeFile(oldBitmapPath);
            files->removeFile(oldContentPath);
            moved = true;
        } else {
            moved = copyToOtherVolume(oldContentPath, newContentPath, oldBitmapPath, newBitmapPath);
        }
    }
    if (!moved) {
        files->removeFile(oldContentPath);
        files->removeFile(oldBitmapPath);
        files->removeFile(newContentPath);
        files->removeFile(newBitmapPath);
        if (!nothingStored) {
            remove();
            m_loaded = 0;
            rowChanged();
            m_repository->noteContentReset(this);
        }
        if (m_openCount > 0 && m_size != kAllOnes) {
            m_content->resize(m_size, false);
            m_bitmap->resize(getBitmapSize(m_size), true);
        }
    }
    reopen(m_content, contentWasOpen, "Unable to re-open repository file : ");
    reopen(m_bitmap, bitmapWasOpen, "Unable to re-open repository bitmap file : ");
    loadPresentBits();
}

void VLRepositoryFile::reopen(VLMappedFile* file, bool wasOpen, const char* failure)
{
    if (wasOpen && !file->open())
        VL_LOG_ERROR(failure << file->getPath());
}

void VLRepositoryFile::clean()
{
    if (m_openCount != 0) {
        VL_LOG_WARN("Repository file is still open (" << m_openCount << ")");
        while (m_lockCount != 0) {
            if (!close(OPEN_LOCK)) {
                VL_LOG_WARN("Unable to close and unlock repository file");
                break;
            }
        }
        m_lockCount = 0;
        while (m_openCount != 0) {
            if (!close(0)) {
                VL_LOG_WARN("Unable to close repository file");
                break;
            }
        }
        m_openCount = 0;
        m_repository->noteClosed(this);
        // A close that failed may have left the files mapped.
        m_content->close();
        m_bitmap->close();
        loadPresentBits();
        m_providing = false;
    }
    if (m_removed)
        m_repository->discardFiles(m_fileName, m_size == kAllOnes ? 0 : uint64_t(m_size));
}

// ---- Read requests and intervals ----

void VLRepositoryFile::addSeek(size_t offset, size_t length)
{
    m_readRequests[std::make_pair(offset, length)] = now();
}

bool VLRepositoryFile::isSeekWaiting(size_t* offset)
{
    double current = now();
    auto candidate = m_readRequests.end();
    for (auto it = m_readRequests.begin(); it != m_readRequests.end();) {
        if (it->second + kReadRequestLifetime < current) {
            it = m_readRequests.erase(it);
            continue;
        }
        // Keys are ordered by offset, then length: the first kept entry is
        // the one with the smallest offset and, among those, the smallest length.
        if (candidate == m_readRequests.end())
            candidate = it;
        ++it;
    }
    if (candidate == m_readRequests.end())
        return false;
    size_t candidateOffset = candidate->first.first;
    size_t candidateLength = candidate->first.second;
    VL_LOG_TRACE("Repository file seek found : " << candidateOffset << "-" << candidateLength);
    bool loaded = false;
    if (isRangeLoaded(candidateOffset, candidateLength, &loaded) && loaded) {
        VL_LOG_TRACE("Repository file part has been already downloaded, clean seeks");
        m_readRequests.clear();
        return false;
    }
    if (offset)
        *offset = candidateOffset;
    return true;
}

bool VLRepositoryFile::getInterval(size_t offset, size_t length, bool loaded, size_t* run)
{
    if (!isBitmapMapped()) {
        VL_LOG_ERROR("Bitmap file must be open first");
        return false;
    }
    if (m_size == kAllOnes) {
        // Nothing is known while the size is not.
        if (run)
            *run = 0;
        return true;
    }
    if (m_bitmap->getSize() == 0 && m_size != 0) {
        VL_LOG_ERROR("File size seems to be non-zero but bitmap file is empty : size = "
                     << m_size << ", file size = " << m_content->getSize() << ", bmp size = " << m_bitmap->getSize());
        return false;
    }
    length = offset >= m_size ? 0 : std::min(length, m_size - offset);
    // Blocks spanned by the range, counted from the block that holds offset.
    size_t firstBlock = offset / kBlockSize;
    size_t blockCount = length == 0 ? 0 : (offset + length - 1) / kBlockSize - firstBlock + 1;
    size_t blocks = getBitRunLength(presentBits(), firstBlock, blockCount, loaded);
    size_t result = std::min(blocks * kBlockSize, m_size);
    if (run)
        *run = result;
    return true;
}

bool VLRepositoryFile::getIntervals(bool loaded, std::list<unsigned long>& out)
{
    if (m_size == kAllOnes)
        return false;
    if (!isBitmapMapped()) {
        VL_LOG_ERROR("Bitmap file must be open first");
        return false;
    }
    std::list<size_t> runs;
    getBitRuns(presentBits(), 0, (m_size + kBlockSize - 1) / kBlockSize, loaded, runs);
    bool first = true;
    for (size_t block : runs) {
        size_t value = first ? block * kBlockSize : (block + 1) * kBlockSize - 1;
        if (value >= m_size) {
            if (first)
                break;
            value = m_size - 1;
        }
        out.push_back(value);
        first = !first;
    }
    return true;
}

bool VLRepositoryFile::isRangeLoaded(size_t offset, size_t length, bool* loaded)
{
    if (m_size == kAllOnes) {
        if (loaded)
            *loaded = false;
        return true;
    }
    bool openedHere = false;
    if (m_openCount == 0) {
        if (!open(0))
            return false;
        openedHere = true;
    }
    length = offset >= m_size ? 0 : std::min(length, m_size - offset);
    size_t run = 0;
    bool result = getInterval(offset, length, true, &run);
    // The run counts from the start of the block that holds offset.
    bool present = run >= (offset & (kBlockSize - 1)) + length || length == 0;
    if (openedHere)
        close(0);
    if (result && loaded)
        *loaded = present;
    return result;
}

// ---- Validation and readiness ----

bool VLRepositoryFile::needsValidation()
{
    if (m_repository->isOffline())
        return false;
    return epochNow() > m_lastValidation + static_cast<time_t>(m_repository->getValidationPeriod());
}

bool VLRepositoryFile::isReady(bool* ready)
{
    bool result = !needsValidation() && ((getFlags() & FLAG_COMPLETE) != 0 || m_dataArrived);
    if (ready)
        *ready = result;
    return true;
}

// ---- Periodic work ----

bool VLRepositoryFile::update()
{
    if (m_providing && !driveTransfer())
        return false;
    refreshWhileOpen();
    return true;
}

bool VLRepositoryFile::driveTransfer()
{
    typedef VLHttpRepositoryProvider Provider;
    int polled = Provider::TRANSFER_NONE;
    if (!m_provider->getState(m_repository, m_fileId, true, &polled)) {
        VL_LOG_ERROR("Unable to get provided file state : " << m_fileId);
        return false;
    }
    uint32_t state = static_cast<uint32_t>(polled);
    if (state > Provider::TRANSFER_HEADERS)
        m_dataArrived = true;
    if ((state == Provider::TRANSFER_FINISHED || state == Provider::TRANSFER_FAILED_RETRYABLE) && broughtNewBytes()) {
        // A server that cuts every answer short still moves the file on, and
        // the blocks a cut answer stored are data arrived: the player may
        // start on them.
        m_retryCount = 0;
        m_failingSince = 0;
        m_validatorRefused = false;
        m_failure.clear();
        m_dataArrived = true;
    }
    if (state == Provider::TRANSFER_FAILED_RETRYABLE || state == Provider::TRANSFER_FAILED)
        m_failure = m_provider->getLastFailure(m_repository, m_fileId);

    size_t offset = 0;
    bool startWanted = false;
    bool seekWanted = false;
    switch (state) {
    case Provider::TRANSFER_FINISHED:
        if (discardPageDownload() || finishedWithoutProgress())
            scheduleRetry();
        else
            startWanted = true;
        break;
    case Provider::TRANSFER_FAILED_RETRYABLE:
        scheduleRetry();
        break;
    case Provider::TRANSFER_FAILED:
        m_providing = false;
        break;
    case Provider::TRANSFER_NONE: {
        // A waiting reader starts a transfer at once, whatever the delay,
        // unless the server's answers were refused for their changed
        // validator: asking again at once would only be refused again.
        bool readerWaits = isSeekWaiting(&offset);
        startWanted = (readerWaits && !m_validatorRefused) || m_nextTry == 0 || now() > m_nextTry;
        break;
    }
    case Provider::TRANSFER_RECEIVING:
        seekWanted = isSeekWaiting(&offset);
        break;
    default:
        break;
    }

    if (m_repository->isUnavailable() || m_repository->isOfflineOrFull() || m_repository->isMoving()) {
        if (state >= Provider::TRANSFER_CREATED && state <= Provider::TRANSFER_ALREADY_LOADED)
            cancelTransfer();
        return true;
    }
    if (startWanted)
        return startTransfer(offset);
    if (seekWanted)
        seekTransfer(offset);
    return true;
}

// A transfer that ended well but stored nothing (a server that answers short
// ranges, or a range that was present already) would otherwise be started
// again on every pass for ever; it counts as a retryable failure instead.
bool VLRepositoryFile::finishedWithoutProgress()
{
    if (m_size == kAllOnes || !isBitmapMapped() || isComplete())
        return false;
    return bitCount() <= m_bitsAtStart;
}

// A download that completed as a web page (a captive portal's page sent as
// audio) is not done: its content is discarded and fetched again after the
// retry delay. True when it was discarded.
bool VLRepositoryFile::discardPageDownload()
{
    if (m_custom == 0 || !beginsAsPage())
        return false;
    VL_LOG_WARN("Downloaded file is a web page, not audio, it is fetched again : " << m_fileId);
    if (!discardContent())
        return false;
    m_failure = "not audio";
    return true;
}

bool VLRepositoryFile::broughtNewBytes()
{
    return m_size != kAllOnes && isBitmapMapped() && bitCount() > m_bitsAtStart;
}

void VLRepositoryFile::scheduleRetry()
{
    double current = now();
    if (m_failingSince == 0)
        m_failingSince = current;
    if (m_retryCount < kMaxRetries || m_custom != 0) {
        m_retryCount = std::min(m_retryCount + 1, kMaxRetries);
        m_nextTry = current + std::min(double(2 << m_retryCount), kMaxRetryDelay);
        // The page sees that the file waits, how long and why: a download in
        // its download state, a stream in its progress. onFileStatesChanged
        // means the file is complete, never a retry.
        if (m_handler && m_custom != 0)
            m_handler->onDownloadStatesChanged(this);
        else if (m_handler)
            m_handler->onFileProgressesChanged(this);
        return;
    }
    VL_LOG_WARN("Repository file providing has failed too many times : " << m_fileId);
    m_providing = false;
}

void VLRepositoryFile::cancelTransfer()
{
    if (!m_provider->cancel(m_repository, m_fileId))
        VL_LOG_WARN("Unable to cancel file providing");
}

bool VLRepositoryFile::startTransfer(size_t offset)
{
    m_nextTry = 0;
    if (m_size == kAllOnes)
        return startTransferAt(offset, kAllOnes, START_UNKNOWN_SIZE);

    size_t present = 0;
    if (!getInterval(0, kAllOnes, true, &present))
        return false;
    if (present >= m_size) {
        if (!needsValidation()) {
            m_providing = false;
            return true;
        }
        return startTransferAt(0, kAllOnes, START_VALIDATION);
    }
    offset = offset == 0 ? present : firstMissingFrom(offset);
    size_t missing = 0;
    if (!getInterval(offset, kAllOnes, false, &missing))
        return false;
    size_t length = std::min(missing, m_size - offset);
    return startTransferAt(offset, length, START_MISSING);
}

// The first missing byte at or after a block-aligned offset. A read that
// began in a present block and ran into a missing one records its request at
// the present block; fetching from there would ask for an empty range.
size_t VLRepositoryFile::firstMissingFrom(size_t offset)
{
    offset = blockStart(offset);
    size_t run = 0;
    if (!getInterval(offset, kAllOnes, true, &run))
        return offset;
    return std::min(offset + run, m_size);
}

bool VLRepositoryFile::startTransferAt(size_t offset, size_t length, StartKind kind)
{
    // A provider that cannot start now (a transfer still being let go, or no
    // URL while the page is not ready) is asked again at the next pass.
    if (!m_provider->canStart(m_url, m_repository, m_fileId))
        return true;
    VL_LOG_TRACE("Start repository file providing at offset : " << offset << "-" << length);
    m_bitsAtStart = isBitmapMapped() ? bitCount() : 0;
    if (m_provider->start(m_url, m_repository, m_fileId, offset, length))
        return true;
    switch (kind) {
    case START_UNKNOWN_SIZE:
        VL_LOG_ERROR("Unable to start file providing : " << m_url);
        break;
    case START_VALIDATION:
        VL_LOG_ERROR("Unable to start file providing for validation : " << m_url);
        break;
    case START_MISSING:
        VL_LOG_ERROR("Unable to start file providing : " << m_url << " (" << offset << "-" << length << ")");
        break;
    }
    return false;
}

void VLRepositoryFile::seekTransfer(size_t offset)
{
    if (m_size != kAllOnes)
        offset = firstMissingFrom(offset);
    if (!m_provider->seek(m_repository, m_fileId, offset, kAllOnes))
        VL_LOG_WARN("Unable to seek providing file");
}

void VLRepositoryFile::refreshWhileOpen()
{
    if (m_openCount == 0)
        return;
    double current = now();
    if (current - m_lastRefresh > kRefreshPeriod) {
        m_lastRefresh = current;
        // Blocks of a transfer that stalled or ended still reach the disk's bitmap.
        commitWritten(isComplete());
        refreshLoaded();
    }
}

double VLRepositoryFile::getFailingFor()
{
    return m_failingSince == 0 ? 0 : std::max(0.0, now() - m_failingSince);
}

double VLRepositoryFile::getRetryDelay()
{
    return m_nextTry == 0 ? 0 : std::max(0.0, m_nextTry - now());
}
