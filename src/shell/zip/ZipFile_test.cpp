#include "ZipFile.h"

#include <gtest/gtest.h>

#include <functional>
#include <zlib.h>

#include "TestFolder.h"
#include "ZipException.h"
#include "ZipTestPeers.h"

namespace {

uint32_t crcOf(const std::string& bytes) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
}

std::string readEntry(ZipReadStream& stream, size_t bufferSize) {
  std::string content;
  std::vector<uint8_t> buffer(bufferSize);
  while (uint64_t length = stream.readDataWithBuffer(buffer))
    content.append(reinterpret_cast<const char*>(buffer.data()), length);
  EXPECT_EQ(bufferSize, buffer.size());
  stream.finishedReading();
  return content;
}

void addEntry(ZipFile& archive, const std::string& name, const std::string& content, int level, std::time_t date) {
  std::unique_ptr<ZipWriteStream> entry = archive.writeFileInZipWithName(name, date, level);
  EXPECT_EQ(name, entry->fileNameInZip());
  entry->writeData(content.substr(0, content.size() / 2));
  entry->writeData(content.substr(content.size() / 2));
  entry->finishedWriting();
}

// Expects `call` to throw a ZipException with that reason and error code.
template <typename Call>
void expectZipException(const std::string& reason, int64_t error, Call call) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected: " << reason;
  } catch (const ZipException& exception) {
    EXPECT_EQ(reason, exception.reason());
    EXPECT_EQ(error, exception.error());
    EXPECT_STREQ("ZipException", exception.name());
  }
}

// A wrong password opens nothing: the check byte of the entry's random
// header refuses it, or, for one password in 256 (the format has no more to
// tell), the bytes it decrypts fail to inflate or their CRC-32. No other bytes
// than the entry's are ever read as its content. True when the header refused it.
bool expectWrongPasswordRefused(ZipFile& archive, const std::string& password, const std::string& content,
                                const std::string& opening) {
  std::unique_ptr<ZipReadStream> stream;
  try {
    stream = archive.readCurrentFileInZipWithPassword(password);
  } catch (const ZipException& exception) {
    EXPECT_EQ(opening + ": wrong password", exception.reason());
    EXPECT_EQ(-102, exception.error());
    return true;
  }
  try {
    EXPECT_EQ(content, readEntry(*stream, 1000)) << "read with a wrong password";
  } catch (const ZipException&) {
  }
  return false;
}

class ZipFileTest : public ::testing::Test {
 protected:
  TestFolder folder;
  std::string archivePath = folder.file("test.zip");
  std::string repetitive = std::string(20000, 'a') + "tail";
  std::string text = "Hello, archive!\n";
  std::string binary = std::string("\0\1\2\3\xff\xfe", 6);
  std::time_t date = localTimeOf(2021, 3, 14, 15, 9, 26);
};

