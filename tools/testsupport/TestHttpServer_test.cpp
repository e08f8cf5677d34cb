#include "TestHttpServer.h"
#include "TestNginxServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

struct Response {
  long status = 0;
  CURLcode result = CURLE_OK;
  std::string headers;
  std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

Response fetch(const std::string& url, const char* range = nullptr, long timeoutMs = 10000) {
  Response response;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  if (range) curl_easy_setopt(curl, CURLOPT_RANGE, range);
  response.result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_cleanup(curl);
  return response;
}

std::string expected(unsigned seed, size_t offset, size_t length) {
  std::vector<uint8_t> bytes = TestHttpServer::content(seed, offset, length);
  return std::string(bytes.begin(), bytes.end());
}

bool hasHeader(const Response& response, const std::string& line) {
  return response.headers.find(line + "\r\n") != std::string::npos;
}

}  // namespace

class TestHttpServerTest : public ::testing::Test {
 protected:
  TestHttpServer server;
};

TEST_F(TestHttpServerTest, AnswersRangesWithDeterministicBytes) {
  ASSERT_TRUE(server.isRunning());
  Response whole = fetch(server.url("/size=70000/seed=5/a"));
  EXPECT_EQ(200, whole.status);
  EXPECT_EQ(expected(5, 0, 70000), whole.body);
  EXPECT_TRUE(hasHeader(whole, "ETag: \"e5-70000\""));

  Response part = fetch(server.url("/size=70000/seed=5/a"), "66000-66999");
  EXPECT_EQ(206, part.status);
  EXPECT_TRUE(hasHeader(part, "Content-Range: bytes 66000-66999/70000"));
  EXPECT_EQ(expected(5, 66000, 1000), part.body);

  Response open = fetch(server.url("/size=70000/seed=5/a"), "69000-");
  EXPECT_EQ(206, open.status);
  EXPECT_EQ(expected(5, 69000, 1000), open.body);

  EXPECT_EQ(416, fetch(server.url("/size=70000/a"), "70000-").status);

  std::vector<TestHttpRequest> log = server.waitForRequests(4);
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ("-", log[0].range);
  EXPECT_EQ("200", log[0].status);
  EXPECT_EQ(70000u, log[0].bytes);
  EXPECT_EQ("bytes=66000-66999", log[1].range);
  EXPECT_EQ(1000u, log[1].bytes);
  EXPECT_EQ("416", log[3].status);
  server.clearRequests();
  EXPECT_TRUE(server.getRequests().empty());
}

TEST_F(TestHttpServerTest, InjectsFaultsChosenByPath) {
  ASSERT_TRUE(server.isRunning());
  EXPECT_EQ(404, fetch(server.url("/status=404/a")).status);
  Response moved = fetch(server.url("/size=10/status=302/a"));
  EXPECT_EQ(302, moved.status);
  EXPECT_TRUE(hasHeader(moved, "Location: /size=10/a"));

  EXPECT_EQ(503, fetch(server.url("/size=10/failtimes=2/b")).status);
  EXPECT_EQ(503, fetch(server.url("/size=10/failtimes=2/b")).status);
  EXPECT_EQ(200, fetch(server.url("/size=10/failtimes=2/b")).status);

  Response ignored = fetch(server.url("/size=9000/norange=1/a"), "100-");
  EXPECT_EQ(200, ignored.status);
  EXPECT_EQ(9000u, ignored.body.size());

  Response shifted = fetch(server.url("/size=9000/shift=100/a"), "500-");
  EXPECT_TRUE(hasHeader(shifted, "Content-Range: bytes 400-8999/9000"));
  EXPECT_EQ(expected(0, 400, 8600), shifted.body);

  Response lying = fetch(server.url("/size=9000/lierange=96/a"), "4000-");
  EXPECT_TRUE(hasHeader(lying, "Content-Range: bytes 4096-9095/9000"));
  EXPECT_EQ(expected(0, 4000, 5000), lying.body);

  EXPECT_TRUE(hasHeader(fetch(server.url("/size=9000/startotal=1/a"), "0-"), "Content-Range: bytes 0-8999/*"));

  Response unsized = fetch(server.url("/size=3000/nolength=1/a"), "0-");
  EXPECT_EQ(std::string::npos, unsized.headers.find("Content-Length"));
  EXPECT_EQ(std::string::npos, unsized.headers.find("Content-Range"));
  EXPECT_EQ(3000u, unsized.body.size());

  Response cut = fetch(server.url("/size=100000/truncate=5000/a"));
  EXPECT_EQ(CURLE_PARTIAL_FILE, cut.result);
  EXPECT_EQ(5000u, cut.body.size());

  Response stalled = fetch(server.url("/size=100000/stall=3000/a"), nullptr, 500);
  EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, stalled.result);
  EXPECT_EQ(3000u, stalled.body.size());

  Response validators = fetch(server.url("/size=10/etag=none/lm=0/a"));
  EXPECT_EQ(std::string::npos, validators.headers.find("ETag"));
  EXPECT_TRUE(hasHeader(validators, "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT"));
  EXPECT_TRUE(hasHeader(fetch(server.url("/size=10/etag=x1/weaketag=1/a")), "ETag: W/\"x1\""));
}

