// The bridge calls of the page objects in the real client, each checked
// against what the core then holds: the test page calls VeloraICI and
// AudioBinding as the player does, and the core answers file queries,
// switches identities and keeps sounds accordingly.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "Binding.h"
#include "ScratchHome.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "TestNginxServer.h"
#include "VLPlayer.h"
#include "VeloraController.h"
#include "VeloraDesktopAppDelegate.h"
#include "VeloraICI.h"
#include "WebViewProbe.h"

namespace {

class VeloraBridgeCallsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new ScratchHome("bridge-calls-test");
    gtk_init(nullptr, nullptr);
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
    application_ = new VeloraDesktopAppDelegate(server_->playerOrigin() + "/calls.html");
    ASSERT_TRUE(home_->startApplication(*application_, VELORA_BINARY_DIR "/webext"));
    ASSERT_TRUE(ShellTestServer::runUntil([] { return evaluate("typeof ask") == "\"function\""; }));
  }

  static void TearDownTestSuite() {
    delete application_;
    delete server_;
    delete home_;
  }

  static std::string evaluate(const std::string& script) {
    return WebViewProbe::evaluate(application_->window()->mainView(), script);
  }

  // The page asks the core for the files of `ids` and gets, per file, the fields.
  static std::string downloads(const std::string& ids, const std::string& fields) {
    if (evaluate("ask(" + ids + ", " + fields + ")") != "true") return "no query";
    std::string answer;
    ShellTestServer::runUntil([&answer] { return (answer = evaluate("answer")) != "null"; });
    return answer;
  }

  // The folder chooser the page opened, once it shows `folder`.
  static GtkDialog* chooserShowing(const std::string& folder) {
    GtkDialog* found = nullptr;
    ShellTestServer::runUntil([&] {
      GList* windows = gtk_window_list_toplevels();
      for (GList* item = windows; item != nullptr && found == nullptr; item = item->next) {
        if (!GTK_IS_FILE_CHOOSER_DIALOG(item->data) || !gtk_widget_get_visible(GTK_WIDGET(item->data))) continue;
        gchar* current = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(item->data));
        if (current != nullptr && folder == current) found = GTK_DIALOG(item->data);
        g_free(current);
      }
      g_list_free(windows);
      return found != nullptr;
    });
    return found;
  }

  static ScratchHome* home_;
  static ShellTestServer* server_;
  static VeloraDesktopAppDelegate* application_;
};

ScratchHome* VeloraBridgeCallsTest::home_ = nullptr;
ShellTestServer* VeloraBridgeCallsTest::server_ = nullptr;
VeloraDesktopAppDelegate* VeloraBridgeCallsTest::application_ = nullptr;

// Sound ids start at 1 in each session: this runs before any other sound.
TEST_F(VeloraBridgeCallsTest, AudioCallsReachTheCoresSounds) {
  Binding* core = Binding::instance();
  struct Row {
    std::string call;            // evaluated in the page; its answer is expected to be
    std::string answer;          //   this JSON
    std::function<bool()> core;  // what the core holds afterwards
  };
  // A server that never answers: the sounds stay opening, so that none fails
  // (a failed sound refuses volume and mute) while the calls are checked.
  SilentListener silent;
  const std::string url = "'" + silent.origin() + "/track.mp3?_TEID=silent&fmt=5'";
  // A live sound has a volume (1 when made); a missing one answers 0.
  auto live = [core](int id) { return core->getVolume(id) > 0; };
  const std::vector<Row> rows = {
      {"AudioBinding.createSound(" + url + ")", "1", [=] { return live(1) && !live(2); }},
      {"AudioBinding.createSound(" + url + ")", "2", [=] { return live(2); }},
      {"(AudioBinding.setVolume(2, 0.25), AudioBinding.getVolume(2))", "0.25",
       [core] { return core->getVolume(2) == 0.25f && core->getVolume(1) == 1.0f; }},
      {"(AudioBinding.setMuted(2, true), AudioBinding.getMuted(2))", "true",
       [core] { return core->getMuted(2) && !core->getMuted(1); }},
      {"(AudioBinding.setMuted(2, 0), AudioBinding.getMuted(2))", "false", [core] { return !core->getMuted(2); }},
      // The highest id is given again to the sound that replaces it.
      {"AudioBinding.resetSound(2, " + url + ")", "2", [core] { return core->getVolume(2) == 1.0f; }},
      // A deleted sound answers as one that never was.
      {"(AudioBinding.deleteSound(2), [AudioBinding.getState(2), AudioBinding.getVolume(2)])", "[1,0]",
       [=] { return !live(2) && live(1); }},
      {"AudioBinding.createSound(" + url + ")", "2", [=] { return live(2); }},
      {"(AudioBinding.deleteSound(1), [AudioBinding.getState(1), AudioBinding.getVolume(1)])", "[1,0]",
       [=] { return !live(1) && live(2); }},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(evaluate(row.call), row.answer) << row.call;
    EXPECT_TRUE(row.core()) << row.call;
  }
  evaluate("AudioBinding.deleteSound(2)");
}