TEST_F(ZipFileTest, EntriesRoundTripThroughMinizipUnzipAndPython) {
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    EXPECT_EQ(archivePath, archive.fileName());
    EXPECT_EQ(ZipFile::ZipFileModeCreate, archive.mode());
    addEntry(archive, "stored.txt", text, 0, date);
    addEntry(archive, "best.txt", repetitive, 9, date);
    addEntry(archive, "fast.bin", binary, 1, date);
    addEntry(archive, "folder/default.txt", text + text, -1, date);
    archive.close();
  }

  EXPECT_EQ(0, unzipTest(archivePath).status) << unzipTest(archivePath).output;
  // Python: method 0 or 8, the deflate option bits (best 2, fastest 6, default 0), the date, the bytes.
  std::string expected = "stored.txt\t0\t0\t2021-03-14 15:09:26\t" + zipDigest(text) +
                         "\n"
                         "best.txt\t8\t2\t2021-03-14 15:09:26\t" +
                         zipDigest(repetitive) +
                         "\n"
                         "fast.bin\t8\t6\t2021-03-14 15:09:26\t" +
                         zipDigest(binary) +
                         "\n"
                         "folder/default.txt\t8\t0\t2021-03-14 15:09:26\t" +
                         zipDigest(text + text) + "\n";
  ZipPeerResult python = pythonZipListing(archivePath);
  EXPECT_EQ(0, python.status);
  EXPECT_EQ(expected, python.output);

  ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
  EXPECT_EQ(4u, archive.numFilesInZip());
  std::vector<FileInZipInfo> infos = archive.listFileInZipInfos();
  ASSERT_EQ(4u, infos.size());
  const char* names[] = {"stored.txt", "best.txt", "fast.bin", "folder/default.txt"};
  const std::string* contents[] = {&text, &repetitive, &binary, nullptr};
  int levels[] = {0, 9, 1, -1};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(names[i], infos[i].name());
    EXPECT_EQ(levels[i], infos[i].level()) << names[i];
    EXPECT_FALSE(infos[i].crypted());
    EXPECT_EQ(date, infos[i].date()) << names[i];
    if (contents[i]) {
      EXPECT_EQ(contents[i]->size(), infos[i].length());
      EXPECT_EQ(crcOf(*contents[i]), infos[i].crc32());
    }
  }
  EXPECT_EQ(infos[0].length(), infos[0].size());  // stored as is
  EXPECT_LT(infos[1].size(), 200u);               // deflated hard
  // The listing leaves the last entry current: there is no next one.
  EXPECT_FALSE(archive.goToNextFileInZip());

  EXPECT_TRUE(archive.locateFileInZip("best.txt"));
  EXPECT_EQ("best.txt", archive.getCurrentFileInZipInfo().name());
  std::unique_ptr<ZipReadStream> stream = archive.readCurrentFileInZip();
  EXPECT_EQ("best.txt", stream->fileNameInZip());
  EXPECT_EQ(repetitive, readEntry(*stream, 1000));
  EXPECT_FALSE(archive.locateFileInZip("BEST.TXT"));
  EXPECT_FALSE(archive.locateFileInZip("missing"));
  archive.goToFirstFileInZip();
  EXPECT_EQ(text, readEntry(*archive.readCurrentFileInZip(), 7));
  archive.close();

  // Appending keeps what is there.
  {
    ZipFile appending(archivePath, ZipFile::ZipFileModeAppend);
    addEntry(appending, "appended.txt", repetitive, 9, date);
    appending.close();
  }
  EXPECT_EQ(0, unzipTest(archivePath).status);
  ZipFile appended(archivePath, ZipFile::ZipFileModeUnzip);
  std::vector<FileInZipInfo> all = appended.listFileInZipInfos();
  ASSERT_EQ(5u, all.size());
  EXPECT_EQ("stored.txt", all[0].name());
  EXPECT_EQ("appended.txt", all[4].name());
}

TEST_F(ZipFileTest, EncryptedEntriesOpenWithTheirPasswordHereInUnzipAndInPython) {
  struct Entry {
    std::string name;
    std::string content;
    int level;
  };
  const std::vector<Entry> entries = {
      {"stored.txt", text, 0},
      {"best.txt", repetitive, 9},
      {"default.bin", binary, -1},
      {"empty.txt", "", 9},
      {"large.bin", std::string(200000, 'x') + binary, 1},
  };
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    addEntry(archive, "plain.txt", text, 9, date);
    for (const Entry& entry : entries) {
      std::unique_ptr<ZipWriteStream> stream =
          archive.writeFileInZipWithName(entry.name, date, entry.level, "s\u00e9same", crcOf(entry.content));
      stream->writeData(entry.content.substr(0, entry.content.size() / 3));
      stream->writeData(entry.content.substr(entry.content.size() / 3));
      stream->finishedWriting();
    }
    archive.close();
  }

  EXPECT_EQ(0, unzipTest(archivePath, "s\u00e9same").status) << unzipTest(archivePath, "s\u00e9same").output;
  EXPECT_NE(0, unzipTest(archivePath, "wrong").status);
  std::string expected = "plain.txt\t8\t2\t2021-03-14 15:09:26\t" + zipDigest(text) + "\n";
  for (const Entry& entry : entries) {
    // Flag bit 0 (encrypted) beside the deflate option bits.
    int flags = entry.level == 9 ? 3 : entry.level == 1 ? 7 : 1;
    expected += entry.name + "\t" + (entry.level == 0 ? "0" : "8") + "\t" + std::to_string(flags) +
                "\t2021-03-14 15:09:26\t" + zipDigest(entry.content) + "\n";
  }
  ZipPeerResult python = pythonZipListing(archivePath, "s\u00e9same");
  EXPECT_EQ(0, python.status) << python.output;
  EXPECT_EQ(expected, python.output);
  EXPECT_NE(0, pythonZipListing(archivePath, "wrong").status);

  ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
  size_t refusedByTheHeader = 0;
  for (const Entry& entry : entries) {
    ASSERT_TRUE(archive.locateFileInZip(entry.name));
    FileInZipInfo info = archive.getCurrentFileInZipInfo();
    EXPECT_TRUE(info.crypted()) << entry.name;
    EXPECT_EQ(entry.level, info.level()) << entry.name;
    EXPECT_EQ(entry.content.size(), info.length()) << entry.name;
    EXPECT_EQ(entry.content, readEntry(*archive.readCurrentFileInZipWithPassword("s\u00e9same"), 1000)) << entry.name;
    const std::string opening = "Error in opening current file in '" + archivePath + "'";
    refusedByTheHeader += expectWrongPasswordRefused(archive, "wrong", entry.content, opening) ? 1 : 0;
    expectZipException(opening + ": the entry is encrypted", -102, [&] { archive.readCurrentFileInZip(); });
  }
  // Three headers or more that take a wrong password are a fault, not chance
  // (less than one in a million).
  EXPECT_GE(refusedByTheHeader, entries.size() - 2);
  // A plain entry needs no password and ignores one.
  ASSERT_TRUE(archive.locateFileInZip("plain.txt"));
  EXPECT_EQ(text, readEntry(*archive.readCurrentFileInZipWithPassword("s\u00e9same"), 64));
  archive.close();

  // An encrypted archive made by the zip tool opens with its password too.
  std::string made = folder.file("made.zip");
  std::string source = folder.file("secret.txt");
  TestFolder::write(source, repetitive);
  ASSERT_EQ(0, runZipPeer("cd '" + folder.path() + "' && zip -q -P sesame made.zip secret.txt").status);
  ZipFile madeArchive(made, ZipFile::ZipFileModeUnzip);
  madeArchive.goToFirstFileInZip();
  FileInZipInfo info = madeArchive.getCurrentFileInZipInfo();
  EXPECT_EQ("secret.txt", info.name());
  EXPECT_TRUE(info.crypted());
  EXPECT_EQ(crcOf(repetitive), info.crc32());
  EXPECT_EQ(repetitive, readEntry(*madeArchive.readCurrentFileInZipWithPassword("sesame"), 333));
  expectWrongPasswordRefused(madeArchive, "Sesame", repetitive, "Error in opening current file in '" + made + "'");
}

