#include "ZipFile.h"

#include <glib.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <algorithm>

#include "VLLogger.h"
#include "ZipEncryptedReadStream.h"
#include "ZipEncryptedWriteStream.h"
#include "ZipException.h"
#include "ZipTraditionalCipher.h"

namespace {

// General purpose flag bit 11: the entry's name is UTF-8. Without it readers
// take a name as code page 437 and show any non-ASCII letter wrongly. ASCII
// names read the same either way and stay unmarked.
uLong nameFlag(const std::string& name) {
  const uLong kNameIsUTF8 = 1u << 11;
  bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
  return !ascii && g_utf8_validate(name.data(), gssize(name.size()), nullptr) ? kNameIsUTF8 : 0;
}

const char* const kNotWithUnzip = "Operation not permitted with Unzip mode";
const char* const kOnlyWithUnzip = "Operation not permitted without Unzip mode";
// unzLocateFile refuses names this long or longer (UNZ_MAXFILENAMEINZIP in unzip.c).
const size_t kMinizipNameLimit = 256;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

zip_fileinfo entryInfo(std::time_t date) {
  struct tm local = {};
  localtime_r(&date, &local);
  zip_fileinfo info = {};
  info.tmz_date.tm_sec = local.tm_sec;
  info.tmz_date.tm_min = local.tm_min;
  info.tmz_date.tm_hour = local.tm_hour;
  info.tmz_date.tm_mday = local.tm_mday;
  info.tmz_date.tm_mon = local.tm_mon;
  info.tmz_date.tm_year = local.tm_year + 1900;
  return info;
}

std::time_t entryDate(const tm_unz& date) {
  struct tm local = {};
  local.tm_sec = date.tm_sec;
  local.tm_min = date.tm_min;
  local.tm_hour = date.tm_hour;
  local.tm_mday = date.tm_mday;
  local.tm_mon = date.tm_mon;
  local.tm_year = date.tm_year - 1900;
  local.tm_isdst = -1;
  return mktime(&local);
}

// Bits 1 and 2 of the general-purpose flag say which deflate option wrote it.
int entryLevel(const unz_file_info64& info) {
  if (info.compression_method == 0) return 0;
  switch ((info.flag >> 1) & 3) {
    case 0: return -1;
    case 1: return 9;
    default: return 1;
  }
}

}  // namespace

ZipFile::ZipFile(std::string fileName, int mode) : fileName_(std::move(fileName)), mode_(mode) {
  switch (mode) {
    case ZipFileModeUnzip: unzFile_ = unzOpen64(fileName_.c_str()); break;
    case ZipFileModeCreate: zipFile_ = zipOpen64(fileName_.c_str(), APPEND_STATUS_CREATE); break;
    case ZipFileModeAppend: zipFile_ = zipOpen64(fileName_.c_str(), APPEND_STATUS_ADDINZIP); break;
    default: throw ZipException("Unknown mode " + std::to_string(mode));
  }
  if (!unzFile_ && !zipFile_) throw ZipException("Can't open " + quoted(fileName_));
}

ZipFile::~ZipFile() {
  if (!zipFile_ && !unzFile_) return;
  try {
    close();
  } catch (const ZipException& exception) {
    VL_LOG_ERROR(exception.what());
  }
}

void ZipFile::requireWriting() const {
  if (mode_ == ZipFileModeUnzip) throw ZipException(kNotWithUnzip);
}

void ZipFile::requireReading() const {
  if (mode_ != ZipFileModeUnzip) throw ZipException(kOnlyWithUnzip);
}

std::unique_ptr<ZipWriteStream> ZipFile::writeFileInZipWithName(const std::string& fileNameInZip,
                                                                int compressionLevel) {
  return writeFileInZipWithName(fileNameInZip, time(nullptr), compressionLevel);
}

std::unique_ptr<ZipWriteStream> ZipFile::writeFileInZipWithName(const std::string& fileNameInZip, std::time_t fileDate,
                                                                int compressionLevel) {
  requireWriting();
  zip_fileinfo info = entryInfo(fileDate);
  int result = zipOpenNewFileInZip4_64(zipFile_, fileNameInZip.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                       compressionLevel == 0 ? 0 : Z_DEFLATED, compressionLevel, 0, -MAX_WBITS,
                                       DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0, nameFlag(fileNameInZip), 0);
  if (result != ZIP_OK) throw ZipException(result, "Error in opening " + quoted(fileNameInZip) + " in zipfile");
  return std::unique_ptr<ZipWriteStream>(new ZipWriteStream(zipFile_, fileNameInZip));
}

