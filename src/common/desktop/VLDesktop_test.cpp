#include "VLDesktop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "VLDesktopFile.h"
#include "VLDesktopKeyValue.h"
#include "VLFileFormat.h"
#include "VLFileId.h"
#include "VLPlatformFactory.h"
#include "VLPlayer.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLSettingHelper.h"
#include "TestFolder.h"
#include "VLTestLog.h"

namespace {

const uint32_t kFormat = VLFileFormat::getTable()[0].getId();
// Output device ids of the engine: no sound, mixed only when the core updates.
const char* const kQuietOutput = "5:0";

VLSettingHelper* settings() {
  return VLPlatformFactory::instance()->getSettingHelper();
}

// Every folder the core uses lies in one scratch home, made before the first
// use of the setting helper.
const std::string& home() {
  static TestFolder folder;
  static bool made = [] {
    const std::string config = folder.file("config");
    mkdir(config.c_str(), 0755);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_CACHE_HOME", folder.file("cache").c_str(), 1);
    setenv("XDG_DATA_HOME", folder.file("data").c_str(), 1);
    std::ofstream(config + "/user-dirs.dirs") << "XDG_MUSIC_DIR=\"" << folder.file("Music") << "\"\n";
    VLTestLog::start();
    return true;
  }();
  (void)made;
  return folder.path();
}

// Waits for a condition that another thread makes true; the limit only keeps a
// broken build from hanging, it measures nothing.
bool eventually(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// One call into the page, as the front end received it.
struct PageCall {
  std::string kind;  // "str", "strStrNumber", "file", "files", "callbackFiles", "callbackNumber"
  std::string method;
  std::vector<std::string> strings;
  int number = 0;
  std::vector<VLDesktopFile> files;
  void* callback = nullptr;
  unsigned int count = 0;
};

// A front end that records every page call (the slots run on the worker).
class RecordingDesktop : public VLDesktop {
 public:
  using VLDesktop::closeSession;
  using VLDesktop::flushJSEvents;
  using VLDesktop::openSession;
  using VLDesktop::serveFileRequests;

  ~RecordingDesktop() override { clean(); }

  std::string getVersion() override { return "9.8.7 (test)"; }
  std::string getSystemUid() override { return "test-machine"; }

  void executeMethodWithStr(const std::string& method, const std::string& arg) override {
    PageCall call;
    call.kind = "str";
    call.method = method;
    call.strings = {arg};
    record(call);
  }
  void executeMethodWithStrStrNumber(const std::string& method, const std::string& s1, const std::string& s2,
                                     int n) override {
    PageCall call;
    call.kind = "strStrNumber";
    call.method = method;
    call.strings = {s1, s2};
    call.number = n;
    record(call);
  }
  void executeMethodWithFile(const std::string& method, VLDesktopFile* file) override {
    PageCall call;
    call.kind = "file";
    call.method = method;
    call.files.push_back(*file);
    delete file;
    record(call);
  }
  void executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) override {
    PageCall call;
    call.kind = "files";
    call.method = method;
    take(files, &call);
    record(call);
  }
  void executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) override {
    PageCall call;
    call.kind = "callbackFiles";
    call.callback = callback;
    take(files, &call);
    record(call);
  }
  void executeCallbackWithNumber(void* callback, unsigned int count) override {
    PageCall call;
    call.kind = "callbackNumber";
    call.callback = callback;
    call.count = count;
    record(call);
  }

  std::vector<PageCall> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  void forgetCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }
  // The first recorded answer to `callback`, waiting for it.
  bool waitForCallback(void* callback, PageCall* answer) {
    return eventually([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const PageCall& call : calls_) {
        if (call.callback == callback) {
          *answer = call;
          return true;
        }
      }
      return false;
    });
  }

 private:
  static void take(std::list<VLDesktopFile*>* files, PageCall* call) {
    for (VLDesktopFile* file : *files) {
      call->files.push_back(*file);
      delete file;
    }
    delete files;
  }
  void record(const PageCall& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }

  std::mutex mutex_;
  std::vector<PageCall> calls_;
};

