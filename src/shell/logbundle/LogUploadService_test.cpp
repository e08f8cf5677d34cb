#include "LogUploadService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <random>
#include <glib.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "LogBundle.h"
#include "LogUploadPresenter.h"
#include "MultipartFormData.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "VLTestLog.h"
#include "ZipTestPeers.h"

namespace {

// A port on 127.0.0.1 where nothing listens.
int closedPort() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  close(listener);
  return ntohs(address.sin_port);
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* directory = opendir(folder.c_str())) {
    while (dirent* entry = readdir(directory)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// How often the phrase stands in the text.
size_t occurrences(const std::string& text, const std::string& phrase) {
  size_t count = 0;
  for (size_t at = text.find(phrase); at != std::string::npos; at = text.find(phrase, at + 1)) ++count;
  return count;
}

unsigned modeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

// Python's listing as "name length:crc32" lines.
std::vector<std::string> archiveEntries(const std::string& archive) {
  int status = -1;
  std::vector<std::string> entries;
  for (const std::vector<std::string>& fields : pythonZipEntries(archive, &status))
    entries.push_back(fields[0] + " " + fields[4]);
  EXPECT_EQ(0, status);
  return entries;
}

// Records what the upload tells the user, and on which thread.
class RecordingPresenter : public LogUploadPresenter {
 public:
  void showSendLogSuccessMessage() override {
    calls.push_back("success");
    threads.push_back(std::this_thread::get_id());
  }
  void showSendLogFailureMessage(const std::string& archivePath) override {
    calls.push_back("failure " + archivePath);
    threads.push_back(std::this_thread::get_id());
  }

  // Runs the default main context until `count` calls came (30 s at most).
  bool waitForCalls(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (calls.size() < count && std::chrono::steady_clock::now() < deadline)
      g_main_context_iteration(nullptr, FALSE) || usleep(2000);
    return calls.size() >= count;
  }

  std::vector<std::string> calls;
  std::vector<std::thread::id> threads;
};

class LogUploadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool logging = (VLTestLog::start(), true);
    (void)logging;
    ASSERT_TRUE(server.isRunning());
    std::string logs = folder.folder("logs");
    TestFolder::write(logs + "/desktop.log", "2024-05-01 12:00:00,000 [main] INFO  desktop - started\n");
    TestFolder::write(logs + "/desktop.log.1", "older lines\n");
    TestFolder::write(logs + "/desktop_stderr.log", "");
    folder.folder("logs/sub");
    TestFolder::write(folder.file("outside.txt"), "not a log");
    symlink(folder.file("outside.txt").c_str(), (logs + "/link.log").c_str());
    TestFolder::write(folder.file("preferences"), "LastIdentity=someone\n");
    settings.logFolder = logs;
    settings.preferencesFile = folder.file("preferences");
    settings.desktopFolder = folder.file("Desktop");  // made by the upload
    settings.temporaryFolder = folder.folder("tmp");
    settings.endpoint = server.url("/proxy/logging.php");
    settings.systemUid = "6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB";
    settings.applicationVersion = "2.1 (345)";
    settings.systemInfoSources = {SystemInfoSource{{"echo", "system facts"}, ""}};
  }

  TestFolder folder;
  TestHttpServer server;
  LogBundleSettings settings;
  RecordingPresenter presenter;
  std::time_t now = localTimeOf(2018, 12, 31, 23, 59, 58);
};