std::unique_ptr<ZipWriteStream> ZipFile::writeFileInZipWithName(const std::string& fileNameInZip, std::time_t fileDate,
                                                                int compressionLevel, const std::string& password,
                                                                uint32_t crc32) {
  if (password.empty()) return writeFileInZipWithName(fileNameInZip, fileDate, compressionLevel);
  requireWriting();
  // Debian's minizip encrypts with a CRC table read at the wrong element
  // width (no one can decrypt what it writes) and cannot decrypt at all: the
  // entry is opened raw, marked encrypted (flag bit 0), and the stream
  // compresses and encrypts the bytes itself.
  zip_fileinfo info = entryInfo(fileDate);
  int result =
      zipOpenNewFileInZip4_64(zipFile_, fileNameInZip.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              compressionLevel == 0 ? 0 : Z_DEFLATED, compressionLevel, 1, -MAX_WBITS, DEF_MEM_LEVEL,
                              Z_DEFAULT_STRATEGY, nullptr, 0, 0, 1 | nameFlag(fileNameInZip), 0);
  if (result != ZIP_OK) throw ZipException(result, "Error in opening " + quoted(fileNameInZip) + " in zipfile");
  try {
    return std::unique_ptr<ZipWriteStream>(
        new ZipEncryptedWriteStream(zipFile_, fileNameInZip, compressionLevel, password, crc32));
  } catch (const ZipException&) {
    // The entry is closed, empty, so that the archive stays whole.
    zipCloseFileInZipRaw64(zipFile_, 0, 0);
    throw;
  }
}

void ZipFile::close() {
  int result;
  switch (mode_) {
    case ZipFileModeUnzip:
      result = unzClose(unzFile_);
      unzFile_ = nullptr;
      break;
    case ZipFileModeCreate:
    case ZipFileModeAppend:
      result = zipClose(zipFile_, nullptr);
      zipFile_ = nullptr;
      break;
    default: throw ZipException("Unknown mode " + std::to_string(mode_));
  }
  if (result != ZIP_OK) throw ZipException(result, "Error in closing " + quoted(fileName_));
}

uint64_t ZipFile::numFilesInZip() {
  requireReading();
  unz_global_info64 info = {};
  int result = unzGetGlobalInfo64(unzFile_, &info);
  if (result != UNZ_OK) throw ZipException(result, "Error in getting global info in " + quoted(fileName_));
  return info.number_entry;
}

void ZipFile::goToFirstFileInZip() {
  requireReading();
  int result = unzGoToFirstFile(unzFile_);
  if (result != UNZ_OK) throw ZipException(result, "Error in going to first file in zip in " + quoted(fileName_));
}

bool ZipFile::goToNextFileInZip() {
  requireReading();
  int result = unzGoToNextFile(unzFile_);
  if (result == UNZ_END_OF_LIST_OF_FILE) return false;
  if (result != UNZ_OK) throw ZipException(result, "Error in going to next file in zip in " + quoted(fileName_));
  return true;
}

bool ZipFile::locateFileInZip(const std::string& fileNameInZip) {
  requireReading();
  int result = fileNameInZip.size() < kMinizipNameLimit ? unzLocateFile(unzFile_, fileNameInZip.c_str(), 1)
                                                        : locateLongName(fileNameInZip);
  if (result == UNZ_END_OF_LIST_OF_FILE) return false;
  if (result != UNZ_OK)
    throw ZipException(result, "Error in locating " + quoted(fileNameInZip) + " in " + quoted(fileName_));
  return true;
}

// minizip refuses names of kMinizipNameLimit bytes or more, which an
// archive may well hold: such a name is looked for entry by entry. As with
// unzLocateFile, the current entry stays where it was when none matches.
int ZipFile::locateLongName(const std::string& fileNameInZip) {
  unz64_file_pos start = {};
  int result = unzGetFilePos64(unzFile_, &start);
  int step;
  for (step = unzGoToFirstFile(unzFile_); step == UNZ_OK; step = unzGoToNextFile(unzFile_)) {
    std::string name;
    try {
      currentInfo(name);
    } catch (const ZipException& exception) {
      return int(exception.error());
    }
    if (name == fileNameInZip) return UNZ_OK;
  }
  if (result == UNZ_OK) unzGoToFilePos64(unzFile_, &start);
  return step;
}

