// The saved pages on disk: names, round trips, damaged files, the manifest's
// resources joining the player page, only the player page recorded, the few
// saved pages kept, and stores from several threads.
#include "SavedPageStore.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

#include "TestFolder.h"

namespace {

const std::string kPlayer = "http://player.example.com/";

std::string binary() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes + std::string(3, '\0');
}

TEST(SavedPageTest, FileNameIsTheUppercaseDigestOfTheAddressWithoutFragment) {
  // md5sum of "http://player.example.com/", in capitals.
  std::string name = SavedPageStore::fileNameFor(kPlayer);
  EXPECT_EQ(name, "DBD0A0A4D0A6AE4FD65F593EE08A593B");
  EXPECT_EQ(SavedPageStore::fileNameFor(kPlayer + "#!/album/1"), name);
  EXPECT_NE(SavedPageStore::fileNameFor(kPlayer + "?beta"), name);
}

TEST(SavedPageTest, RoundTripKeepsEveryByteAndTheOrder) {
  SavedPage page(kPlayer + "#!/x");
  page.keep(kPlayer, "text/html", "<html></html>");
  page.keep(kPlayer + "app.js", "application/javascript", binary());
  page.keep(kPlayer + "empty.txt", "", "");
  page.keep(kPlayer + "app.js#frag", "text/javascript", "replaced");
  SavedPage read;
  ASSERT_TRUE(read.parse(page.serialize()));
  EXPECT_EQ(read.address(), kPlayer);
  ASSERT_EQ(read.resources().size(), 3u);
  EXPECT_EQ(read.resources()[1].address, kPlayer + "app.js");
  EXPECT_EQ(read.resources()[1].mimeType, "text/javascript");
  EXPECT_EQ(read.resources()[1].bytes, "replaced");
  EXPECT_EQ(read.resources()[2].bytes, "");
  ASSERT_NE(read.document(), nullptr);
  EXPECT_EQ(read.document()->bytes, "<html></html>");

  SavedPage binaryPage(kPlayer);
  binaryPage.keep(kPlayer, "application/octet-stream", binary());
  ASSERT_TRUE(read.parse(binaryPage.serialize()));
  EXPECT_EQ(read.document()->bytes, binary());
}

TEST(SavedPageTest, DamagedFilesAreRefusedWhole) {
  SavedPage page(kPlayer);
  page.keep(kPlayer, "text/html", "<html>a page</html>");
  page.keep(kPlayer + "a.js", "application/javascript", "var a = 1;");
  std::string file = page.serialize();
  SavedPage read;
  EXPECT_FALSE(read.parse(""));
  EXPECT_FALSE(read.parse("VLSPAGE1"));
  EXPECT_FALSE(read.parse("XLSPAGE1" + file.substr(8)));
  // Cut anywhere, or with framing bytes changed: never accepted as another page.
  for (size_t cut = 8; cut < file.size(); cut += 3) {
    SavedPage partial;
    EXPECT_FALSE(partial.parse(file.substr(0, cut)) && partial.document() != nullptr &&
                 partial.document()->bytes != "<html>a page</html>")
        << cut;
  }
  for (size_t at = file.size() - 8; at < file.size(); ++at) {
    std::string damaged = file;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
    SavedPage other;
    other.parse(damaged);  // must not crash; whatever it gives is checked by the store
  }
  EXPECT_TRUE(read.resources().empty());  // untouched by the failures
}

TEST(SavedPageStoreTest, SavesOnlyPagesHoldingTheirDocument) {
  TestFolder folder;
  SavedPageStore store(folder.path() + "/cache", kPlayer);
  store.record(kPlayer, kPlayer + "app.js", "application/javascript", "var x;");
  EXPECT_FALSE(store.saveRecording(kPlayer));
  EXPECT_FALSE(store.exists(kPlayer));
  store.record(kPlayer + "#!/album/1", kPlayer, "text/html", "<html></html>");
  EXPECT_TRUE(store.saveRecording(kPlayer));
  EXPECT_TRUE(store.exists(kPlayer + "#!/elsewhere"));
  EXPECT_EQ(store.pathFor(kPlayer), folder.path() + "/cache/" + SavedPageStore::fileNameFor(kPlayer));
  struct stat info;
  ASSERT_EQ(stat((folder.path() + "/cache").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer + "#!/album/2", page));
  EXPECT_EQ(page.resources().size(), 2u);
  EXPECT_NE(page.find(kPlayer + "app.js"), nullptr);
}