TEST_F(LogUploadServiceTest, PostsTheBundleAsAStandardMultipartFormAndDeletesIt) {
  LogUploadService service(settings, presenter);
  std::string archive;
  EXPECT_EQ(LogUploadService::Outcome::Sent, service.upload("user-42", "jane@example.org", "web 7.3", now, archive));
  // The calendar year, not the week-based one (which is 2019 here).
  EXPECT_EQ(folder.file("Desktop/velora-logs-31.12.18-23-59-58.zip"), archive);
  EXPECT_FALSE(TestFolder::exists(archive));
  EXPECT_TRUE(folderEntries(settings.temporaryFolder).empty());

  std::vector<TestHttpForm> forms = server.getForms();
  ASSERT_EQ(1u, forms.size());
  const TestHttpForm& form = forms[0];
  EXPECT_EQ("/proxy/logging.php", form.path);
  // Quoted: the boundary holds a space.
  EXPECT_EQ("multipart/form-data; boundary=\"" + std::string(MultipartFormData::kLogBoundary) + "\"", form.contentType);
  EXPECT_EQ("ok", form.defects);
  // Each part as "name=value;filename", in order; the archive is read below.
  std::vector<std::string> parts;
  for (const TestHttpFormPart& part : form.parts)
    parts.push_back(part.name + "=" + (part.name == "file" ? "" : part.bytes) + ";" + part.filename);
  EXPECT_EQ((std::vector<std::string>{"udid=6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB;", "ext=zip;", "ver=2.1 (345);",
                                      "type=desktop;", "auto=0;", "file=;file"}),
            parts);
  ASSERT_NE(nullptr, form.part("file"));
  EXPECT_EQ("application/octet-stream", form.part("file")->contentType);

  std::string received = folder.file("received.zip");
  TestFolder::write(received, form.part("file")->bytes);
  EXPECT_EQ(0, unzipTest(received).status);
  std::vector<std::string> expected = {
      "desktop.log " + zipDigest("2024-05-01 12:00:00,000 [main] INFO  desktop - started\n"),
      "desktop.log.1 " + zipDigest("older lines\n"),
      "desktop_stderr.log " + zipDigest(""),
      "preferences " + zipDigest("LastIdentity=someone\n"),
      "velora-user-infos-31.12.18-23-59-58.txt " +
          zipDigest("userId:user-42\r\nuserLogin:jane@example.org\r\ndesktopVersion:web 7.3\r\n"),
      "velora-system-infos-31.12.18-23-59-58.txt " + zipDigest("echo system facts:\nsystem facts\n\n"),
  };
  EXPECT_EQ(expected, archiveEntries(received));
}

// Requests while an upload is under way join it: one bundle, one answer.
TEST_F(LogUploadServiceTest, RequestsWhileOneIsUnderWayJoinIt) {
  size_t mark = VLTestLog::mark();
  {
    LogUploadService service(settings, presenter);
    for (int i = 0; i < 5; ++i) service.sendLogForUserId("user-42", "jane@example.org", "web 7.3");
    ASSERT_TRUE(presenter.waitForCalls(1));
    // The next request, once the first is done, is a new upload.
    service.sendLogForUserId("user-42", "jane@example.org", "web 7.3");
    ASSERT_TRUE(presenter.waitForCalls(2));
  }
  EXPECT_EQ(2u, server.getForms().size());
  EXPECT_EQ(2u, presenter.calls.size());
  EXPECT_EQ(4u, occurrences(VLTestLog::since(mark), "joins the upload under way"));
}

// This process's resident memory ("VmRSS:") or its peak since the last
// reset ("VmHWM:"), in kB.
size_t residentKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size(), field) == 0) return std::stoul(line.substr(field.size()));
  }
  return 0;
}

// How far the process's resident peak rises above its resident size while
// `work` runs, in kB.
size_t residentPeakGrowth(const std::function<void()>& work) {
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from now
  size_t before = residentKilobytes("VmRSS:");
  work();
  size_t peak = residentKilobytes("VmHWM:");
  return peak > before ? peak - before : 0;
}

