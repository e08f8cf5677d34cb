// The demo player page in the real client: tools/demo/serve in a child
// process, the application's real start-up, core, bridge objects and page
// scripts, and the page driven the way a user or a media key drives it.
#include <gtest/gtest.h>
#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include "Binding.h"
#include "ShellTestServer.h"
#include "VeloraController.h"
#include "VeloraDesktopAppDelegate.h"
#include "VeloraICI.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// tools/demo/serve in a child process, on an ephemeral port of 127.0.0.1.
class DemoServer {
 public:
  explicit DemoServer(const std::string& folder) : folder_(folder) {
    const char* argv[] = {"python3", VELORA_SOURCE_DIR "/tools/demo/serve", "--folder", folder.c_str(), nullptr};
    GError* error = nullptr;
    process_ = g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error);
    if (process_ == nullptr) {
      ADD_FAILURE() << "serve did not start: " << error->message;
      g_error_free(error);
      return;
    }
    GDataInputStream* lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_));
    for (char* line; (line = g_data_input_stream_read_line(lines, nullptr, nullptr, nullptr)) != nullptr;) {
      std::string text(line);
      g_free(line);
      if (text.rfind("URL ", 0) == 0) url_ = text.substr(4);
      if (text.rfind("FOLDER ", 0) == 0) break;
    }
    g_object_unref(lines);
  }
  ~DemoServer() {
    if (process_ == nullptr) return;
    g_subprocess_send_signal(process_, SIGTERM);
    g_subprocess_wait(process_, nullptr, nullptr);
    g_object_unref(process_);
  }
  // "http://127.0.0.1:<port>/"; empty when it did not start.
  const std::string& url() const { return url_; }
  std::string file(const std::string& path) const { return readFile(folder_ + "/" + path); }

 private:
  std::string folder_;
  GSubprocess* process_ = nullptr;
  std::string url_;
};

class DemoPageInClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Every folder of the core and of WebKit in a scratch folder, the music
    // folder (where downloads go) included.
    home_ = g_dir_make_tmp("demo-page-XXXXXX", nullptr);
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      std::string folder = std::string(home_) + "/" + variable;
      g_mkdir_with_parents(folder.c_str(), 0700);
      g_setenv(variable, folder.c_str(), TRUE);
    }
    g_setenv("HOME", home_, TRUE);
    music_ = std::string(home_) + "/Music";
    std::ofstream(std::string(home_) + "/XDG_CONFIG_HOME/user-dirs.dirs") << "XDG_MUSIC_DIR=\"" << music_ << "\"\n";
    gtk_init(nullptr, nullptr);
    server_ = new DemoServer(std::string(home_) + "/demo");
    ASSERT_FALSE(server_->url().empty());
    VeloraController::instance().setTerminateHandler([] { ++terminations_; });
    startApplication();
  }

  static void TearDownTestSuite() {
    delete application_;
    delete server_;
    // The web processes end on their own after their views, and may still be
    // writing their caches for a moment: the removal is tried again.
    gchar* command = g_strdup_printf("rm -rf '%s' 2>/dev/null", home_);
    bool removed = false;
    for (int attempt = 0; attempt < 100 && !removed; ++attempt) {
      removed = system(command) == 0;
      if (!removed) g_usleep(100 * 1000);
    }
    EXPECT_TRUE(removed) << command;
    g_free(command);
    g_free(home_);
  }

  static void startApplication() {
    std::string data = std::string(home_) + "/webkit";
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                        "base-cache-directory", data.c_str(), nullptr);
    application_ = new VeloraDesktopAppDelegate(server_->url());
    ASSERT_TRUE(application_->start(manager, VELORA_BINARY_DIR "/webext"));
    g_object_unref(manager);
    // The page's script has run to its end (it tells the client it is ready
    // on the way) in the document of the player address.
    const std::string ready =
        "document.readyState === 'complete' && typeof VeloraAPI === 'object' && "
        "location.href === '" +
        server_->url() + "'";
    ASSERT_TRUE(ShellTestServer::runUntil([&ready] { return inPage(ready) == "true"; }, 60)) << "the page did not load";
    EXPECT_TRUE(Binding::instance()->isJSReady());
  }

  static void restartApplication() {
    delete application_;
    application_ = nullptr;
    startApplication();
  }

  // The text of what a script gives in a view's page (an exception's
  // message after "exception: "), waiting for WebKit's answer.
  static std::string evaluate(WebKitWebView* view, const std::string& script) {
    struct Answer {
      bool done = false;
      std::string text;
    } answer;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* answer = static_cast<Answer*>(data);
          GError* error = nullptr;
          JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
          if (value == nullptr) {
            answer->text = std::string("exception: ") + error->message;
            g_error_free(error);
          } else {
            char* text = jsc_value_to_string(value);
            answer->text = text != nullptr ? text : "";
            g_free(text);
            g_object_unref(value);
          }
          answer->done = true;
        },
        &answer);
    EXPECT_TRUE(ShellTestServer::runUntil([&answer] { return answer.done; }));
    return answer.text;
  }

  static std::string inPage(const std::string& script) { return evaluate(application_->window()->mainView(), script); }

  // Waits until the script gives `expected` in the player page.
  static bool pageShows(const std::string& script, const std::string& expected) {
    std::string last;
    bool shown = ShellTestServer::runUntil([&] { return (last = inPage(script)) == expected; }, 60);
    EXPECT_TRUE(shown) << script << " gave " << last << ", not " << expected;
    return shown;
  }

  // The note as the client's local store holds it; "(none)" without one.
  static std::string storedNote() {
    bool isNull = true;
    std::string note = Binding::instance()->storageGetItem("localStorage", "demo.note", &isNull);
    return isNull ? "(none)" : note;
  }

  static std::string messages() { return inPage("document.getElementById('messages').textContent"); }

  static gchar* home_;
  static std::string music_;
  static DemoServer* server_;
  static VeloraDesktopAppDelegate* application_;
  static int terminations_;
};

