// The page-object channel end to end: real WebKitGTK web processes with our
// extension, our test pages served from 127.0.0.1, and test objects in place
// of the bridge objects.
#include "PageChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "MainWindow.h"
#include "PageCall.h"
#include "PageCallback.h"
#include "PageObject.h"
#include "PagePublisher.h"
#include "ShellTestServer.h"

namespace {

// What the page calls: each method tests one property of the channel.
class TestBridge : public PageObject {
 public:
  TestBridge() : PageObject("TestBridge") {
    declareWithResult("echo", "v", [](PageCall& call) { return call.argument(0); });
    declareWithResult("echoText", "s", [](PageCall& call) { return call.argument(0); });
    declareWithResult("echoNumber", "n", [](PageCall& call) { return call.argument(0); });
    declareWithResult("echoAll", "", [](PageCall& call) {
      PageValue all = PageValue::array();
      for (size_t i = 0; i < call.argumentCount(); ++i) all.push(call.argument(i));
      return all;
    });
    declareWithResult("fileObject", "", [](PageCall&) { return fileObject(); });
    declare("record", "v", [this](PageCall& call) {
      recorded_.push(call.argument(0));
      recordedCount_.fetch_add(1);
      return PageValue();
    });
    declareReader("recordedCount", "", [this](PageCall&) { return PageValue::number(recordedCount_.load()); });
    declareReader("readerOffMainThread", "",
                  [](PageCall&) { return PageValue::boolean(!g_main_context_is_owner(g_main_context_default())); });
    declareWithResult("recorded", "", [this](PageCall&) { return recorded_; });
    declare("slowRecord", "v", [](PageCall&) {
      g_usleep(50);
      ++slowRecords();
      return PageValue();
    });
    declare("later", "vf", [this](PageCall& call) {
      kept_.push_back(Kept{call.argument(0), call.callback(1)});
      return PageValue();
    });
    declare("answerCallbacks", "", [this](PageCall& call) {
      for (Kept& kept : kept_) {
        if (kept.callback == nullptr) continue;  // no function was given
        bool first = kept.callback->call(kept.value);
        bool second = kept.callback->call(PageValue::string("twice"));
        answered_.push_back(first && !second);
      }
      kept_.clear();
      call.publication()->callMethod("callbacksAnswered", {});
      return PageValue();
    });
    declare("keepForReload", "f", [](PageCall& call) {
      keptForReload() = call.callback(0);
      return PageValue();
    });
    declareWithResult("deferred", "s", [](PageCall& call) {
      // Answered from the main loop, after this handler has returned.
      auto* answer = call.defer().release();
      auto* text = new std::string(call.argument(0).stringValue() + " later");
      g_idle_add_full(
          G_PRIORITY_DEFAULT,
          [](gpointer data) -> gboolean {
            auto* pair = static_cast<std::pair<PageAnswer*, std::string*>*>(data);
            pair->first->answer(PageValue::string(*pair->second));
            delete pair->first;
            delete pair->second;
            delete pair;
            return G_SOURCE_REMOVE;
          },
          new std::pair<PageAnswer*, std::string*>(answer, text), nullptr);
      return PageValue::string("not this");
    });
    declare("emitEvents", "n", [](PageCall& call) {
      int count = std::min(call.argument(0).toInt(), 1000);
      auto publication = call.publication();
      publication->callMethod("noSuchMethod", {PageValue::number(1)});
      publication->callMethod("throwing", {});
      for (int i = 0; i < count; ++i) {
        publication->callMethod("onEvent", {PageValue::number(i), PageValue::string("e" + std::to_string(i))});
      }
      publication->callMethod("onEventsDone", {});
      return PageValue();
    });
    declareWithResult("tooLargeAnswer", "", [](PageCall&) {
      // Three texts of 48 MiB: more than D-Bus carries in one message.
      PageValue texts = PageValue::array();
      for (int i = 0; i < 3; ++i) texts.push(PageValue::string(std::string(48u << 20, 't')));
      return texts;
    });
    declare("evaluateScript", "s", [](PageCall& call) {
      call.publication()->evaluate(call.argument(0).stringValue());
      return PageValue();
    });
  }