void* callbackNumber(intptr_t n) {
  return reinterpret_cast<void*>(n);
}

class DesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { home(); }

  void SetUp() override {
    // Every identity the tests use plays into no sound card.
    for (const char* identity : {"#anonymous#", "alice", "bob"})
      settings()->setValue(identity, "OutputDevice", kQuietOutput);
    settings()->setValue("LastIdentity", "#anonymous#");
  }

  static std::string identity() { return VLPlayer::instance()->getIdentity(); }
  static VLRepository* repository(const char* name) { return VLPlayer::instance()->getRepository(name); }
};

TEST_F(DesktopTest, FreshStartOpensTheAnonymousSessionAndCleansTwice) {
  RecordingDesktop desktop;
  desktop.setUserId("nobody-yet");  // no worker: must return at once

  ASSERT_TRUE(desktop.init());
  EXPECT_FALSE(desktop.init()) << "a second init is refused";
  EXPECT_EQ("#anonymous#", identity());
  EXPECT_EQ("10", settings()->getValue("#anonymous#", "CacheMaxSizeBytesMb", ""));
  EXPECT_EQ("0", settings()->getValue("#anonymous#", "CacheMaxSizePercent", ""));
  EXPECT_NE(nullptr, repository("cache"));
  EXPECT_NE(nullptr, repository("import"));
  EXPECT_NE(nullptr, repository("download"));
  EXPECT_EQ("3", desktop.getSetting("max_concurrent_downloads"));

  EXPECT_TRUE(desktop.clean());
  EXPECT_TRUE(desktop.clean()) << "cleaning twice is harmless";
  desktop.setUserId("after-clean");  // no worker: must return at once
  EXPECT_EQ(nullptr, repository("cache")) << "the session is closed";

  ASSERT_TRUE(desktop.init()) << "a cleaned core starts again";
}

TEST_F(DesktopTest, UnusableStorageMakesInitFailCleanly) {
  // A folder where the local store's database should be.
  const std::string blocker = settings()->getLocalAppPath("storage") + "/localStorage.db";
  std::remove(blocker.c_str());
  ASSERT_EQ(0, mkdir(blocker.c_str(), 0755));
  {
    RecordingDesktop desktop;
    size_t mark = VLTestLog::mark();
    EXPECT_FALSE(desktop.init());
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("Unable to initialize local storage"));
    EXPECT_EQ(nullptr, repository("cache")) << "no session was opened";
    EXPECT_EQ(nullptr, desktop.getStorage("sessionStorage"));
    desktop.setUserId("alice");  // no worker: returns at once
    EXPECT_TRUE(desktop.clean());
  }
  ASSERT_EQ(0, rmdir(blocker.c_str()));
}

TEST_F(DesktopTest, UserSwitchesApplyOnTheWorker) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());

  desktop.setUserId("alice");
  EXPECT_EQ("alice", identity());
  EXPECT_EQ("alice", settings()->getValue("LastIdentity", ""));
  desktop.setSetting("max_concurrent_downloads", "5");

  // Switching to the current identity writes nothing.
  settings()->setValue("LastIdentity", "marker");
  desktop.setUserId("alice");
  EXPECT_EQ("marker", settings()->getValue("LastIdentity", ""));
  EXPECT_EQ("5", desktop.getSetting("max_concurrent_downloads"));

  desktop.setUserId("bob");
  EXPECT_EQ("bob", identity());
  EXPECT_EQ("3", desktop.getSetting("max_concurrent_downloads")) << "limits are per identity";
  desktop.setUserId("alice");
  EXPECT_EQ("5", desktop.getSetting("max_concurrent_downloads")) << "saved when alice's session closed";

  desktop.setUserId("");
  EXPECT_EQ("#anonymous#", identity());
  EXPECT_TRUE(desktop.clean());
  EXPECT_EQ("5", settings()->getValue("alice", "MaxConcurrentDownloads", ""));
}