TEST(SavedPageStoreTest, LoadRefusesDamagedFilesAndFilesOfAnotherPage) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer);
  SavedPage page;
  EXPECT_FALSE(store.load(kPlayer, page));
  ASSERT_TRUE(TestFolder::write(store.pathFor(kPlayer), "not a saved page"));
  EXPECT_FALSE(store.load(kPlayer, page));
  // A file that names another page (copied over, or a digest collision).
  SavedPage other("http://other.example.com/");
  other.keep("http://other.example.com/", "text/html", "<p>other</p>");
  ASSERT_TRUE(TestFolder::write(store.pathFor(kPlayer), other.serialize()));
  EXPECT_FALSE(store.load(kPlayer, page));
  // A page without its document cannot be shown.
  SavedPage noDocument(kPlayer);
  noDocument.keep(kPlayer + "a.js", "application/javascript", "1");
  ASSERT_TRUE(TestFolder::write(store.pathFor(kPlayer), noDocument.serialize()));
  EXPECT_FALSE(store.load(kPlayer, page));
  EXPECT_TRUE(page.empty());
}

TEST(SavedPageStoreTest, AWriteThatCannotBeMadeIsReportedAndChangesNothing) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer);
  store.record(kPlayer, kPlayer, "text/html", "first");
  ASSERT_TRUE(store.saveRecording(kPlayer));
  // A store whose folder cannot be made (a file stands in its way).
  SavedPageStore blocked(store.pathFor(kPlayer) + "/sub", kPlayer);
  blocked.record(kPlayer, kPlayer, "text/html", "second");
  EXPECT_FALSE(blocked.saveRecording(kPlayer));
  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_EQ(page.document()->bytes, "first");
}

TEST(SavedPageStoreTest, ManifestResourcesJoinThePlayerPage) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer + "#ignored");
  // Before the page's document: kept, not written.
  EXPECT_TRUE(store.storeResource(kPlayer + "lazy.js", "application/javascript", "lazy"));
  EXPECT_FALSE(store.exists(kPlayer));
  store.record(kPlayer, kPlayer, "text/html", "<html></html>");
  ASSERT_TRUE(store.saveRecording(kPlayer));
  // After it: written at once.
  EXPECT_TRUE(store.storeResource(kPlayer + "later.css", "text/css", "b{}"));
  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_NE(page.find(kPlayer + "lazy.js"), nullptr);
  ASSERT_NE(page.find(kPlayer + "later.css"), nullptr);
  EXPECT_EQ(page.find(kPlayer + "later.css")->mimeType, "text/css");
}

// Only the player page is recorded, and its recording goes once written:
// what the page loads afterwards is added to the file.
TEST(SavedPageStoreTest, OnlyThePlayerPageIsRecordedAndWhatComesAfterItsSaveJoinsTheFile) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer);
  EXPECT_FALSE(store.record(kPlayer + "?again=1", kPlayer + "?again=1", "text/html", "<p>another</p>"));
  EXPECT_FALSE(store.hasRecording());
  EXPECT_FALSE(store.saveRecording(kPlayer + "?again=1"));
  EXPECT_FALSE(store.exists(kPlayer + "?again=1"));

  ASSERT_TRUE(store.record(kPlayer, kPlayer, "text/html", "<html></html>"));
  ASSERT_TRUE(store.record(kPlayer, kPlayer + "a.js", "application/javascript", "a"));
  ASSERT_TRUE(store.saveRecording(kPlayer));
  EXPECT_FALSE(store.hasRecording());
  ASSERT_TRUE(store.record(kPlayer, kPlayer + "lazy.js", "application/javascript", "lazy"));
  ASSERT_TRUE(store.saveRecording(kPlayer));
  EXPECT_FALSE(store.hasRecording());
  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_EQ(page.resources().size(), 3u);
  EXPECT_EQ(page.find(kPlayer + "lazy.js")->bytes, "lazy");
  EXPECT_EQ(page.document()->bytes, "<html></html>");
}

