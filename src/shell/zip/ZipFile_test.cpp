#include "ZipFile.h"

#include <gtest/gtest.h>

#include <functional>
#include <zlib.h>

#include "TestFolder.h"
#include "ZipException.h"
#include "ZipTestPeers.h"

namespace {

uint32_t crcOf(const std::string& bytes)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
}

std::string readEntry(ZipReadStream& stream, size_t bufferSize)
{
    std::string content;
    std::vector<uint8_t> buffer(bufferSize);
    while (uint64_t length = stream.readDataWithBuffer(buffer))
        content.append(reinterpret_cast<const char*>(buffer.data()), length);
    EXPECT_EQ(bufferSize, buffer.size());
    stream.finishedReading();
    return content;
}

void addEntry(ZipFile& archive, const std::string& name, const std::string& content, int level, std::time_t date)
{
    std::unique_ptr<ZipWriteStream> entry = archive.writeFileInZipWithName(name, date, level);
    EXPECT_EQ(name, entry->fileNameInZip());
    entry->writeData(content.substr(0, content.size() / 2));
    entry->writeData(content.substr(content.size() / 2));
    entry->finishedWriting();
}

// Expects `call` to throw a ZipException with that reason and error code.
template <typename Call>
void expectZipException(const std::string& reason, int64_t error, Call call)
{
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << reason;
    } catch (const ZipException& exception) {
        EXPECT_EQ(reason, exception.reason());
        EXPECT_EQ(error, exception.error());
        EXPECT_STREQ("ZipException", exception.name());
    }
}

class ZipFileTest : public ::testing::Test
{
protected:
    TestFolder folder;
    std::string archivePath = folder.file("test.zip");
    std::string repetitive = std::string(20000, 'a') + "tail";
    std::string text = "Hello, archive!\n";
    std::string binary = std::string("\0\1\2\3\xff\xfe", 6);
    std::time_t date = localTimeOf(2021, 3, 14, 15, 9, 26);
};

TEST_F(ZipFileTest, EntriesRoundTripThroughMinizipUnzipAndPython)
{
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
    std::string expected = "stored.txt\t0\t0\t2021-03-14 15:09:26\t" + zipDigest(text) + "\n"
                           "best.txt\t8\t2\t2021-03-14 15:09:26\t" + zipDigest(repetitive) + "\n"
                           "fast.bin\t8\t6\t2021-03-14 15:09:26\t" + zipDigest(binary) + "\n"
                           "folder/default.txt\t8\t0\t2021-03-14 15:09:26\t" + zipDigest(text + text) + "\n";
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

TEST_F(ZipFileTest, EncryptedEntriesAreRefusedRatherThanWrittenUnreadable)
{
    {
        ZipFile archive(archivePath, ZipFile::ZipFileModeCreate);
        addEntry(archive, "plain.txt", text, 9, date);
        expectZipException("Error in opening 'secret.txt' in zipfile: encrypted entries are not supported", -102,
                           [&] { archive.writeFileInZipWithName("secret.txt", date, 9, "sesame", 0); });
        archive.close();
    }
    EXPECT_EQ(0, unzipTest(archivePath).status);

    // An encrypted archive made by the zip tool: listed as such, and its
    // content refused with an exception, never returned garbled.
    std::string made = folder.file("made.zip");
    std::string source = folder.file("secret.txt");
    TestFolder::write(source, repetitive);
    ASSERT_EQ(0, runZipPeer("cd '" + folder.path() + "' && zip -q -P sesame made.zip secret.txt").status);
    ZipFile archive(made, ZipFile::ZipFileModeUnzip);
    archive.goToFirstFileInZip();
    FileInZipInfo info = archive.getCurrentFileInZipInfo();
    EXPECT_EQ("secret.txt", info.name());
    EXPECT_TRUE(info.crypted());
    EXPECT_EQ(crcOf(repetitive), info.crc32());
    EXPECT_THROW(archive.readCurrentFileInZipWithPassword("sesame"), ZipException);
}

TEST_F(ZipFileTest, NamesLongerThan255BytesComeBackWhole)
{
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

TEST_F(ZipFileTest, WrongModesAndBadFilesRaiseWithoutTouchingTheArchive)
{
    expectZipException("Unknown mode 3", 0, [&] { ZipFile(archivePath, 3); });
    EXPECT_FALSE(TestFolder::exists(archivePath));
    expectZipException("Can't open '" + archivePath + "'", 0,
                       [&] { ZipFile(archivePath, ZipFile::ZipFileModeUnzip); });
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
