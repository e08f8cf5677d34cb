#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>

class VLFolder;

// Whole-file operations on the file system. One process-wide instance, owned by
// the platform factory (VLPlatformFactory::getFileHelper). Keeps no state: any
// thread may call any operation. Paths are byte strings passed to the system
// unchanged; no operation creates missing parent folders. Failures are reported
// by the result alone (only getFreeSpace also logs).
class VLFileHelper {
 public:
  virtual ~VLFileHelper() {}

  // Makes the folder with mode 0755 (before the umask). True when it was made
  // or a folder (or a symbolic link to one) already exists at the path; false
  // when the parent is missing or something other than a folder is there.
  virtual bool createDirectory(const std::string& path) = 0;
  // As createDirectory, but a folder it makes is private to the user (mode
  // 0700); one that exists keeps its mode.
  virtual bool createPrivateDirectory(const std::string& path) = 0;

  // The path separator, '/'.
  virtual char getSeparator() = 0;

  // The file's size in bytes (following symbolic links); 0 when it cannot be
  // examined (missing, or its folder cannot be searched) or is no regular
  // file (a folder, a FIFO). Opens nothing.
  virtual uint64_t getFileSize(const std::string& path) = 0;

  // The folder at path held open for lookups by name (VLFolder), owned by
  // the caller; null when it is not a folder or cannot be opened.
  virtual VLFolder* openFolder(const std::string& path) = 0;

  // Appends directory + "/" + name for every regular file of the folder (no
  // symbolic links, no sub-folders), in the order the folder yields them; the
  // list is not cleared. False, with the list untouched, when the folder cannot
  // be opened.
  virtual bool listFiles(const std::string& directory, std::list<std::string>* files) = 0;
  // Calls visit with the name (not the path) of each file listFiles would
  // list, in the same order, copying nothing: for folders of many files. A
  // name is valid during its call only. False, visiting nothing, when the
  // folder cannot be opened.
  virtual bool forEachFile(const std::string& directory, const std::function<void(std::string_view name)>& visit) = 0;

  // True when the file was removed.
  virtual bool removeFile(const std::string& path) = 0;

  // True when the file now has the new path (a file there is replaced).
  virtual bool renameFile(const std::string& from, const std::string& to) = 0;

  // Copies the file's bytes to a new file at `to` (a file there is replaced)
  // and flushes it to disk; for moves between volumes, where a rename cannot
  // work. True when the whole copy is on disk; on failure nothing is left at `to`.
  virtual bool copyFile(const std::string& from, const std::string& to) = 0;

  // True when both paths exist and lie on one device.
  virtual bool isSameVolume(const std::string& first, const std::string& second) = 0;

  // Bytes available to an unprivileged user and total bytes of the volume that
  // holds `path`, written through the non-null pointers. False, with an error in
  // the log and the outputs untouched, when the volume cannot be read.
  virtual bool getFreeSpace(const std::string& path, double* available, double* total) = 0;

  // Probes whether `directory` can take a new file: creates a hidden probe file
  // of 8192 zero bytes through a mapped file (space reserved on disk), opens and
  // closes it, and removes it. True only when all of that succeeded. The probe
  // is removed on every path.
  bool isWritable(const std::string& directory);

  enum Writability {
    WRITABLE,      // the probe of isWritable succeeded
    VOLUME_FULL,   // the folder takes a new file but its volume has no room for 8192 bytes
    READ_ONLY,     // the folder is there but takes no new file (a read-only volume or folder)
    NOT_WRITABLE,  // there is no folder to take a file (missing, not a folder)
  };
  // The probe of isWritable, telling a folder whose files can still be read
  // (on a full volume, or read-only) from one that is not there.
  Writability probeWritability(const std::string& directory);

  // Makes the folder and every missing folder above it, as
  // createPrivateDirectory does for one: private, as the standard folders
  // they stand in for are made. True when the whole path is a folder
  // afterwards.
  bool createDirectories(const std::string& path);
};