TEST_F(DesktopTest, NextStartIsAnonymousWithTheLastUsersOutputDevice) {
  settings()->setValue("LastIdentity", "alice");
  settings()->setValue("alice", "OutputDevice", "3:0");
  {
    RecordingDesktop desktop;
    ASSERT_TRUE(desktop.init());
    EXPECT_EQ("#anonymous#", identity());
    EXPECT_EQ("3:0", settings()->getValue("#anonymous#", "OutputDevice", ""));
  }
  // A stored device that is no device id is not carried over as it is.
  settings()->setValue("alice", "OutputDevice", "speakers");
  {
    RecordingDesktop desktop;
    ASSERT_TRUE(desktop.init());
    EXPECT_EQ("0:0", settings()->getValue("#anonymous#", "OutputDevice", "")) << "read as automatic";
    desktop.clean();
  }
}

TEST_F(DesktopTest, EventsNeedAReadyPageAndRunsOfOneNameGoTogether) {
  RecordingDesktop desktop;
  desktop.openSession("#anonymous#");  // no worker: the test plays its part
  VLRepositoryFile* a = repository("cache")->getFile(VLFileId("101", kFormat), true);
  VLRepositoryFile* b = repository("cache")->getFile(VLFileId("102", kFormat), true);
  ASSERT_TRUE(a && b);

  desktop.onFileProgressesChanged(a);
  desktop.onVolumeFull(repository("import"));
  desktop.askFileUrl(repository("cache"), VLFileId("103", kFormat));
  desktop.triggerKeyboardShortcut("playpause");
  desktop.flushJSEvents();
  EXPECT_TRUE(desktop.calls().empty()) << "nothing reaches a page that is not ready";

  desktop.setJSReady(true);
  desktop.onFileProgressesChanged(a);
  desktop.onFileProgressesChanged(b);
  desktop.onFileStatesChanged(a);
  desktop.onFileProgressesChanged(b);
  desktop.onUnwritable(repository("cache"));
  desktop.onVolumeFull(repository("download"));
  desktop.onVolumeFull(repository("download"));
  desktop.onUnwritable(repository("import"));
  desktop.flushJSEvents();

  std::vector<PageCall> calls = desktop.calls();
  ASSERT_EQ(7u, calls.size());
  EXPECT_EQ("onFileProgressesChanged", calls[0].method);
  ASSERT_EQ(2u, calls[0].files.size());
  EXPECT_EQ(101, calls[0].files[0].getEntityId());
  EXPECT_EQ(102, calls[0].files[1].getEntityId());
  EXPECT_EQ("onFileStatesChanged", calls[1].method);
  EXPECT_EQ(1u, calls[1].files.size());
  EXPECT_EQ("onFileProgressesChanged", calls[2].method);
  EXPECT_EQ(1u, calls[2].files.size());
  // The second report of the full download volume is the same episode.
  const char* codes[] = {"IMPORT_VOLUME_FULL", "CACHE_UNWRITABLE", "DOWNLOAD_VOLUME_FULL", "IMPORT_UNWRITABLE"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ("showError", calls[3 + i].method);
    EXPECT_EQ((std::vector<std::string>{codes[i], "modal"}), calls[3 + i].strings);
    EXPECT_EQ(0, calls[3 + i].number);
  }

  desktop.forgetCalls();
  desktop.askFileUrl(repository("import"), VLFileId("103", kFormat));
  desktop.triggerKeyboardShortcut("nexttrack");
  calls = desktop.calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("getFileUrl", calls[0].method);
  ASSERT_EQ(1u, calls[0].files.size());
  EXPECT_EQ("import", calls[0].files[0].getRepository());
  EXPECT_EQ(103, calls[0].files[0].getEntityId());
  EXPECT_EQ(-1, calls[0].files[0].getBytesTotal());
  EXPECT_EQ("triggerKeyboardShortcut", calls[1].method);
  EXPECT_EQ(std::vector<std::string>{"nexttrack"}, calls[1].strings);

  // A page that stops being ready loses the events already queued.
  desktop.onFilesRemoved(a);
  desktop.setJSReady(false);
  desktop.forgetCalls();
  desktop.closeSession();
  EXPECT_TRUE(desktop.calls().empty());
}

