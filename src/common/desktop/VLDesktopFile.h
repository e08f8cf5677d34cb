#pragma once

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
class VLDesktopFile {
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
  int getEntityId() const { return entityId_; }
  int getFormatId() const { return formatId_; }
  std::string getRepository() const { return repository_; }
  std::string getMetadata() const { return metadata_ ? *metadata_ : std::string(); }
  int64_t getBytesLoaded() const { return bytesLoaded_; }
  int64_t getBytesTotal() const { return bytesTotal_; }
  uint32_t getFileState() const { return fileState_; }
  int getDownloadState() const { return downloadState_; }
  int getPosition() const { return position_; }
  int64_t getLastListening() const { return lastListening_; }
  uint32_t getListeningCount() const { return listeningCount_; }
  int64_t getLastAdd() const { return lastAdd_; }
  std::string getUrlData() const { return urlData_ ? *urlData_ : std::string(); }
  int getRetryIn() const { return retryIn_; }
  std::string getFailure() const { return failure_; }

 private:
  int entityId_;
  int formatId_;
  std::string repository_;
  // Shared with the record (texts are never changed once made): a snapshot of
  // a whole library copies none of them. Null when empty.
  std::shared_ptr<const std::string> metadata_;
  int64_t bytesLoaded_;
  int64_t bytesTotal_;
  uint32_t fileState_;
  int downloadState_;
  int position_;
  int64_t lastListening_;
  uint32_t listeningCount_;
  int64_t lastAdd_;
  std::shared_ptr<const std::string> urlData_;
  int retryIn_;
  std::string failure_;
};