gchar* DemoPageInClientTest::home_ = nullptr;
std::string DemoPageInClientTest::music_;
DemoServer* DemoPageInClientTest::server_ = nullptr;
VeloraDesktopAppDelegate* DemoPageInClientTest::application_ = nullptr;
int DemoPageInClientTest::terminations_ = 0;

TEST_F(DemoPageInClientTest, FindsEveryObjectAndListsTheTracks) {
  EXPECT_TRUE(application_->hasPlayerBeenLoaded());
  EXPECT_EQ(inPage("document.getElementById('bridge-missing').hidden"), "true");
  EXPECT_EQ(inPage("document.getElementById('environment').textContent"),
            "Running inside the Velora desktop client, version " + VeloraController::getVeloraDesktopVersion() + ".");
  EXPECT_EQ(inPage("document.querySelectorAll('#track-list button[data-play]').length"), "5");
  EXPECT_EQ(inPage("document.querySelectorAll('#track-list button[data-download]').length"), "5");
  EXPECT_EQ(inPage("document.getElementById('play').disabled"), "false");
  EXPECT_EQ(inPage("document.getElementById('storage-facts').textContent.includes('Client version')"), "true");
  EXPECT_EQ(inPage("document.querySelectorAll('#messages li.error').length"), "0") << messages();
}

TEST_F(DemoPageInClientTest, TheNextTrackFollowsWithoutTheFallback) {
  // The fourth track (4 s) and the fifth: the page prepares the fifth as soon
  // as the fourth's length is known, and the core starts it on its own.
  inPage("document.querySelector('#track-list button[data-play=\"9004\"]').click()");
  ASSERT_TRUE(pageShows("document.getElementById('now-playing').textContent.startsWith('Octave')", "true"));
  ASSERT_TRUE(pageShows("document.getElementById('sound-state').textContent.includes('waiting to follow')", "true"));
  ASSERT_TRUE(pageShows("document.getElementById('now-playing').textContent.startsWith('Slow sweep')", "true"));
  const std::string said = messages();
  EXPECT_NE(said.find("“Slow sweep (220 to 880 Hz)” follows without a gap"), std::string::npos) << said;
  // Started by the core, not again by the page.
  EXPECT_EQ(said.find("Playing “Slow sweep"), std::string::npos) << said;
  EXPECT_EQ(inPage("document.querySelectorAll('#messages li.error').length"), "0") << said;
}

TEST_F(DemoPageInClientTest, MediaKeysPauseResumeAndSkip) {
  inPage("document.querySelector('#track-list button[data-play=\"9005\"]').click()");
  ASSERT_TRUE(pageShows("/, playing/.test(document.getElementById('sound-state').textContent)", "true"));
  std::shared_ptr<VeloraICI> ici = VeloraController::instance().ici();
  ASSERT_NE(ici, nullptr);
  ici->sendPlayTrackSignal();
  EXPECT_TRUE(pageShows("/, paused/.test(document.getElementById('sound-state').textContent)", "true"));
  ici->sendPlayTrackSignal();
  EXPECT_TRUE(pageShows("/, playing/.test(document.getElementById('sound-state').textContent)", "true"));
  // Paused at the start of the track, "previous" goes to the track before.
  ici->sendPlayTrackSignal();
  EXPECT_TRUE(pageShows("/, paused/.test(document.getElementById('sound-state').textContent)", "true"));
  inPage(
      "{ const seek = document.getElementById('seek'); seek.value = '0'; seek.dispatchEvent(new Event('change')); }");
  EXPECT_TRUE(pageShows("document.getElementById('position').textContent", "0:00"));
  ici->sendPlayPreviousTrackSignal();
  EXPECT_TRUE(pageShows("document.getElementById('now-playing').textContent.startsWith('Octave')", "true"));
  ici->sendPlayNextTrackSignal();
  EXPECT_TRUE(pageShows("document.getElementById('now-playing').textContent.startsWith('Slow sweep')", "true"));
}

