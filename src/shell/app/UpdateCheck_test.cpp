// The update check against real feeds over HTTP: only a newer build for this
// platform shows the dialog; equal, older and other platforms' builds show
// nothing; a feed that does not parse (also one whose version is no version
// or whose link is no web address), an HTTP error and a server that is not
// there each give the warning line and no dialog.
#include "UpdateCheck.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ShellTestServer.h"

namespace {

class UpdateCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gtk_init(nullptr, nullptr);
    server_ = new ShellTestServer(VELORA_SOURCE_DIR "/tools/testsupport/shell/pages");
    ASSERT_TRUE(server_->start());
  }
  static void TearDownTestSuite() { delete server_; }

  struct Outcome {
    bool dialog = false;
    std::vector<std::string> warnings;
  };

  // Runs a check of the feed at the path with our build 5.
  static Outcome check(const std::string& address) {
    Outcome outcome;
    UpdateCheck::Hooks hooks;
    hooks.warn = [&outcome](const std::string& message) { outcome.warnings.push_back(message); };
    UpdateCheck check(nullptr, address, 5, "test agent", hooks);
    check.start();
    EXPECT_TRUE(ShellTestServer::runUntil([&] { return check.ended(); }));
    outcome.dialog = check.dialog() != nullptr;
    return outcome;
  }

  static ShellTestServer* server_;
};

ShellTestServer* UpdateCheckTest::server_ = nullptr;

TEST_F(UpdateCheckTest, OnlyANewerBuildForThisPlatformIsOffered) {
  ASSERT_EQ(UpdateCheck::platform(), "linux-x86_64");  // the feeds' platform
  struct Case {
    const char* path;
    bool dialog;
    const char* warning;  // "" for none
  };
  const Case cases[] = {
      {"/updates/newer/apps/velora-desktop/osx/update_2.xml", true, ""},
      {"/updates/equal.xml", false, ""},
      {"/updates/older.xml", false, ""},
      {"/updates/broken.xml", false, "Error while checking for updates: the feed does not parse: "},
      {"/updates/incomplete.xml", false, "Error while checking for updates: the feed does not parse: "},
      // What the dialog shows and opens is no text or link of the server's choosing.
      {"/updates/version-text.xml", false, "Error while checking for updates: the feed does not parse: "},
      {"/updates/version-long.xml", false, "Error while checking for updates: the feed does not parse: "},
      {"/updates/link-mailto.xml", false, "Error while checking for updates: the feed does not parse: "},
      {"/updates/missing.xml", false, "Error while checking for updates: HTTP status 404 from "},
      {"/status?code=500", false, "Error while checking for updates: HTTP status 500 from "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Outcome outcome = check(server_->playerOrigin() + c.path);
    EXPECT_EQ(outcome.dialog, c.dialog);
    if (*c.warning == '\0') {
      EXPECT_TRUE(outcome.warnings.empty()) << outcome.warnings.front();
    } else {
      ASSERT_EQ(outcome.warnings.size(), 1u);
      EXPECT_EQ(outcome.warnings[0].rfind(c.warning, 0), 0u) << outcome.warnings[0];
    }
  }
  // No server at all.
  Outcome gone = check("http://127.0.0.1:9/update_2.xml?ts=1");
  ASSERT_EQ(gone.warnings.size(), 1u);
  EXPECT_EQ(gone.warnings[0].rfind("Error while checking for updates: ", 0), 0u);
  EXPECT_FALSE(gone.dialog);
}

// A hostile feed server: answers 200 and then sends bytes until the reader
// hangs up or kBytes have gone; how many went is counted.
class EndlessFeed {
 public:
  static constexpr size_t kBytes = size_t{256} << 20;

  EndlessFeed() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~EndlessFeed() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_) + "/update_2.xml?ts=1"; }
  bool done() const { return done_; }
  size_t sent() const { return sent_; }

 private:
  void serve() {
    int peer = accept(listener_, nullptr, nullptr);
    if (peer >= 0) {
      char request[4096];
      (void)!read(peer, request, sizeof request);
      std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n<releases>";
      (void)!send(peer, head.data(), head.size(), MSG_NOSIGNAL);
      std::string filler(64 * 1024, ' ');
      while (sent_ < kBytes) {
        ssize_t written = send(peer, filler.data(), filler.size(), MSG_NOSIGNAL);
        if (written <= 0) break;
        sent_ += static_cast<size_t>(written);
      }
      close(peer);
    }
    done_ = true;
  }

  int listener_ = -1;
  unsigned port_ = 0;
  std::thread thread_;
  std::atomic<size_t> sent_{0};
  std::atomic<bool> done_{false};
};

// A feed that never ends is dropped once it is longer than any feed of ours,
// rather than read into memory whole.
TEST_F(UpdateCheckTest, AFeedWithoutEndIsDroppedAtItsCap) {
  EndlessFeed feed;
  Outcome outcome = check(feed.address());
  ASSERT_EQ(outcome.warnings.size(), 1u);
  EXPECT_EQ(outcome.warnings[0], "Error while checking for updates: the feed does not parse: empty or too large");
  EXPECT_FALSE(outcome.dialog);
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return feed.done(); }));
  EXPECT_LT(feed.sent(), EndlessFeed::kBytes) << "the whole feed was read";
}

// Quitting while the feed comes in: the check goes, and what is still on its
// way finds it gone.
TEST_F(UpdateCheckTest, ACheckDestroyedWhileTheFeedComesInLeavesQuietly) {
  EndlessFeed feed;
  std::vector<std::string> warnings;
  UpdateCheck::Hooks hooks;
  hooks.warn = [&warnings](const std::string& message) { warnings.push_back(message); };
  auto check = std::make_unique<UpdateCheck>(nullptr, feed.address(), 5, "test agent", hooks);
  check->start();
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return feed.sent() > 0; }));
  check.reset();
  ASSERT_TRUE(ShellTestServer::runUntil([&] { return feed.done(); }));
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_TRUE(warnings.empty());
}

}  // namespace