// A frame of the player's origin gets its own objects: the sounds its
// document made go with that document, the page's stay, across the page's
// own reload too.
TEST_F(VeloraBridgeCallsTest, AFramesSoundsGoWithItsDocument) {
  Binding* core = Binding::instance();
  SilentListener silent;
  const std::string url = "'" + silent.origin() + "/track.mp3?_TEID=silent&fmt=5'";
  auto live = [core](int id) { return core->getVolume(id) > 0; };
  ASSERT_EQ(evaluate("AudioBinding.createSound(" + url + ")"), "1");
  // A frame's first, empty document (about:blank) gets nothing, also while
  // the frame loads its address: its sounds would go with it at once.
  server_->delay("/frame.html", 120000);
  bool loading = false;
  gulong started =
      g_signal_connect(application_->window()->mainView(), "resource-load-started",
                       G_CALLBACK(+[](WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*, bool* loading) {
                         *loading |= g_str_has_suffix(webkit_web_resource_get_uri(resource), "as=blank");
                       }),
                       &loading);
  ASSERT_EQ(evaluate("(window.g = document.createElement('iframe'), window.g.src = '/frame.html?as=blank', "
                     "document.body.appendChild(window.g), true)"),
            "true");
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return loading; }));
  g_signal_handler_disconnect(application_->window()->mainView(), started);
  server_->delay("/frame.html", 0);
  EXPECT_EQ(evaluate("typeof window.g.contentWindow.AudioBinding"), "\"undefined\"");
  evaluate("(window.g.remove(), true)");

  ASSERT_EQ(evaluate("(window.f = document.createElement('iframe'), window.f.src = '/frame.html?as=sounds', "
                     "document.body.appendChild(window.f), true)"),
            "true");
  ASSERT_TRUE(
      ShellTestServer::runUntil([] { return evaluate("typeof window.f.contentWindow.AudioBinding") == "\"object\""; }));
  EXPECT_EQ(evaluate("[0, 1, 2].map(() => window.f.contentWindow.AudioBinding.createSound(" + url + "))"), "[2,3,4]");
  // Its document lives on: its sounds too.
  EXPECT_EQ(evaluate("window.f.contentWindow.AudioBinding.getVolume(4)"), "1");
  EXPECT_TRUE(live(2) && live(3) && live(4));
  EXPECT_EQ(evaluate("(window.f.remove(), true)"), "true");
  EXPECT_TRUE(ShellTestServer::runUntil([&] { return !live(2) && !live(3) && !live(4); }));
  EXPECT_TRUE(live(1));
  ASSERT_EQ(evaluate("(window.before = true, location.reload(), true)"), "true");
  ASSERT_TRUE(ShellTestServer::runUntil(
      [] { return evaluate("typeof window.before + typeof window.ask") == "\"undefinedfunction\""; }));
  EXPECT_TRUE(live(1));
  // And the reloaded page's object lets it go.
  evaluate("AudioBinding.deleteSound(1)");
  EXPECT_TRUE(ShellTestServer::runUntil([&] { return !live(1); }));
}

TEST_F(VeloraBridgeCallsTest, DownloadCallsReachTheCoresQueue) {
  // Offline, the queue keeps every download waiting where the calls put it.
  evaluate("VeloraICI.setOffline()");
  struct Row {
    std::string call;
    std::string queue;  // [download_state, position] of 1, 2, 3, 4 (null: not listed)
  };
  const std::vector<Row> rows = {
      {"VeloraICI.addFiles([1, 2, 3, 4].map(file))", "[[2,0],[2,1],[2,2],[2,3]]"},
      // Walked from the last file to the first, so the files keep the page's order.
      {"VeloraICI.setDownloadPositions([1, 2, 3].map(file), 5)", "[[2,5],[2,6],[2,7],[2,3]]"},
      {"VeloraICI.pauseDownloads([])", "[[2,5],[2,6],[2,7],[2,3]]"},
      {"VeloraICI.pauseDownloads([file(2)])", "[[2,5],[1,6],[2,7],[2,3]]"},
      {"VeloraICI.pauseDownloads(undefined)", "[[1,5],[1,6],[1,7],[1,3]]"},
      {"VeloraICI.resumeDownloads([])", "[[1,5],[1,6],[1,7],[1,3]]"},
      {"VeloraICI.resumeDownloads([file(4)])", "[[1,5],[1,6],[1,7],[2,3]]"},
      {"VeloraICI.resumeDownloads(undefined)", "[[2,5],[2,6],[2,7],[2,3]]"},
      {"VeloraICI.hideDownloads([])", "[[2,5],[2,6],[2,7],[2,3]]"},
      {"VeloraICI.hideDownloads([file(1)])", "[[0,-1],[2,6],[2,7],[2,3]]"},
      {"VeloraICI.hideDownloads(undefined)", "[[0,-1],[0,-1],[0,-1],[0,-1]]"},
      {"VeloraICI.addFiles([1, 2, 3, 4].map(file))", "[[2,0],[2,1],[2,2],[2,3]]"},
      {"VeloraICI.removeFiles([])", "[[2,0],[2,1],[2,2],[2,3]]"},
      {"VeloraICI.removeFiles([file(3)])", "[[2,0],[2,1],null,[2,3]]"},
      {"VeloraICI.removeFiles(undefined)", "[null,null,null,null]"},
  };
  for (const Row& row : rows) {
    evaluate(row.call);
    EXPECT_EQ(downloads("[1, 2, 3, 4]", "['download_state', 'position']"), row.queue) << row.call;
  }
}