std::vector<FileInZipInfo> ZipFile::listFileInZipInfos() {
  std::vector<FileInZipInfo> infos;
  uint64_t count = numFilesInZip();
  if (count == 0) return infos;
  goToFirstFileInZip();
  infos.push_back(getCurrentFileInZipInfo());
  for (uint64_t i = 1; i < count; ++i) {
    goToNextFileInZip();
    infos.push_back(getCurrentFileInZipInfo());
  }
  return infos;
}

FileInZipInfo ZipFile::currentInfo(std::string& name) {
  unz_file_info64 info = {};
  int result = unzGetCurrentFileInfo64(unzFile_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (result == UNZ_OK) {
    // The name's own length, so that no name is cut short.
    std::vector<char> buffer(info.size_filename + 1, '\0');
    result = unzGetCurrentFileInfo64(unzFile_, &info, buffer.data(), buffer.size(), nullptr, 0, nullptr, 0);
    name.assign(buffer.data(), info.size_filename);
  }
  if (result != UNZ_OK) throw ZipException(result, "Error in getting current file info in " + quoted(fileName_));
  return FileInZipInfo(name, info.uncompressed_size, entryLevel(info), (info.flag & 1) != 0, info.compressed_size,
                       entryDate(info.tmu_date), info.crc);
}

FileInZipInfo ZipFile::getCurrentFileInZipInfo() {
  requireReading();
  std::string name;
  return currentInfo(name);
}

std::unique_ptr<ZipReadStream> ZipFile::openCurrent(const std::string& password) {
  requireReading();
  std::string name;
  FileInZipInfo info = currentInfo(name);
  if (info.crypted()) return openEncrypted(name, password);
  // A password is of no use to a plain entry.
  int result = unzOpenCurrentFilePassword(unzFile_, nullptr);
  if (result != UNZ_OK) throw ZipException(result, "Error in opening current file in " + quoted(fileName_));
  return std::unique_ptr<ZipReadStream>(new ZipReadStream(unzFile_, name));
}

// minizip here cannot decrypt: the entry is opened raw and its header
// checked against the password before anything is read from it.
std::unique_ptr<ZipReadStream> ZipFile::openEncrypted(const std::string& name, const std::string& password) {
  std::string failure = "Error in opening current file in " + quoted(fileName_);
  if (password.empty()) throw ZipException(UNZ_PARAMERROR, failure + ": the entry is encrypted");
  unz_file_info64 info = {};
  int result = unzGetCurrentFileInfo64(unzFile_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (result != UNZ_OK) throw ZipException(result, failure);
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
    throw ZipException(UNZ_BADZIPFILE, failure + ": unknown compression method");
  int method = 0;
  int level = 0;
  result = unzOpenCurrentFile2(unzFile_, &method, &level, 1);
  if (result != UNZ_OK) throw ZipException(result, failure);
  uint8_t header[ZipTraditionalCipher::kHeaderSize];
  int headerLength = unzReadCurrentFile(unzFile_, header, sizeof header);
  ZipTraditionalCipher cipher(password);
  bool accepted = headerLength == int(sizeof header) &&
                  cipher.acceptsHeader(header, ZipTraditionalCipher::checkByte(unsigned(info.flag), uint32_t(info.crc),
                                                                               uint32_t(info.dosDate)));
  if (!accepted) {
    unzCloseCurrentFile(unzFile_);
    if (headerLength != int(sizeof header))
      throw ZipException(headerLength < 0 ? headerLength : UNZ_BADZIPFILE, failure);
    throw ZipException(UNZ_PARAMERROR, failure + ": wrong password");
  }
  return std::unique_ptr<ZipReadStream>(
      new ZipEncryptedReadStream(unzFile_, name, cipher, method, info.uncompressed_size, uint32_t(info.crc)));
}

std::unique_ptr<ZipReadStream> ZipFile::readCurrentFileInZip() {
  return openCurrent(std::string());
}

std::unique_ptr<ZipReadStream> ZipFile::readCurrentFileInZipWithPassword(const std::string& password) {
  return openCurrent(password);
}