TEST_F(DesktopTest, FileQueriesAreAnsweredOnTheWorker) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());
  std::vector<std::string> both = {"import", "download"};
  desktop.getFileCount(both, 0, 0, callbackNumber(1));
  desktop.setJSReady(true);
  desktop.setOffline();  // downloads are queued, never fetched
  desktop.addFile("import", "201", kFormat, "{}");
  desktop.addFile("import", "202", kFormat, "{}");
  desktop.addFile("download", "203", kFormat, "{}");

  intptr_t next = 10;
  unsigned int count = 0;
  EXPECT_TRUE(eventually([&] {
    void* callback = callbackNumber(next++);
    desktop.getFileCount(both, 0, 0, callback);
    PageCall answer;
    if (!desktop.waitForCallback(callback, &answer)) return false;
    count = answer.count;
    return count == 3;
  })) << "count "
      << count;

  std::vector<std::string> some = {"download", "nowhere"};
  PageCall files;
  desktop.getFiles(some, 0, 0, callbackNumber(2));
  ASSERT_TRUE(desktop.waitForCallback(callbackNumber(2), &files));
  EXPECT_EQ("callbackFiles", files.kind);
  ASSERT_EQ(1u, files.files.size());
  EXPECT_EQ(203, files.files[0].getEntityId());
  EXPECT_EQ("download", files.files[0].getRepository());

  std::vector<std::string> none = {"nowhere"};
  PageCall empty;
  desktop.getFiles(none, 0, 0, callbackNumber(3));
  ASSERT_TRUE(desktop.waitForCallback(callbackNumber(3), &empty));
  EXPECT_TRUE(empty.files.empty()) << "an unknown repository still gets an answer";

  for (const PageCall& call : desktop.calls())
    EXPECT_NE(callbackNumber(1), call.callback) << "asked before the page was ready";

  desktop.removeFiles();
  EXPECT_TRUE(eventually([&] {
    void* callback = callbackNumber(next++);
    desktop.getFileCount(both, 0, 0, callback);
    PageCall answer;
    return desktop.waitForCallback(callback, &answer) && answer.count == 0;
  }));
  desktop.setOnline();
  EXPECT_TRUE(desktop.clean());

  desktop.getFiles(some, 0, 0, callbackNumber(4));
  desktop.flushJSEvents();
  for (const PageCall& call : desktop.calls())
    EXPECT_NE(callbackNumber(4), call.callback) << "no worker answers after clean";
}

TEST_F(DesktopTest, SettingsReadBackAndRefuseBadValues) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());

  desktop.setSetting("cache_repository_max_size", "-1");
  EXPECT_EQ("-1", desktop.getSetting("cache_repository_max_size"));
  desktop.setSetting("cache_repository_max_size", "20");
  EXPECT_EQ("20", desktop.getSetting("cache_repository_max_size"));
  double maxSize = 0;
  int maxPercent = -1;
  repository("cache")->getLimits(&maxSize, &maxPercent);
  EXPECT_EQ(20e9, maxSize);
  EXPECT_EQ(0, maxPercent);
  for (const char* refused : {"0", "-2", "abc", "12abc", "", "99999999999"}) {
    desktop.setSetting("cache_repository_max_size", refused);
    EXPECT_EQ("20", desktop.getSetting("cache_repository_max_size")) << "'" << refused << "'";
  }

  desktop.setSetting("max_concurrent_downloads", "4");
  for (const char* refused : {"0", "-1", "x", "4294967297"}) desktop.setSetting("max_concurrent_downloads", refused);
  EXPECT_EQ("4", desktop.getSetting("max_concurrent_downloads"));

  desktop.setSetting("stream_buffer_size", "128");
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("stream_buffer_size") == "128"; }));
  // The most the engine takes holds; more, asked for right after, is
  // refused at once instead of displacing it.
  size_t mark = VLTestLog::mark();
  desktop.setSetting("stream_buffer_size", "16384");
  desktop.setSetting("stream_buffer_size", "16385");
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("stream_buffer_size") == "16384"; }));
  EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("Invalid value for stream_buffer_size : 16385"));
  for (const char* refused : {"0", "2097151", "-1", "64k"}) desktop.setSetting("stream_buffer_size", refused);
  desktop.setSetting("stream_buffer_size", "256");  // a marker: applied after whatever came before
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("stream_buffer_size") == "256"; }));

  std::string device = desktop.getSetting("device_output");
  for (const char* refused : {"1:x", "speakers", "1:2:3", ":1"}) desktop.setSetting("device_output", refused);
  EXPECT_EQ(device, desktop.getSetting("device_output"));

  TestFolder elsewhere;
  desktop.setSetting("import_repository_path", elsewhere.path());
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("import_repository_path") == elsewhere.path(); }));

  desktop.setSetting("no_such_setting", "1");
  EXPECT_EQ("", desktop.getSetting("no_such_setting"));

  desktop.resetSettings();
  EXPECT_EQ("-1", desktop.getSetting("cache_repository_max_size"));
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("stream_buffer_size") == "64"; }));
  const std::string importDefault = settings()->getLocalAppPath("import");
  EXPECT_TRUE(eventually([&] { return desktop.getSetting("import_repository_path") == importDefault; }));
  EXPECT_EQ("4", desktop.getSetting("max_concurrent_downloads")) << "the download limit is not reset";
  EXPECT_TRUE(desktop.clean());
}

