#include "BlockingHttpRequest.h"

#include <gtest/gtest.h>

#include "TestHttpServer.h"

namespace {

class BlockingHttpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.isRunning()); }

  HttpResponse fetch(BlockingHttpRequest& request, bool expectAnswer) {
    HttpResponse response;
    EXPECT_EQ(expectAnswer, request.perform(response)) << request.url() << ": " << response.error;
    return response;
  }

  TestHttpServer server;
};

TEST_F(BlockingHttpRequestTest, AnswersCarryStatusTypeAndBody) {
  BlockingHttpRequest request(server.url("/size=5000/seed=2/a.css"));
  HttpResponse response = fetch(request, true);
  EXPECT_TRUE(response.isSuccess());
  EXPECT_EQ(200, response.status);
  EXPECT_EQ("text/css", response.contentType);
  std::vector<uint8_t> expected = TestHttpServer::content(2, 0, 5000);
  EXPECT_EQ(std::string(expected.begin(), expected.end()), response.body);

  BlockingHttpRequest missing(server.url("/status=404/a.css"));
  HttpResponse notFound = fetch(missing, true);
  EXPECT_FALSE(notFound.isSuccess());
  EXPECT_EQ(404, notFound.status);
}

TEST_F(BlockingHttpRequestTest, RedirectsOnlyWhenAsked) {
  BlockingHttpRequest stay(server.url("/status=302/size=10/a.js"));
  EXPECT_EQ(302, fetch(stay, true).status);
  BlockingHttpRequest follow(server.url("/status=302/size=10/a.js"));
  follow.setFollowRedirects(true);
  HttpResponse followed = fetch(follow, true);
  EXPECT_EQ(200, followed.status);
  EXPECT_EQ(10u, followed.body.size());
}

TEST_F(BlockingHttpRequestTest, TransportFailuresAreNotAnswers) {
  BlockingHttpRequest tooLong(server.url("/size=200000/a.bin"));
  tooLong.setMaximumBodySize(100000);
  HttpResponse cut = fetch(tooLong, false);
  EXPECT_EQ("the answer is longer than 100000 bytes", cut.error);
  EXPECT_TRUE(cut.body.empty());
  EXPECT_EQ(0, cut.status);

  BlockingHttpRequest slow(server.url("/delay=3000/size=10/a.js"));
  slow.setTimeoutMilliseconds(300);
  EXPECT_FALSE(fetch(slow, false).isSuccess());

  std::atomic<bool> cancelled{true};
  BlockingHttpRequest cancelledRequest(server.url("/size=10/stall=5/a.js"));
  cancelledRequest.setCancelFlag(&cancelled);
  EXPECT_FALSE(fetch(cancelledRequest, false).isSuccess());

  for (const char* refused : {"file:///etc/passwd", "ftp://127.0.0.1/x", "not an address"}) {
    BlockingHttpRequest request(refused);
    EXPECT_FALSE(fetch(request, false).isSuccess()) << refused;
  }
}

TEST_F(BlockingHttpRequestTest, PostsItsBodyWithItsHeaders) {
  BlockingHttpRequest request(server.url("/form"));
  request.addHeader("Content-Type: multipart/form-data; boundary=b");
  request.setPostBody("--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--b--\r\n");
  HttpResponse response = fetch(request, true);
  EXPECT_EQ(200, response.status);
  EXPECT_EQ("ok\n", response.body);
  std::vector<TestHttpForm> forms = server.getForms();
  ASSERT_EQ(1u, forms.size());
  ASSERT_NE(nullptr, forms[0].part("x"));
  EXPECT_EQ("1", forms[0].part("x")->bytes);
  EXPECT_EQ("POST", server.waitForRequests(1).at(0).method);
}

}  // namespace
