#include "HTML5ManifestPrefetch.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "OfflineResourceStore.h"
#include "TestFolder.h"
#include "TestHttpServer.h"

namespace {

// Keeps what the pre-fetch stores, for the test to read back.
class MemoryResourceStore : public OfflineResourceStore {
 public:
  struct Resource {
    std::string mimeType;
    std::string bytes;
  };

  bool storeResource(const std::string& address, const std::string& mimeType, const std::string& bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    resources_[address] = Resource{mimeType, bytes};
    return true;
  }

  std::map<std::string, Resource> resources() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resources_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Resource> resources_;
};

std::string pattern(unsigned seed, size_t size) {
  std::vector<uint8_t> bytes = TestHttpServer::content(seed, 0, size);
  return std::string(bytes.begin(), bytes.end());
}

// The folder the test server serves file=NAME from, set before it starts.
class ServedFolder : public TestFolder {
 public:
  ServedFolder() { setenv("VELORA_TESTSERVER_ROOT", path().c_str(), 1); }
  bool put(const std::string& name, const std::string& bytes) { return write(file(name), bytes); }
};

class HTML5ManifestPrefetchTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.isRunning()); }

  // The paths of the requests logged once at least `count` are.
  std::vector<std::string> requestedPaths(size_t count = 0) {
    std::vector<std::string> paths;
    for (const TestHttpRequest& request : server.waitForRequests(count)) paths.push_back(request.path);
    return paths;
  }

  ServedFolder served;
  TestHttpServer server;
  MemoryResourceStore store;
};

TEST_F(HTML5ManifestPrefetchTest, KeepsOnlySuccessfulAnswersOfExplicitEntries) {
  std::string origin = server.url("");
  ASSERT_TRUE(served.put("manifest.appcache",
                         "CACHE MANIFEST\n"
                         "size=100/seed=1/app.js\n"
                         "/root/size=20/seed=2/style.css\n" +
                             origin +
                             "/size=30/seed=3/logo.png\n"
                             "../up/size=5/seed=4/up.js#part\n"
                             "status=404/missing.js\n"
                             "status=500/broken.js\n"
                             "status=302/size=7/seed=5/moved.js\n"
                             "index.html\n"
                             "size=9/seed=6/page.html?v=2\n"
                             "file:///etc/passwd\n"
                             "javascript:alert(1)\n"
                             "//" +
                             origin.substr(7) +
                             "/size=3/seed=7/same-scheme.js\n"
                             "NETWORK:\n"
                             "size=1/network.js\n"
                             "FALLBACK:\n"
                             "/ size=1/fallback.js\n"));
  HTML5ManifestPrefetch prefetch(server.url("/player/file=manifest.appcache"), "Agent/1.0 VeloraDesktop/2.1 (345)",
                                 store);
  prefetch.start();
  prefetch.wait();

  std::map<std::string, MemoryResourceStore::Resource> stored = store.resources();
  std::map<std::string, std::pair<std::string, std::string>> expected = {
      {origin + "/player/size=100/seed=1/app.js", {"application/javascript", pattern(1, 100)}},
      {origin + "/root/size=20/seed=2/style.css", {"text/css", pattern(2, 20)}},
      {origin + "/size=30/seed=3/logo.png", {"image/png", pattern(3, 30)}},
      {origin + "/up/size=5/seed=4/up.js", {"application/javascript", pattern(4, 5)}},
      // A redirect is followed; the resource is kept under the address asked for.
      {origin + "/player/status=302/size=7/seed=5/moved.js", {"application/javascript", pattern(5, 7)}},
      {origin + "/player/size=9/seed=6/page.html?v=2", {"text/html", pattern(6, 9)}},
      {origin + "/size=3/seed=7/same-scheme.js", {"application/javascript", pattern(7, 3)}},
  };
  ASSERT_EQ(expected.size(), stored.size());
  for (const auto& entry : expected) {
    auto found = stored.find(entry.first);
    ASSERT_NE(stored.end(), found) << entry.first;
    EXPECT_EQ(entry.second.first, found->second.mimeType) << entry.first;
    EXPECT_EQ(entry.second.second, found->second.bytes) << entry.first;
  }
  // Pages, other schemes and the non-explicit sections are never asked for:
  // the manifest, nine entries and one redirect make eleven requests.
  std::vector<std::string> paths = requestedPaths(11);
  EXPECT_EQ(11u, paths.size());
  for (const std::string& path : paths) {
    EXPECT_EQ(std::string::npos, path.find("index.html")) << path;
    EXPECT_EQ(std::string::npos, path.find("network.js")) << path;
    EXPECT_EQ(std::string::npos, path.find("fallback.js")) << path;
  }
}

TEST_F(HTML5ManifestPrefetchTest, SlowEntriesTimeOutAndTheNextOneFollows) {
  ASSERT_TRUE(served.put("manifest.appcache",
                         "CACHE MANIFEST\n"
                         "delay=2500/size=10/slow.js\n"
                         "size=10/seed=8/after.js\n"));
  HTML5ManifestPrefetch prefetch(server.url("/file=manifest.appcache"), "agent", store);
  prefetch.cacheHTML5ManifestFiles();
  std::map<std::string, MemoryResourceStore::Resource> stored = store.resources();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(server.url("/size=10/seed=8/after.js"), stored.begin()->first);
}

TEST_F(HTML5ManifestPrefetchTest, NoManifestFetchesNothing) {
  for (const char* path : {"/status=404/file=manifest.appcache", "/file=missing.appcache"}) {
    HTML5ManifestPrefetch prefetch(server.url(path), "agent", store);
    prefetch.cacheHTML5ManifestFiles();
  }
  EXPECT_TRUE(store.resources().empty());
  EXPECT_EQ(2u, server.waitForRequests(2).size());
}

TEST_F(HTML5ManifestPrefetchTest, CancelStopsTheRemainingEntries) {
  std::string manifest = "CACHE MANIFEST\n";
  for (int i = 0; i < 20; ++i) manifest += "delay=2000/size=10/entry" + std::to_string(i) + ".js\n";
  ASSERT_TRUE(served.put("manifest.appcache", manifest));
  {
    HTML5ManifestPrefetch prefetch(server.url("/file=manifest.appcache"), "agent", store);
    prefetch.start();
    server.waitForRequests(2);  // the manifest and the first entry
                                // The destructor cancels and waits.
  }
  EXPECT_LT(requestedPaths().size(), 5u);
  EXPECT_TRUE(store.resources().empty());
}

// The manifest lies beside the player page, also when the player's address
// names a file, a query (which may hold an address of its own) or a location
// hash; the built-in player addresses end in "/".
TEST(HTML5ManifestPrefetchAddress, IsBesideThePlayerPage) {
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("https://player.example/"),
            "https://player.example/manifest.appcache");
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("https://player.example/beta/"),
            "https://player.example/beta/manifest.appcache");
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("http://127.0.0.1:8080/app/own.html?steps=a,b&reports=http://"
                                                      "127.0.0.1:9090#view/1"),
            "http://127.0.0.1:8080/app/manifest.appcache");
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("http://127.0.0.1:8080?from=settings"),
            "http://127.0.0.1:8080/manifest.appcache");
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("data:text/html,player"), "");
  EXPECT_EQ(HTML5ManifestPrefetch::manifestAddressFor("not an address"), "");
}

}  // namespace
