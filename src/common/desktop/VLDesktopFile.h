#ifndef VL_DESKTOP_FILE_H
#define VL_DESKTOP_FILE_H

#include <cstdint>
#include <memory>
#include <string>

class VLFileId;
class VLRepository;
class VLRepositoryFile;

// One file as the page sees it: a snapshot taken at construction and never
// updated. Page keys, in order: entity_id, format_id, repository, metadata,
// bytes_loaded, bytes_total, file_state, download_state, position,
// last_listening, listening_count, last_add, url_data, retry_in (whole seconds
// until the next attempt after a failed transfer, 0 when none waits) and
// failure (why the last transfer failed, "" when none did).
// Immutable once made; it may be made on one thread and read on another.
class VLDesktopFile
{
public:
    // From a repository file's getters; the file need only be valid during the
    // call. bytes_total is -1 while the size is unknown.
    explicit VLDesktopFile(VLRepositoryFile* file);
    // For a file known only by its id (a URL request): the repository's name
    // (empty for a null repository), the id, and the defaults: nothing loaded,
    // size -1, no flags, no download state, position -1, no times, no data.
    VLDesktopFile(VLRepository* repository, const VLFileId& id);
    virtual ~VLDesktopFile();

    // The entity id text as an int32: atoi's reading, clamped to the int range.
    int getEntityId() const { return m_entityId; }
    int getFormatId() const { return m_formatId; }
    std::string getRepository() const { return m_repository; }
    std::string getMetadata() const { return m_metadata ? *m_metadata : std::string(); }
    int64_t getBytesLoaded() const { return m_bytesLoaded; }
    int64_t getBytesTotal() const { return m_bytesTotal; }
    uint32_t getFileState() const { return m_fileState; }
    int getDownloadState() const { return m_downloadState; }
    int getPosition() const { return m_position; }
    int64_t getLastListening() const { return m_lastListening; }
    uint32_t getListeningCount() const { return m_listeningCount; }
    int64_t getLastAdd() const { return m_lastAdd; }
    std::string getUrlData() const { return m_urlData ? *m_urlData : std::string(); }
    int getRetryIn() const { return m_retryIn; }
    std::string getFailure() const { return m_failure; }

private:
    int m_entityId;
    int m_formatId;
    std::string m_repository;
    // Shared with the record (texts are never changed once made): a snapshot of
    // a whole library copies none of them. Null when empty.
    std::shared_ptr<const std::string> m_metadata;
    int64_t m_bytesLoaded;
    int64_t m_bytesTotal;
    uint32_t m_fileState;
    int m_downloadState;
    int m_position;
    int64_t m_lastListening;
    uint32_t m_listeningCount;
    int64_t m_lastAdd;
    std::shared_ptr<const std::string> m_urlData;
    int m_retryIn;
    std::string m_failure;
};

#endif
