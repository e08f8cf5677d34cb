#include "HTML5ManifestParser.h"

#include <gtest/gtest.h>

#include "TestFolder.h"
#include "TestHttpServer.h"

namespace {

typedef std::vector<std::string> Entries;

HTML5Manifest parse(const std::string& text) {
  HTML5Manifest manifest;
  EXPECT_TRUE(HTML5ManifestParser::parseManifest(text, manifest)) << text;
  return manifest;
}

TEST(HTML5ManifestParserTest, SignatureAloneOrMissingOrGlued) {
  for (const char* text : {"CACHE MANIFEST", "CACHE MANIFEST\n", "CACHE MANIFEST\r\n", "CACHE MANIFEST # v12\n",
                           "CACHE MANIFEST\t\n\n  \n"}) {
    HTML5Manifest manifest = parse(text);
    EXPECT_TRUE(manifest.explicitURLs.empty());
    EXPECT_TRUE(manifest.onlineWhitelistedURLs.empty());
    EXPECT_TRUE(manifest.fallbackURLs.empty());
    EXPECT_FALSE(manifest.allowAllNetworkRequests);
  }
  HTML5Manifest untouched;
  untouched.explicitURLs.push_back("kept");
  for (const char* text :
       {"", "CACHE MANIFESTO\na.js", "CACHE MANIFEST;\na.js", "cache manifest\na.js", "<html>404 Not Found</html>"}) {
    EXPECT_FALSE(HTML5ManifestParser::parseManifest(text, untouched)) << text;
  }
  EXPECT_EQ(Entries{"kept"}, untouched.explicitURLs);
}

TEST(HTML5ManifestParserTest, TextBeforeTheSignatureAndAByteOrderMarkAreIgnored) {
  EXPECT_EQ(Entries{"a.js"}, parse("\xEF\xBB\xBF"
                                   "CACHE MANIFEST\na.js\n")
                                 .explicitURLs);
  EXPECT_EQ(Entries{"a.js"}, parse("garbage\nb.js\nCACHE MANIFEST\na.js").explicitURLs);
}

TEST(HTML5ManifestParserTest, SectionsCollectTheirEntries) {
  HTML5Manifest manifest = parse(
      "CACHE MANIFEST\n"
      "# version 3\n"
      "first.js\n"
      "CACHE:\n"
      "/absolute/style.css\n"
      "http://static.example/logo.png\n"
      "NETWORK:\n"
      "/api/\n"
      "*\n"
      "FALLBACK:\n"
      "/ /offline.html\n"
      "images/ \t images/missing.png trailing\n"
      "/ /later.html\n"
      "lonely\n"
      "SETTINGS:\n"
      "prefer-online\n"
      "ignored.js\n"
      "CACHE:\n"
      "last.js");
  EXPECT_EQ((Entries{"first.js", "/absolute/style.css", "http://static.example/logo.png", "last.js"}),
            manifest.explicitURLs);
  EXPECT_EQ(Entries{"/api/"}, manifest.onlineWhitelistedURLs);
  EXPECT_TRUE(manifest.allowAllNetworkRequests);
  EXPECT_EQ((std::map<std::string, std::string>{{"/", "/later.html"}, {"images/", "images/missing.png"}}),
            manifest.fallbackURLs);
  EXPECT_EQ(
      "MANIFEST\n -> onlineWhitelistedURLs: (\"/api/\")\n"
      " -> explicitURLs: (\"first.js\", \"/absolute/style.css\", \"http://static.example/logo.png\", "
      "\"last.js\")\n"
      " -> fallbackURLs: {\"/\" = \"/later.html\", \"images/\" = \"images/missing.png\"}\n"
      " -> allowAllNetworkRequests: 1",
      manifest.description());
}

TEST(HTML5ManifestParserTest, LinesBreakAtCrOrLfAndLoseTrailingBlanks) {
  HTML5Manifest manifest = parse("CACHE MANIFEST\r\na.js  \r\n\r\n\tb.js second\rc.js\t\nNETWORK:\r\n* extra\r\n");
  EXPECT_EQ((Entries{"a.js", "b.js", "c.js"}), manifest.explicitURLs);
  // "*" followed by another token is a whitelist entry, not the wildcard.
  EXPECT_EQ(Entries{"*"}, manifest.onlineWhitelistedURLs);
  EXPECT_FALSE(manifest.allowAllNetworkRequests);
}

TEST(HTML5ManifestParserTest, CommentsOnlyAtTheStartOfALine) {
  HTML5Manifest manifest = parse("CACHE MANIFEST\n  # indented comment\nhash#part.js\n#a.js\n");
  EXPECT_EQ(Entries{"hash#part.js"}, manifest.explicitURLs);
}

TEST(HTML5ManifestParserTest, FetchedManifestNeedsA2xxUtf8Answer) {
  TestFolder root;
  ASSERT_TRUE(TestFolder::write(root.file("good.appcache"), "CACHE MANIFEST\nscript.js\n"));
  ASSERT_TRUE(TestFolder::write(root.file("latin1.appcache"), "CACHE MANIFEST\ncaf\xE9.js\n"));
  setenv("VELORA_TESTSERVER_ROOT", root.path().c_str(), 1);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());

  HTML5Manifest manifest;
  EXPECT_TRUE(HTML5ManifestParser::parsedManifestFromURL(server.url("/app/file=good.appcache"), "agent", manifest));
  EXPECT_EQ(Entries{"script.js"}, manifest.explicitURLs);
  // The server logs a request just after answering it.
  std::vector<TestHttpRequest> requests = server.waitForRequests(1);
  ASSERT_EQ(1u, requests.size());
  // A time stamp keeps caches from answering.
  EXPECT_EQ(0u, requests[0].path.find("/app/file=good.appcache?ts="));

  HTML5Manifest other;
  EXPECT_FALSE(HTML5ManifestParser::parsedManifestFromURL(server.url("/app/file=latin1.appcache"), "agent", other));
  EXPECT_FALSE(HTML5ManifestParser::parsedManifestFromURL(server.url("/status=404/file=good.appcache"), "", other));
  EXPECT_FALSE(HTML5ManifestParser::parsedManifestFromURL(server.url("/size=0/none.appcache"), "", other));
  EXPECT_TRUE(other.explicitURLs.empty());
}

}  // namespace