// Every player address the client was pointed at left a file: writing the
// page keeps the newest few, and nothing else of the folder is touched.
TEST(SavedPageStoreTest, WritingThePageKeepsOnlyTheNewestFewSavedPages) {
  TestFolder folder;
  std::vector<std::string> earlier;
  for (int i = 0; i < 6; ++i) {
    std::string path = folder.file(SavedPageStore::fileNameFor("http://player" + std::to_string(i) + ".example.com/"));
    ASSERT_TRUE(TestFolder::write(path, "an earlier page"));
    struct timespec times[2] = {{1000000 + i, 0}, {1000000 + i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    earlier.push_back(path);
  }
  std::string other = folder.writeFile("settings.ini", "kept");
  std::string shortName = folder.writeFile("ABCDEF", "kept");
  SavedPageStore store(folder.path(), kPlayer);
  store.record(kPlayer, kPlayer, "text/html", "<html></html>");
  ASSERT_TRUE(store.saveRecording(kPlayer));
  EXPECT_TRUE(store.exists(kPlayer));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(TestFolder::exists(earlier[i]), i >= 4) << i;
  EXPECT_TRUE(TestFolder::exists(other));
  EXPECT_TRUE(TestFolder::exists(shortName));
}

// Written on the store's thread, in the order asked: the page, then what
// came after it. A recording that would pass the size limit is dropped
// whole (what came after the page too): the file stays as written.
TEST(SavedPageStoreTest, BackgroundWritesKeepTheirOrderAndARecordingOverTheLimitIsDropped) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer);
  ASSERT_TRUE(store.record(kPlayer, kPlayer, "text/html", "<html></html>"));
  ASSERT_TRUE(store.saveRecordingInBackground(kPlayer));
  ASSERT_TRUE(store.record(kPlayer, kPlayer + "cover1.png", "image/png", "1"));
  ASSERT_TRUE(store.saveRecordingInBackground(kPlayer));
  EXPECT_FALSE(store.saveRecordingInBackground(kPlayer));  // nothing waits
  store.waitForWrites();
  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_EQ(page.resources().size(), 2u);

  const std::string half(SavedPageStore::kMaximumFileBytes / 2, 'x');
  ASSERT_TRUE(store.record(kPlayer, kPlayer + "cover2.png", "image/png", half));
  EXPECT_FALSE(store.record(kPlayer, kPlayer + "cover3.png", "image/png", half));
  EXPECT_FALSE(store.hasRecording());
  EXPECT_FALSE(store.saveRecordingInBackground(kPlayer));
  // A whole load over the limit is no page either.
  ASSERT_TRUE(store.record(kPlayer, kPlayer, "text/html", "<html>second</html>"));
  ASSERT_TRUE(store.record(kPlayer, kPlayer + "a.js", "application/javascript", half));
  EXPECT_FALSE(store.record(kPlayer, kPlayer + "b.js", "application/javascript", half));
  EXPECT_FALSE(store.saveRecordingInBackground(kPlayer));
  store.waitForWrites();
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_EQ(page.resources().size(), 2u);
  EXPECT_EQ(page.document()->bytes, "<html></html>");
}

TEST(SavedPageStoreTest, StoresFromSeveralThreadsLoseNothing) {
  TestFolder folder;
  SavedPageStore store(folder.path(), kPlayer);
  store.record(kPlayer, kPlayer, "text/html", "<html></html>");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 20; ++i) {
        std::string name = kPlayer + "r" + std::to_string(t) + "_" + std::to_string(i);
        store.storeResource(name, "text/plain", name);
        if (t == 0) store.record(kPlayer, kPlayer + "page" + std::to_string(i), "text/plain", "p");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(store.saveRecording(kPlayer));
  SavedPage page;
  ASSERT_TRUE(store.load(kPlayer, page));
  EXPECT_EQ(page.resources().size(), 1u + 4 * 20 + 20);
}

}  // namespace
