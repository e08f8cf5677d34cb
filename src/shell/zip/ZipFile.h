#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "FileInZipInfo.h"
#include "ZipReadStream.h"
#include "ZipWriteStream.h"

// A zip archive opened over minizip for reading (mode 0), for writing a new
// archive (mode 1, replacing any file at the path) or for adding entries to
// an existing one (mode 2).
//
// Every failure throws a ZipException carrying minizip's result code (0 for
// a wrong mode, which is checked before the archive is touched). Write
// operations need mode 1 or 2, read operations mode 0.
//
// Compression levels: -1 zlib's default, 0 stored, 1 fastest ... 9 best.
// Dates are read and written in the local calendar.
//
// One thread at a time. The streams made here use the archive's handle: the
// archive must stay open while they are used.
class ZipFile {
 public:
  enum Mode { ZipFileModeUnzip = 0, ZipFileModeCreate = 1, ZipFileModeAppend = 2 };

  // Opens the archive. Throws "Unknown mode <mode>" or "Can't open '<path>'".
  ZipFile(std::string fileName, int mode);
  // Closes the archive when close was not called; a failure then is only
  // logged (destructors do not throw).
  ~ZipFile();
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;

  const std::string& fileName() const { return fileName_; }
  int mode() const { return mode_; }

  // Starts a deflated entry (stored at level 0) named `fileNameInZip`, dated
  // now or `fileDate`. Throws "Operation not permitted with Unzip mode" or
  // "Error in opening '<name>' in zipfile".
  std::unique_ptr<ZipWriteStream> writeFileInZipWithName(const std::string& fileNameInZip, int compressionLevel);
  std::unique_ptr<ZipWriteStream> writeFileInZipWithName(const std::string& fileNameInZip, std::time_t fileDate,
                                                         int compressionLevel);
  // An entry encrypted with `password` in the zip format's traditional
  // encryption, whose header needs the CRC-32 of the bytes to be written
  // (`crc32`); an empty password writes a plain entry. finishedWriting
  // throws when the bytes had another CRC-32 (see ZipEncryptedWriteStream).
  std::unique_ptr<ZipWriteStream> writeFileInZipWithName(const std::string& fileNameInZip, std::time_t fileDate,
                                                         int compressionLevel, const std::string& password,
                                                         uint32_t crc32);

  // Writes the central directory (modes 1, 2) or releases the reader (mode
  // 0). Throws "Error in closing '<path>'". Nothing else may be called after.
  void close();

  // Read operations (mode 0; otherwise "Operation not permitted without
  // Unzip mode").
  // The number of entries. Throws "Error in getting global info in '<path>'".
  uint64_t numFilesInZip();
  // Throws "Error in going to first file in zip in '<path>'".
  void goToFirstFileInZip();
  // False after the last entry. Throws "Error in going to next file in zip in '<path>'".
  bool goToNextFileInZip();
  // Makes the entry of exactly that name (case-sensitive) current; false
  // when there is none. Throws "Error in locating '<name>' in '<path>'".
  bool locateFileInZip(const std::string& fileNameInZip);
  // Every entry, in central-directory order.
  std::vector<FileInZipInfo> listFileInZipInfos();
  // The current entry. Throws "Error in getting current file info in '<path>'".
  FileInZipInfo getCurrentFileInZipInfo();
  // Opens the current entry for reading. Throws as getCurrentFileInZipInfo,
  // or "Error in opening current file in '<path>'"; for an encrypted entry
  // followed by ": the entry is encrypted" without a password and ": wrong
  // password" when the password does not open it (code UNZ_PARAMERROR). A
  // plain entry ignores the password.
  std::unique_ptr<ZipReadStream> readCurrentFileInZip();
  std::unique_ptr<ZipReadStream> readCurrentFileInZipWithPassword(const std::string& password);

 private:
  void requireWriting() const;
  void requireReading() const;
  FileInZipInfo currentInfo(std::string& name);
  int locateLongName(const std::string& fileNameInZip);
  std::unique_ptr<ZipReadStream> openCurrent(const std::string& password);
  std::unique_ptr<ZipReadStream> openEncrypted(const std::string& name, const std::string& password);

  std::string fileName_;
  int mode_;
  void* zipFile_ = nullptr;  // minizip's write handle (modes 1 and 2)
  void* unzFile_ = nullptr;  // minizip's read handle (mode 0)
};