TEST_F(VeloraBridgeCallsTest, FileUrlAnswersReachTheTransfer) {
  TestFolder folder;
  std::string content(100000, 'v');
  std::ofstream(folder.file("track.bin")) << content;
  TestNginxServer audio(folder.path());
  ASSERT_TRUE(audio.isRunning());
  ASSERT_EQ(unsetenv("http_proxy") + unsetenv("HTTP_PROXY"), 0);

  // Online, the queue starts both downloads and asks the page for their URLs.
  evaluate("VeloraICI.addFiles([5, 6].map(file))");
  evaluate("VeloraICI.setOnline()");
  ASSERT_TRUE(ShellTestServer::runUntil([] { return evaluate("Object.keys(asked).sort()") == "[\"5\",\"6\"]"; }));
  // No url and undefined data: the transfer ends at once and keeps no data.
  evaluate("VeloraICI.setFileUrl(asked[5], null, 0, undefined)");
  // A new format of 0 keeps the file's own: the file is fetched, not recorded as empty.
  evaluate("VeloraICI.setFileUrl(asked[6], '" + audio.url("/track.bin") + "', 0, 'opaque')");
  const std::string fields = "['download_state', 'url_data', 'bytes_total', 'bytes_loaded']";
  std::string answer;
  EXPECT_TRUE(ShellTestServer::runUntil([&] {
    answer = downloads("[5, 6]", fields);
    return answer.find("[8,") != std::string::npos && answer.find("[16,") != std::string::npos;
  })) << answer;
  EXPECT_EQ(answer, "[[8,\"\",-1,0],[16,\"opaque\",100000,100000]]");
  evaluate("VeloraICI.setOffline(), VeloraICI.removeFiles(undefined)");
  EXPECT_EQ(downloads("[5, 6]", fields), "[null,null]");
}

TEST_F(VeloraBridgeCallsTest, TheFolderChooserAnswersWithTheChosenFolderOrNull) {
  const std::string folder = home_->path() + "/Chosen music";
  ASSERT_EQ(g_mkdir_with_parents(folder.c_str(), 0700), 0);
  VeloraICI* ici = VeloraController::instance().ici().get();
  ASSERT_NE(ici, nullptr);
  struct Row {
    int response;
    std::string answer;  // the page's, as JSON
  };
  for (const Row& row : {Row{GTK_RESPONSE_ACCEPT, "[\"" + folder + "\"]"}, Row{GTK_RESPONSE_CANCEL, "[null]"},
                         Row{GTK_RESPONSE_ACCEPT, "[\"" + folder + "\"]"}, Row{GTK_RESPONSE_DELETE_EVENT, "[null]"}}) {
    // The page waits in the call until the chooser is answered.
    evaluate("(window.chosen = null, setTimeout(() => { chosen = [VeloraICI.openFolderBrowseDialog('" + folder +
             "')]; }), true)");
    GtkDialog* chooser = chooserShowing(folder);
    ASSERT_NE(chooser, nullptr) << row.response;
    gtk_dialog_response(chooser, row.response);
    std::string answer;
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return (answer = evaluate("chosen")) != "null"; }));
    EXPECT_EQ(answer, row.answer) << row.response;
    bool chosen = row.response == GTK_RESPONSE_ACCEPT;
    EXPECT_EQ(ici->hasLastSelectedDir(), chosen) << row.response;
    EXPECT_EQ(ici->lastSelectedDir(), chosen ? folder : "") << row.response;
  }
}

// Runs last: the identity switch opens another session.
TEST_F(VeloraBridgeCallsTest, SetUserIdSwitchesToTheTextOfWhatThePageGives) {
  for (const auto& row : std::vector<std::pair<std::string, std::string>>{{"12345", "12345"},
                                                                          {"'alice'", "alice"},
                                                                          {"undefined", "#anonymous#"},
                                                                          {"12345", "12345"},
                                                                          {"null", "#anonymous#"}}) {
    // Answers once the worker has switched.
    EXPECT_EQ(evaluate("(VeloraICI.setUserId(" + row.first + "), true)"), "true") << row.first;
    EXPECT_EQ(VLPlayer::instance()->getIdentity(), row.second) << row.first;
  }
}

}  // namespace