TEST_F(DemoPageInClientTest, ADownloadReachesTheDiskAndTheList) {
  inPage("document.querySelector('#track-list button[data-download=\"9002\"]').click()");
  ASSERT_TRUE(
      pageShows("(document.querySelector('#download-list li[data-entity=\"9002\"] .state') || {}).textContent"
                " ?.startsWith('done')",
                "true"));
  // The client's copy is the served file, byte for byte.
  const std::string served = server_->file("tracks/9002-major-third-cs5.mp3");
  bool found = false;
  GDir* folder = g_dir_open((music_ + "/Velora").c_str(), 0, nullptr);
  ASSERT_NE(folder, nullptr);
  for (const char* name; (name = g_dir_read_name(folder)) != nullptr;) {
    if (readFile(music_ + "/Velora/" + name) == served) found = true;
  }
  g_dir_close(folder);
  EXPECT_TRUE(found) << "no downloaded file equals the served MP3";
  EXPECT_TRUE(pageShows("document.getElementById('download-count').textContent", "1"));

  // After a restart the page lists it from the client's query.
  restartApplication();
  EXPECT_TRUE(
      pageShows("(document.querySelector('#download-list li[data-entity=\"9002\"] .state') || {}).textContent"
                " ?.startsWith('done')",
                "true"));
}

TEST_F(DemoPageInClientTest, TheNoteOutlivesARestart) {
  inPage(
      "{ const note = document.getElementById('note'); note.value = 'remember the milk';"
      "note.dispatchEvent(new Event('change')); }");
  // The page's write reaches the client without the page waiting for it.
  EXPECT_TRUE(ShellTestServer::runUntil([] { return storedNote() == "remember the milk"; }, 60)) << storedNote();
  restartApplication();
  EXPECT_EQ(inPage("document.getElementById('note').value"), "remember the milk");
  EXPECT_EQ(inPage("/^Start number [0-9]+ /.test(document.getElementById('note-state').textContent)"), "true");
}

TEST_F(DemoPageInClientTest, TheNotificationButtonReachesTheClient) {
  inPage("document.getElementById('notify').click()");
  EXPECT_NE(messages().find("Notification sent: "), std::string::npos) << messages();
  EXPECT_EQ(inPage("document.querySelectorAll('#messages li.error').length"), "0") << messages();
}

TEST_F(DemoPageInClientTest, AVeloraAddressReachesThePage) {
  std::shared_ptr<VeloraICI> ici = VeloraController::instance().ici();
  ASSERT_NE(ici, nullptr);
  ici->changeLocationHash("!/track/9001");
  EXPECT_TRUE(pageShows("document.getElementById('now-playing').textContent.startsWith('Concert pitch')", "true"));
  EXPECT_EQ(inPage("document.getElementById('location').textContent"), "Location: track/9001");
}

// The same page in a plain web view of a context of its own, where the
// client publishes nothing: what an ordinary browser shows.
TEST_F(DemoPageInClientTest, InABrowserItSaysWhatIsMissingAndStillOffersTheFiles) {
  WebKitWebContext* context = webkit_web_context_new();
  GtkWidget* window = gtk_offscreen_window_new();
  WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
  g_object_unref(context);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(view, server_->url().c_str());
  EXPECT_TRUE(ShellTestServer::runUntil(
      [view] {
        return evaluate(view, "document.getElementById('environment').textContent") == "Running in a browser.";
      },
      60));
  EXPECT_EQ(evaluate(view, "document.getElementById('bridge-missing').hidden"), "false");
  EXPECT_EQ(evaluate(view, "document.getElementById('bridge-missing-names').textContent"),
            "Missing: VeloraICI, AudioBinding, VeloraStorage, VeloraWebkitNotifications.");
  EXPECT_EQ(evaluate(view, "document.getElementById('play').disabled"), "true");
  EXPECT_EQ(evaluate(view, "document.querySelectorAll('#track-list a').length"), "10");
  EXPECT_EQ(evaluate(view, "document.querySelectorAll('#track-list button').length"), "0");
  EXPECT_EQ(evaluate(view, "document.querySelectorAll('#messages li.error').length"), "0");
  gtk_widget_destroy(window);
}

// Last: the page agrees to quit, and the core stops taking its calls.
TEST_F(DemoPageInClientTest, QuittingIsAgreedAndAFreshNoteIsKept) {
  // Typed just now: the save that waits for a pause in typing has not run yet.
  inPage(
      "{ const note = document.getElementById('note'); note.value = 'typed just before quitting';"
      "note.dispatchEvent(new Event('input')); }");
  int before = terminations_;
  VeloraController::instance().ici()->askTermination();
  ASSERT_TRUE(ShellTestServer::runUntil([before] { return terminations_ > before; }));
  EXPECT_TRUE(VeloraController::instance().applicationTerminated());
  EXPECT_FALSE(Binding::instance()->isJSReady());
  // Its write came on the same connection before its agreement.
  EXPECT_EQ(storedNote(), "typed just before quitting");
  VeloraController::instance().setApplicationTerminated(false);
}

}  // namespace