TEST_F(DesktopTest, DeviceInformation) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());
  std::string* text = nullptr;
  double* number = nullptr;
  std::vector<VLDesktopKeyValue*>* list = nullptr;

  struct Expected {
    const char* key;
    const char* text;
  };
  for (const Expected& expected :
       {Expected{"app_id", "318205746"}, Expected{"app_secret", "c4e7a19f02d85b3e6f1a7c0b9d2e4f86"},
        Expected{"version", "9.8.7 (test)"}, Expected{"system_uid", "test-machine"}}) {
    desktop.getDeviceInfo(expected.key, text, number, list);
    ASSERT_NE(nullptr, text) << expected.key;
    EXPECT_EQ(expected.text, *text);
    EXPECT_EQ(nullptr, number);
    EXPECT_EQ(nullptr, list);
    delete text;
  }

  desktop.getDeviceInfo("output_devices", text, number, list);
  ASSERT_NE(nullptr, list) << "a list, even when no output was found";
  EXPECT_EQ(nullptr, text);
  for (VLDesktopKeyValue* device : *list) {
    EXPECT_NE(std::string::npos, device->getKey().find(':')) << device->getKey();
    delete device;
  }
  delete list;

  desktop.getDeviceInfo("cache_volume_available_space", text, number, list);
  ASSERT_NE(nullptr, number);
  EXPECT_GT(*number, 0.0);
  delete number;

  text = new std::string("stale");
  std::string* stale = text;
  desktop.getDeviceInfo("no_such_key", text, number, list);
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(nullptr, number);
  EXPECT_EQ(nullptr, list);
  delete stale;
  EXPECT_TRUE(desktop.clean());
}

TEST_F(DesktopTest, StorageCallsFindTheirStoreByName) {
  RecordingDesktop desktop;
  bool isNull = false;
  EXPECT_EQ(0, desktop.storageLength("localStorage")) << "not open before init";
  desktop.storageGetItem("localStorage", "k", &isNull);
  EXPECT_TRUE(isNull);

  ASSERT_TRUE(desktop.init());
  size_t mark = VLTestLog::mark();
  EXPECT_EQ(nullptr, desktop.getStorage("globalStorage"));
  EXPECT_EQ(0, desktop.storageLength("globalStorage"));
  EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("Unable to find storage : globalStorage"));

  desktop.storageSetItem("sessionStorage", "empty", "");
  std::string value = desktop.storageGetItem("sessionStorage", "empty", &isNull);
  EXPECT_FALSE(isNull) << "an empty value is a value";
  EXPECT_EQ("", value);
  desktop.storageGetItem("sessionStorage", "absent", &isNull);
  EXPECT_TRUE(isNull);
  EXPECT_EQ("empty", desktop.storageKey("sessionStorage", 0, &isNull));
  EXPECT_FALSE(isNull);
  desktop.storageKey("sessionStorage", -1, &isNull);
  EXPECT_TRUE(isNull);
  desktop.storageClear("sessionStorage");
  EXPECT_EQ(0, desktop.storageLength("sessionStorage"));
  EXPECT_TRUE(desktop.clean());
}