  static PageValue fileObject() {
    PageValue file = PageValue::object();
    const char* keys[] = {"entity_id",       "format_id",  "repository",     "metadata", "bytes_loaded",
                          "bytes_total",     "file_state", "download_state", "position", "last_listening",
                          "listening_count", "last_add",   "url_data"};
    for (const char* key : keys) file.set(key, PageValue::number(1));
    return file;
  }

  static size_t& slowRecords() {
    static size_t count = 0;
    return count;
  }
  static std::unique_ptr<PageCallback>& keptForReload() {
    static std::unique_ptr<PageCallback> callback;
    return callback;
  }

  std::vector<bool> answered_;

 private:
  struct Kept {
    PageValue value;
    std::unique_ptr<PageCallback> callback;
  };
  PageValue recorded_ = PageValue::array();
  std::atomic<int> recordedCount_{0};
  std::vector<Kept> kept_;
};

struct ConsoleLine {
  unsigned level;
  std::string text;
};

// One window, context, channel and server for the whole suite: web processes
// take a while to start.
class PageChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init(nullptr, nullptr);
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
    // Not an ephemeral context: WebKit keeps console messages from the
    // extension in ephemeral sessions.
    dataFolder_ = g_dir_make_tmp("channel-test-XXXXXX", nullptr);
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new("base-data-directory", dataFolder_,
                                                                     "base-cache-directory", dataFolder_, nullptr);
    context_ = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    window_ = new MainWindow(context_);
    publisher_ = new PagePublisher([] { return window_->mainPageId(); }, server_->playerOrigin() + "/",
                                   [](PagePublication& publication) {
                                     granted_.push_back(publication.frame().uri);
                                     auto bridge = std::make_shared<TestBridge>();
                                     bridges_.push_back(bridge);
                                     publication.addScript("var MACOS = true;");
                                     publication.addObject(bridge, "window.stepScriptRan = location.pathname;");
                                   });
    publisher_->setConsole([](unsigned level, const std::string& text, const std::string&, unsigned) {
      console_.push_back(ConsoleLine{level, text});
    });
    publisher_->setWarning([](const std::string& text) { warnings_.push_back(text); });
    channel_ = new PageChannel(*publisher_);
    ASSERT_TRUE(channel_->start());
    MainWindow::prepareContext(context_, VELORA_BINARY_DIR "/webext", channel_->address());
    window_->setLoadFailedListener([](const std::string& uri, const GError*) { failedLoads_.push_back(uri); });
    // Pop-ups opened by script get a window of their own.
    WebKitSettings* settings = webkit_web_view_get_settings(window_->mainView());
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    g_signal_connect(window_->mainView(), "create",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitNavigationAction*, gpointer) {
                       GtkWidget* popup = gtk_window_new(GTK_WINDOW_TOPLEVEL);
                       GtkWidget* popupView = webkit_web_view_new_with_related_view(view);
                       gtk_container_add(GTK_CONTAINER(popup), popupView);
                       gtk_widget_show_all(popup);
                       popups_.push_back(popup);
                       return popupView;
                     }),
                     nullptr);
    window_->show();
  }

  static void TearDownTestSuite() {
    TestBridge::keptForReload().reset();
    bridges_.clear();
    delete channel_;
    delete publisher_;
    for (GtkWidget* popup : popups_) gtk_widget_destroy(popup);
    popups_.clear();
    delete window_;
    g_object_unref(context_);
    delete server_;
    // The web and network processes end on their own once the context is
    // gone, and write into the data folder until they do.
    EXPECT_TRUE(ShellTestServer::runUntil([] { return !ShellTestServer::hasRunningChildren(); }))
        << "WebKit's processes did not end";
    gchar* command = g_strdup_printf("rm -rf '%s'", dataFolder_);
    if (system(command) != 0) ADD_FAILURE() << command;
    g_free(command);
    g_free(dataFolder_);
  }

  static void load(const std::string& pathAndQuery) {
    webkit_web_view_load_uri(window_->mainView(), (server_->playerOrigin() + pathAndQuery).c_str());
  }

  static bool waitForReport(const std::string& name) {
    return ShellTestServer::runUntil([&name] { return server_->hasReport(name); });
  }

  static ShellTestServer* server_;
  static gchar* dataFolder_;
  static WebKitWebContext* context_;
  static MainWindow* window_;
  static PagePublisher* publisher_;
  static PageChannel* channel_;
  static std::vector<std::string> granted_;
  static std::vector<std::shared_ptr<TestBridge>> bridges_;
  static std::vector<ConsoleLine> console_;
  static std::vector<std::string> warnings_;
  static std::vector<std::string> failedLoads_;
  static std::vector<GtkWidget*> popups_;
};