// A large log folder: each file gives its last bytes only, and the archive
// goes from disk as it is sent, never whole in memory.
TEST_F(LogUploadServiceTest, LargeLogsAreCutToTheirEndAndStreamed) {
  std::string large(30u << 20, '\0');
  std::mt19937 random(7);
  for (char& byte : large) byte = char(random());
  ASSERT_TRUE(TestFolder::write(settings.logFolder + "/crash.log", large));
  LogUploadService service(settings, presenter);
  std::string archive;
  size_t growth = residentPeakGrowth([&] {
    EXPECT_EQ(LogUploadService::Outcome::Sent, service.upload("user-42", "jane@example.org", "web 7.3", now, archive));
  });
#if !defined(__SANITIZE_ADDRESS__)
  // The archive (incompressible, 30 MB whole) held once would pass this.
  EXPECT_LT(growth, 16u * 1024);
#endif
  (void)growth;
  std::vector<TestHttpForm> forms = server.getForms();
  ASSERT_EQ(1u, forms.size());
  ASSERT_NE(nullptr, forms[0].part("file"));
  std::string received = folder.file("received.zip");
  TestFolder::write(received, forms[0].part("file")->bytes);
  std::vector<std::string> entries = archiveEntries(received);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ("crash.log " + zipDigest(large.substr(large.size() - LogBundle::kMaxBytesPerFile)), entries[0]);
}

// A server (or anything on the way: the endpoint is plain HTTP) that answers
// without end: the upload takes its status and stops reading.
TEST_F(LogUploadServiceTest, AnEndlessAnswerIsReadNoFurtherThanItsStatus) {
  settings.endpoint = server.url("/endless=1/proxy/logging.php");
  LogUploadService service(settings, presenter);
  std::string archive;
  size_t growth = residentPeakGrowth([&] {
    EXPECT_EQ(LogUploadService::Outcome::Sent, service.upload("user-42", "jane@example.org", "web 7.3", now, archive));
  });
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(growth, 16u * 1024);
#endif
  (void)growth;
  EXPECT_EQ(1u, server.getForms().size());
}

// Requests asked again and again while uploads fail: one bundle and one
// alert, not one for each request.
TEST_F(LogUploadServiceTest, RequestsRightAfterAFailureAreNotMade) {
  settings.endpoint = server.url("/status=500/proxy/logging.php");
  size_t mark = VLTestLog::mark();
  LogUploadService service(settings, presenter);
  service.sendLogForUserId("user-42", "jane@example.org", "web 7.3");
  ASSERT_TRUE(presenter.waitForCalls(1));
  for (int i = 0; i < 3; ++i) service.sendLogForUserId("user-42", "jane@example.org", "web 7.3");
  EXPECT_EQ(1u, server.getForms().size());
  EXPECT_EQ(1u, presenter.calls.size());
  EXPECT_EQ(3u, occurrences(VLTestLog::since(mark), "the last upload failed"));
}

TEST_F(LogUploadServiceTest, AnyFailureKeepsTheArchive) {
  // An empty path stands for a port where nothing listens.
  const std::pair<const char*, const char*> cases[] = {{"/status=500/proxy/logging.php", "HTTP status 500"},
                                                       {"/status=404/proxy/logging.php", "HTTP status 404"},
                                                       {"/status=302/proxy/logging.php", "HTTP status 302"},
                                                       {"", "Couldn't connect to server"}};
  int index = 0;
  for (const auto& entry : cases) {
    size_t mark = VLTestLog::mark();
    LogBundleSettings failing = settings;
    failing.endpoint = *entry.first ? server.url(entry.first)
                                    : "http://127.0.0.1:" + std::to_string(closedPort()) + "/proxy/logging.php";
    failing.desktopFolder = folder.folder("Desktop") + "/" + std::to_string(index++);
    LogUploadService service(failing, presenter);
    std::string archive;
    EXPECT_EQ(LogUploadService::Outcome::NotSent, service.upload("u", "l", "v", now, archive)) << failing.endpoint;
    EXPECT_TRUE(TestFolder::exists(archive)) << failing.endpoint;
    EXPECT_EQ(0600u, modeOf(archive));
    EXPECT_EQ(0, unzipTest(archive).status);
    EXPECT_TRUE(folderEntries(settings.temporaryFolder).empty());
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find(std::string("Error sending data: ") + entry.second));
  }
  // Every answered failure had the whole bundle.
  EXPECT_EQ(3u, server.getForms().size());
}