TEST_F(TestHttpServerTest, ParsesPostedForms) {
  ASSERT_TRUE(server.isRunning());
  EXPECT_TRUE(hasHeader(fetch(server.url("/size=10/page.css?v=1")), "Content-Type: text/css"));

  // A form made by libcurl's own MIME builder, as an independent client.
  CURL* curl = curl_easy_init();
  curl_mime* mime = curl_mime_init(curl);
  curl_mimepart* text = curl_mime_addpart(mime);
  curl_mime_name(text, "greeting");
  curl_mime_data(text, "hello", CURL_ZERO_TERMINATED);
  curl_mimepart* data = curl_mime_addpart(mime);
  curl_mime_name(data, "blob");
  curl_mime_filename(data, "blob.bin");
  curl_mime_type(data, "application/octet-stream");
  curl_mime_data(data, "a\0\r\nb", 5);
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, server.url("/status=500/form").c_str());
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  EXPECT_EQ(CURLE_OK, curl_easy_perform(curl));
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  EXPECT_EQ(500, status);
  curl_mime_free(mime);
  curl_easy_cleanup(curl);

  std::vector<TestHttpForm> forms = server.getForms();
  ASSERT_EQ(1u, forms.size());
  EXPECT_EQ("/status=500/form", forms[0].path);
  EXPECT_EQ("ok", forms[0].defects);
  ASSERT_EQ(2u, forms[0].parts.size());
  EXPECT_EQ("greeting", forms[0].parts[0].name);
  EXPECT_EQ("", forms[0].parts[0].filename);
  EXPECT_EQ("hello", forms[0].parts[0].bytes);
  ASSERT_NE(nullptr, forms[0].part("blob"));
  EXPECT_EQ("blob.bin", forms[0].part("blob")->filename);
  EXPECT_EQ("application/octet-stream", forms[0].part("blob")->contentType);
  EXPECT_EQ(std::string("a\0\r\nb", 5), forms[0].part("blob")->bytes);
}

TEST(TestNginxServerTest, ServesRangesOfFixtureFiles) {
  char pattern[] = "/tmp/velora-fixtures-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  std::string root = pattern;
  std::string body = expected(3, 0, 50000);
  std::ofstream(root + "/track.bin") << body;

  {
    TestNginxServer nginx(root);
    ASSERT_TRUE(nginx.isRunning());
    Response part = fetch(nginx.url("/track.bin"), "4096-");
    EXPECT_EQ(206, part.status);
    EXPECT_EQ(body.substr(4096), part.body);
    EXPECT_EQ(404, fetch(nginx.url("/missing.bin")).status);
    std::vector<TestHttpRequest> log = nginx.waitForRequests(2);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("bytes=4096-", log[0].range);
    EXPECT_EQ("206", log[0].status);
    EXPECT_EQ(50000u - 4096u, log[0].bytes);
    EXPECT_EQ("-", log[1].range);
  }
  unlink((root + "/track.bin").c_str());
  rmdir(root.c_str());
}