TEST_F(DesktopTest, MissingSoundsGiveDefaults) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());
  EXPECT_EQ(1, desktop.getState(999));
  EXPECT_FALSE(desktop.play(999, false, -1));
  EXPECT_FALSE(desktop.pause(999));
  EXPECT_FALSE(desktop.getPlaying(999));
  EXPECT_EQ(0u, desktop.getPosition(999));
  EXPECT_EQ(0u, desktop.getLength(999));
  EXPECT_EQ(0.0f, desktop.getVolume(999));
  EXPECT_EQ("", desktop.getPendingData(999));
  std::list<float> ranges = {1.0f};
  desktop.getRanges(999, &ranges);
  EXPECT_EQ(1u, ranges.size());
  EXPECT_FALSE(desktop.deleteSound(999));
  EXPECT_TRUE(desktop.clean());
  EXPECT_EQ(0, desktop.createSound("http://127.0.0.1:1/x?peid=1&fmt=1")) << "no session, no sound";
}

// The page channel reads sounds on a thread of its own while the page makes
// and deletes them, and while a user switch replaces the whole session.
TEST_F(DesktopTest, SoundGettersRunOnAnyThreadWhileSoundsAndSessionsGo) {
  RecordingDesktop desktop;
  ASSERT_TRUE(desktop.init());
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::atomic<unsigned> sink{0};
  std::thread reader([&] {
    while (!done.load()) {
      for (int id = 1; id <= 3; ++id) {
        std::list<float> ranges;
        desktop.getRanges(id, &ranges);
        unsigned sum = desktop.getPosition(id) + desktop.getLength(id) + desktop.getState(id) + desktop.getPlaying(id) +
                       desktop.getPaused(id) + desktop.getStarving(id) + desktop.getMuted(id) +
                       static_cast<unsigned>(desktop.getVolume(id));
        sink.store(sum);
        ++reads;
      }
    }
  });
  for (int round = 0; round < 200; ++round) {
    const std::string url = "http://127.0.0.1:1/x?peid=" + std::to_string(round) + "&fmt=1";
    int first = desktop.createSound(url);
    int second = desktop.createSound(url);
    desktop.resetSound(second, url);
    desktop.deleteSound(first);
    desktop.deleteSound(second);
    if (round % 50 == 49) desktop.setUserId(round % 100 == 49 ? "reader" : "");
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_TRUE(desktop.clean());
}

TEST_F(DesktopTest, DestructorDropsWhatIsQueuedInsteadOfCallingTheGoneFrontEnd) {
  // A front end that breaks the rule and leaves cleaning to the base.
  struct Counting : VLDesktop {
    explicit Counting(int* calls) : calls_(calls) {}
    std::string getVersion() override { return ""; }
    std::string getSystemUid() override { return ""; }
    void executeMethodWithStr(const std::string&, const std::string&) override { ++*calls_; }
    void executeMethodWithStrStrNumber(const std::string&, const std::string&, const std::string&, int) override {
      ++*calls_;
    }
    void executeMethodWithFile(const std::string&, VLDesktopFile* file) override {
      delete file;
      ++*calls_;
    }
    void executeMethodWithFiles(const std::string&, std::list<VLDesktopFile*>*) override { ++*calls_; }
    void executeCallbackWithFiles(void*, std::list<VLDesktopFile*>*) override { ++*calls_; }
    void executeCallbackWithNumber(void*, unsigned int) override { ++*calls_; }
    using VLDesktop::openSession;
    int* calls_;
    // No clean() here: the base must cope.
  };
  int calls = 0;
  {
    Counting desktop(&calls);
    desktop.openSession("#anonymous#");
    desktop.setJSReady(true);
    desktop.onFilesAdded(repository("cache")->getFile(VLFileId("301", kFormat), true));
    desktop.onVolumeFull(repository("cache"));
  }
  EXPECT_EQ(0, calls);
  EXPECT_EQ(nullptr, repository("cache")) << "the session was closed all the same";
}

}  // namespace