// The header's check byte comes from the CRC-32 given: one that does not
// match the bytes would make an entry no password opens, and says so.
TEST_F(ZipFileTest, AnEncryptedEntryWithAnotherCrcIsReportedAndTheArchiveStaysWhole) {
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    std::unique_ptr<ZipWriteStream> stream = archive.writeFileInZipWithName("wrong.txt", date, 9, "sesame", 12345);
    stream->writeData(text);
    expectZipException(
        "Error in closing 'wrong.txt' in the zipfile: the content's CRC-32 is not the one given"
        " for its encryption",
        -102, [&] { stream->finishedWriting(); });
    addEntry(archive, "after.txt", text, 9, date);
    archive.close();
  }
  ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
  ASSERT_EQ(2u, archive.numFilesInZip());
  ASSERT_TRUE(archive.locateFileInZip("after.txt"));
  EXPECT_EQ(text, readEntry(*archive.readCurrentFileInZip(), 64));
}

// A one-entry archive whose recorded CRC-32 no longer matches its bytes: the
// lowest byte changes in the local and the central header (the encryption's
// check byte comes from the highest).
void spoilTheCrc(const std::string& path) {
  std::string bytes = TestFolder::read(path);
  size_t central = bytes.find(std::string("PK\1\2", 4));
  ASSERT_EQ(0u, bytes.find(std::string("PK\3\4", 4)));
  ASSERT_NE(std::string::npos, central);
  bytes[14] = char(bytes[14] ^ 0x5a);
  bytes[central + 16] = char(bytes[central + 16] ^ 0x5a);
  TestFolder::write(path, bytes);
}

// Letters of a fixed pseudo-random sequence: deflated in Huffman-coded blocks.
std::string letters(size_t length) {
  std::string text(length, ' ');
  unsigned state = 12345;
  for (char& c : text) {
    state = state * 1103515245u + 12345u;
    c = "abcdefghijklmnop"[(state >> 16) & 15];
  }
  return text;
}

// Whatever the reading's steps, all of an entry read with a wrong CRC-32
// ends in the CRC error, plain or encrypted, stored or deflated; also when
// the deflated data's end marker lies past the bytes that gave the last of
// the entry (114099 letters deflate to 65537 bytes: the marker is in the
// second piece read).
TEST_F(ZipFileTest, AWrongCrcIsReportedOnceTheWholeEntryIsRead) {
  struct Case {
    int level;
    std::string password;
    std::string content;
    size_t bufferSize;  // the entry's length: read in one call
  };
  const std::string straddling = letters(114099);
  const std::vector<Case> cases = {
      {9, "", repetitive, repetitive.size()},
      {0, "", repetitive, repetitive.size()},
      {9, "sesame", repetitive, repetitive.size()},
      {0, "sesame", repetitive, repetitive.size()},
      {9, "sesame", repetitive, 1000},
      {9, "", straddling, straddling.size()},
      {9, "sesame", straddling, straddling.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + " '" + c.password + "' " + std::to_string(c.content.size()) + " " +
                 std::to_string(c.bufferSize));
    {
      ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
      std::unique_ptr<ZipWriteStream> stream =
          archive.writeFileInZipWithName("entry.txt", date, c.level, c.password, crcOf(c.content));
      stream->writeData(c.content);
      stream->finishedWriting();
      archive.close();
    }
    spoilTheCrc(archivePath);
    ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
    ASSERT_TRUE(archive.locateFileInZip("entry.txt"));
    std::unique_ptr<ZipReadStream> stream = archive.readCurrentFileInZipWithPassword(c.password);
    std::vector<uint8_t> buffer(c.bufferSize);
    uint64_t read = 0;
    while (read < c.content.size()) {
      uint64_t length = stream->readDataWithBuffer(buffer);
      ASSERT_NE(0u, length);
      read += length;
    }
    expectZipException("Error in closing 'entry.txt' in the zipfile", -105, [&] { stream->finishedReading(); });
  }
}