TEST_F(LogUploadServiceTest, NoArchiveNoPost) {
  TestFolder::write(folder.file("Desktop"), "a file where the desktop folder should be");
  LogUploadService service(settings, presenter);
  std::string archive;
  EXPECT_EQ(LogUploadService::Outcome::NoArchive, service.upload("u", "l", "v", now, archive));
  EXPECT_TRUE(server.getForms().empty());
  EXPECT_TRUE(folderEntries(settings.temporaryFolder).empty());
}

TEST_F(LogUploadServiceTest, TextsArePrivateWhileTheBundleLives) {
  LogBundle bundle(settings);
  ASSERT_TRUE(bundle.build("u", "l", "v", now));
  const std::vector<std::string>& files = bundle.files();
  ASSERT_EQ(6u, files.size());
  std::string privateFolder = files[4].substr(0, files[4].rfind('/'));
  EXPECT_EQ(settings.temporaryFolder, privateFolder.substr(0, privateFolder.rfind('/')));
  EXPECT_EQ(0700u, modeOf(privateFolder));
  EXPECT_EQ(0600u, modeOf(files[4]));
  EXPECT_EQ(0600u, modeOf(files[5]));
  EXPECT_EQ(0600u, modeOf(bundle.archivePath()));
  EXPECT_EQ(0700u, modeOf(settings.desktopFolder));
}

TEST_F(LogUploadServiceTest, RequestsRunOffTheMainThreadAndReportOnIt) {
  LogBundleSettings failing = settings;
  failing.endpoint = server.url("/status=500/proxy/logging.php");
  // The storage folders are asked where the core answers, on the main thread.
  LogBundleSettings withFolders = settings;
  withFolders.systemInfoSources = {SystemInfoSource{{"echo"}, "", true}};
  std::vector<std::thread::id> asked;
  withFolders.storageFolders = [&asked] {
    asked.push_back(std::this_thread::get_id());
    return std::vector<std::string>{"/cache", "/downloads"};
  };
  LogUploadService good(withFolders, presenter);
  LogUploadService bad(failing, presenter);
  good.sendLogForUserId("u", "l", "v");
  ASSERT_TRUE(presenter.waitForCalls(1));
  EXPECT_EQ(std::vector<std::thread::id>{std::this_thread::get_id()}, asked);
  ASSERT_EQ(1u, server.getForms().size());
  std::string received = folder.file("received.zip");
  TestFolder::write(received, server.getForms()[0].part("file")->bytes);
  std::vector<std::string> entries = archiveEntries(received);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(zipDigest("echo /cache /downloads:\n/cache /downloads\n\n"),
            entries.back().substr(entries.back().find(' ') + 1));
  bad.sendLogForUserId("u", "l", "v");
  ASSERT_TRUE(presenter.waitForCalls(2));
  EXPECT_EQ("success", presenter.calls[0]);
  ASSERT_EQ(0u, presenter.calls[1].find("failure " + folder.file("Desktop/velora-logs-")));
  EXPECT_TRUE(TestFolder::exists(presenter.calls[1].substr(8)));
  for (std::thread::id thread : presenter.threads) EXPECT_EQ(std::this_thread::get_id(), thread);
}

TEST_F(LogUploadServiceTest, ResultsOfAServiceGoneAreDropped) {
  {
    LogUploadService service(settings, presenter);
    service.sendLogForUserId("u", "l", "v");
    server.waitForRequests(1);
    // Destroyed while the result may still be on its way.
  }
  for (int i = 0; i < 100; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_TRUE(presenter.calls.empty());
}

}  // namespace