ShellTestServer* PageChannelTest::server_ = nullptr;
gchar* PageChannelTest::dataFolder_ = nullptr;
WebKitWebContext* PageChannelTest::context_ = nullptr;
MainWindow* PageChannelTest::window_ = nullptr;
PagePublisher* PageChannelTest::publisher_ = nullptr;
PageChannel* PageChannelTest::channel_ = nullptr;
std::vector<std::string> PageChannelTest::granted_;
std::vector<std::shared_ptr<TestBridge>> PageChannelTest::bridges_;
std::vector<ConsoleLine> PageChannelTest::console_;
std::vector<std::string> PageChannelTest::warnings_;
std::vector<std::string> PageChannelTest::failedLoads_;
std::vector<GtkWidget*> PageChannelTest::popups_;

const char* kNoObjects =
    "{\"TestBridge\":\"undefined\",\"VeloraICI\":\"undefined\",\"VeloraStorage\":\"undefined\","
    "\"VeloraWebkitNotifications\":\"undefined\",\"AudioBinding\":\"undefined\",\"MACOS\":\"undefined\","
    "\"stepScript\":\"undefined\"}";

TEST_F(PageChannelTest, ObjectsReachOnlyPlayerOriginDocumentsOfTheMainView) {
  load("/channel.html?scenario=frames&other=" + server_->otherPortOrigin() + "&third=" + server_->thirdPartyOrigin());
  webkit_web_view_load_uri(window_->preloadingView(), (server_->playerOrigin() + "/frame.html?as=preloading").c_str());
  for (const char* name : {"main", "frame-same-origin", "frame-other-port", "frame-third-party", "frame-sandboxed",
                           "frame-popup", "frame-preloading"}) {
    ASSERT_TRUE(waitForReport(name)) << name;
  }
  const std::string methods =
      "[\"answerCallbacks\",\"deferred\",\"echo\",\"echoAll\",\"echoNumber\",\"echoText\",\"emitEvents\","
      "\"evaluateScript\",\"fileObject\",\"keepForReload\",\"later\",\"readerOffMainThread\",\"record\","
      "\"recorded\",\"recordedCount\",\"slowRecord\",\"tooLargeAnswer\"]";
  EXPECT_EQ(server_->report("main"),
            "{\"TestBridge\":" + methods + ",\"MACOS\":true,\"stepScript\":\"/channel.html\"}");
  // The scripts ran in the frame that got the objects, not in the main frame.
  EXPECT_EQ(server_->report("frame-same-origin"),
            "{\"TestBridge\":" + methods +
                ",\"VeloraICI\":\"undefined\",\"VeloraStorage\":\"undefined\",\"VeloraWebkitNotifications\":"
                "\"undefined\",\"AudioBinding\":\"undefined\",\"MACOS\":true,\"stepScript\":\"/frame.html\"}");
  EXPECT_EQ(server_->report("frame-other-port"), kNoObjects);
  EXPECT_EQ(server_->report("frame-third-party"), kNoObjects);
  EXPECT_EQ(server_->report("frame-sandboxed"), kNoObjects);  // the player's address, an opaque origin
  EXPECT_EQ(server_->report("frame-popup"), kNoObjects);
  EXPECT_EQ(server_->report("frame-preloading"), kNoObjects);

  // A failed load of a player-origin address shows no WebKit error page that
  // could get the objects.
  size_t grantedBefore = granted_.size();
  load("/broken");
  ASSERT_TRUE(ShellTestServer::runUntil([] { return !failedLoads_.empty(); }));
  load("/frame.html?as=after-failure");
  auto brokenGranted = [grantedBefore] {
    for (size_t i = grantedBefore; i < granted_.size(); ++i) {
      if (granted_[i].find("/broken") != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return server_->hasReport("frame-after-failure") || brokenGranted(); }));
  EXPECT_FALSE(brokenGranted());
  EXPECT_NE(server_->report("frame-after-failure"), kNoObjects);
}