// A name with letters beyond ASCII is marked UTF-8, so that other readers
// do not take it as code page 437.
TEST_F(ZipFileTest, NonAsciiNamesReadTheSameElsewhere) {
  const std::string name =
      "T\xC3\xA2"
      "ches \xE2\x80\x93 \xC3\xA9t\xC3\xA9.txt";
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    addEntry(archive, name, text, 0, date);
    addEntry(archive, "plain.txt", text, 0, date);
    archive.close();
  }
  std::vector<std::vector<std::string>> entries = pythonZipEntries(archivePath);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(name, entries[0][0]);
  EXPECT_EQ("2048", entries[0][2]);
  EXPECT_EQ("0", entries[1][2]);
  ZipFile reading(archivePath, ZipFile::ZipFileModeUnzip);
  EXPECT_TRUE(reading.locateFileInZip(name));
}

TEST_F(ZipFileTest, NamesLongerThan255BytesComeBackWhole) {
  std::string name = std::string(300, 'n') + ".log";
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    addEntry(archive, name, text, 9, date);
    archive.close();
  }
  ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
  archive.goToFirstFileInZip();
  EXPECT_EQ(name, archive.getCurrentFileInZipInfo().name());
  EXPECT_EQ(name, archive.readCurrentFileInZip()->fileNameInZip());
  // Long names are found too, and a miss leaves the current entry alone.
  {
    ZipFile writer(archivePath, ZipFile::ZipFileModeAppend);
    addEntry(writer, "short.txt", binary, 9, date);
    writer.close();
  }
  ZipFile reader(archivePath, ZipFile::ZipFileModeUnzip);
  EXPECT_TRUE(reader.locateFileInZip(name));
  EXPECT_EQ(text, readEntry(*reader.readCurrentFileInZip(), 64));
  EXPECT_TRUE(reader.locateFileInZip("short.txt"));
  EXPECT_FALSE(reader.locateFileInZip(std::string(300, 'x')));
  EXPECT_EQ("short.txt", reader.getCurrentFileInZipInfo().name());
}

TEST_F(ZipFileTest, WrongModesAndBadFilesRaiseWithoutTouchingTheArchive) {
  expectZipException("Unknown mode 3", 0, [&] { ZipFile(archivePath, 3); });
  EXPECT_FALSE(TestFolder::exists(archivePath));
  expectZipException("Can't open '" + archivePath + "'", 0, [&] { ZipFile(archivePath, ZipFile::ZipFileModeUnzip); });
  std::string notZip = folder.file("not.zip");
  TestFolder::write(notZip, "this is not a zip archive at all");
  expectZipException("Can't open '" + notZip + "'", 0, [&] { ZipFile(notZip, ZipFile::ZipFileModeUnzip); });
  expectZipException("Can't open '" + folder.file("missing/x.zip") + "'", 0,
                     [&] { ZipFile(folder.file("missing/x.zip"), ZipFile::ZipFileModeCreate); });

  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
    addEntry(archive, "a.txt", text, 9, date);
    for (const std::function<void()>& read : std::vector<std::function<void()>>{
             [&] { archive.numFilesInZip(); }, [&] { archive.goToFirstFileInZip(); },
             [&] { archive.locateFileInZip("a"); }, [&] { archive.readCurrentFileInZip(); }}) {
      expectZipException("Operation not permitted without Unzip mode", 0, read);
    }
    // Closed by the destructor.
  }
  std::string before = TestFolder::read(archivePath);
  {
    ZipFile archive(archivePath, ZipFile::ZipFileModeUnzip);
    expectZipException("Operation not permitted with Unzip mode", 0,
                       [&] { archive.writeFileInZipWithName("b.txt", 9); });
  }
  EXPECT_EQ(before, TestFolder::read(archivePath));
  EXPECT_EQ(0, unzipTest(archivePath).status);
}

}  // namespace