TEST_F(PageChannelTest, ValueReturningCallsAnswerAtOnceWithValueAndType) {
  load("/channel.html?scenario=values");
  ASSERT_TRUE(waitForReport("values"));
  const std::string values = server_->report("values");
  auto expect = [&values](const std::string& part) {
    EXPECT_NE(values.find(part), std::string::npos) << part << "\nin " << values;
  };
  expect("\"number\":[\"number\",42.5]");
  expect("\"string\":[\"string\",\"h\u00e9llo \U0001F600\"]");
  expect("\"empty\":[\"string\",\"\"]");
  expect("\"boolean\":[\"boolean\",false]");
  expect("\"nul\":[\"null\",null]");
  expect("\"undef\":[\"undefined\",null]");
  expect("\"nan\":[\"number\",\"NaN\"]");
  expect("\"infinity\":[\"number\",\"-Infinity\"]");
  expect("\"array\":[\"array\",[1,\"a\",[true,null]]]");
  expect("\"object\":[\"object\",\"no-prototype\",{\"b\":1,\"a\":{\"c\":\"x\"}}]");
  expect("\"textOfNumber\":[\"string\",\"12.5\"]");
  expect("\"textOfNull\":[\"string\",\"\"]");
  expect("\"textOfUndefined\":[\"string\",\"\"]");
  expect("\"textOfObject\":[\"string\",\"custom\"]");
  // Whole: a U+0000 cuts nothing.
  expect("\"textWithNul\":[\"string\",\"before\\u0000after\"]");
  expect("\"numberOfText\":[\"number\",42]");
  expect("\"numberOfJunk\":[\"number\",\"NaN\"]");
  expect("\"all\":[\"array\",[1,\"two\",[3]]]");
  expect("\"file\":[\"object\",\"no-prototype\",");
  expect(
      "\"fileKeys\":[\"entity_id\",\"format_id\",\"repository\",\"metadata\",\"bytes_loaded\",\"bytes_total\","
      "\"file_state\",\"download_state\",\"position\",\"last_listening\",\"listening_count\",\"last_add\",\"url_"
      "data\"]");
  expect("\"deferred\":[\"string\",\"answer later\"]");
}

TEST_F(PageChannelTest, OneWayCallsKeepTheirOrderWithValueReturningOnes) {
  load("/channel.html?scenario=order");
  ASSERT_TRUE(waitForReport("order"));
  EXPECT_EQ(server_->report("order"), "[[1,2],[1,2,3,4],200]");
}

// Readers are answered on the channel's own thread, yet each after every
// one-way call the page made before it.
TEST_F(PageChannelTest, ReadersRunOffTheMainThreadAfterEveryEarlierCall) {
  load("/channel.html?scenario=readers");
  ASSERT_TRUE(waitForReport("readers"));
  const std::string report = server_->report("readers");
  EXPECT_EQ(report.substr(0, report.find(",\"offMain\"")),
            "{\"counts\":[10,20,30,40,50,60,70,80,90,100,110,120,130,140,150,160,170,180,190,200]");
  // A message of the page's own (a console line) may still be on its way
  // before one of them: that one is answered on the main thread.
  size_t offMain = report.find("\"offMain\":");
  ASSERT_NE(offMain, std::string::npos) << report;
  EXPECT_GE(atoi(report.c_str() + offMain + 10), 45) << report;
}

TEST_F(PageChannelTest, CallbacksFireOnceWithTheirValue) {
  load("/channel.html?scenario=callbacks");
  ASSERT_TRUE(waitForReport("callbacks"));
  // The throwing callback does not keep the next one from firing.
  EXPECT_EQ(server_->report("callbacks"),
            "[[\"first\",\"first\"],[\"second\",{\"nested\":[1]}],[\"throws\"],[\"after throw\",\"after throw\"]]");
  ASSERT_FALSE(bridges_.empty());
  EXPECT_EQ(bridges_.back()->answered_, (std::vector<bool>{true, true, true, true}));
}

TEST_F(PageChannelTest, AnswersForAReloadedPageAreDropped) {
  load("/channel.html?scenario=reload");
  ASSERT_TRUE(waitForReport("reloaded"));
  EXPECT_EQ(server_->report("reloaded"), "{\"objects\":\"object\"}");
  ASSERT_NE(TestBridge::keptForReload(), nullptr);
  EXPECT_FALSE(TestBridge::keptForReload()->call(PageValue::number(1)));
  // Let anything that was sent reach the page; nothing may fire.
  load("/frame.html?as=after-reload");
  ASSERT_TRUE(waitForReport("frame-after-reload"));
  EXPECT_FALSE(server_->hasReport("fired-after-reload"));
}

TEST_F(PageChannelTest, RemovedFramesReleaseTheirPublications) {
  load("/channel.html?scenario=removedFrames&count=30");
  ASSERT_TRUE(waitForReport("removed-frames"));
  // The main document's publication alone.
  EXPECT_TRUE(ShellTestServer::runUntil([] { return channel_->shownPublicationCount() == 1; }))
      << channel_->shownPublicationCount() << " publications";
}

TEST_F(PageChannelTest, AClosedChannelOpensAgainForTheNextDocument) {
  load("/channel.html?scenario=closedChannel");
  ASSERT_TRUE(waitForReport("reopened"));
  EXPECT_EQ(server_->report("closed"), "{\"answer\":\"undefined\",\"echo\":\"undefined\"}");
  EXPECT_EQ(server_->report("reopened"), "{\"objects\":\"object\",\"echo\":\"again\"}");
}

TEST_F(PageChannelTest, CallsIntoThePageArriveInOrder) {
  load("/channel.html?scenario=events");
  ASSERT_TRUE(waitForReport("events"));
  std::string expected = "[";
  for (int i = 0; i < 300; ++i)
    expected += (i > 0 ? "," : "") + std::string("[") + std::to_string(i) + ",\"e" + std::to_string(i) + "\"]";
  expected += "]";
  EXPECT_EQ(server_->report("events"), expected);
}

TEST_F(PageChannelTest, ConsoleMessagesOfTheMainViewReachTheApplication) {
  console_.clear();
  load("/channel.html?scenario=console");
  ASSERT_TRUE(waitForReport("console"));
  // WebKit may add lines of its own (network notes): look at the page's.
  std::vector<std::pair<unsigned, std::string>> lines;
  ASSERT_TRUE(ShellTestServer::runUntil([&lines] {
    lines.clear();
    for (const ConsoleLine& line : console_) {
      if (g_str_has_suffix(line.text.c_str(), " line")) lines.emplace_back(line.level, line.text);
    }
    return lines.size() >= 5;
  }));
  EXPECT_EQ(lines, (std::vector<std::pair<unsigned, std::string>>{
                       {0, "log line"}, {1, "info line"}, {2, "warning line"}, {3, "error line"}, {4, "debug line"}}));
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

// A page that calls without waiting faster than the application takes the
// calls is held back: a few wait at a time, not all it made.
TEST_F(PageChannelTest, OneWayCallsWaitForTheApplicationOnceAFewAreUnread) {
  constexpr size_t kCalls = 20000;
  TestBridge::slowRecords() = 0;
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from now
  size_t before = residentKilobytes("VmRSS:");
  load("/channel.html?scenario=pressure&count=" + std::to_string(kCalls));
  ASSERT_TRUE(waitForReport("pressure"));
  EXPECT_EQ(server_->report("pressure"), std::to_string(kCalls));
  EXPECT_EQ(TestBridge::slowRecords(), kCalls);
#if defined(__SANITIZE_ADDRESS__)
  (void)before;  // freed memory stays in quarantine there: no measure
#else
  // Every call unread would hold its 4 kB here (80 MB in all).
  EXPECT_LT(residentKilobytes("VmHWM:"), before + 32 * 1024);
#endif
}

TEST_F(PageChannelTest, FuzzedCallsNeitherCrashNorHang) {
  load("/channel.html?scenario=fuzz&calls=10000&seed=12345");
  ASSERT_TRUE(waitForReport("fuzz"));
  EXPECT_EQ(server_->report("fuzz"), "{\"calls\":10000,\"thrown\":0,\"alive\":\"alive\"}");
}

}  // namespace
