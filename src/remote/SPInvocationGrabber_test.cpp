#include "SPInvocationGrabber.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "HIDRemoteFakes_test.h"

namespace {

class SPInvocationGrabberTest : public ::testing::Test {
 protected:
  SystemLogCapture log;
};

TEST_F(SPInvocationGrabberTest, GrabOnlyRecordsUntilInvoked) {
  int calls = 0;
  auto grabber = SPInvocationGrabber::grab();
  grabber->forward([&] { ++calls; });
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(grabber->invocation());
  grabber->invoke();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(grabber->invocation()) << "a successful run clears the call";
  grabber->invoke();
  EXPECT_EQ(calls, 1);
}

TEST_F(SPInvocationGrabberTest, OnMainRunsBeforeReturningOrOnALaterPass) {
  bool sync = false, async = false;
  SPInvocationGrabber::onMainAsync(false)->forward([&] { sync = true; });
  EXPECT_TRUE(sync) << "sent on the main thread: run at once";
  SPInvocationGrabber::onMainAsync(true)->forward([&] { async = true; });
  EXPECT_FALSE(async);
  EXPECT_TRUE(runUntil([&] { return async; }));
}

TEST_F(SPInvocationGrabberTest, OnMainSyncFromAnotherThreadWaitsForTheMainThread) {
  std::atomic<bool> senderReturned{false};
  std::thread::id ranOn;
  // This test thread is the main thread: it owns the main context before the
  // sender asks for it.
  g_main_context_acquire(g_main_context_default());
  std::thread sender([&] {
    SPInvocationGrabber::onMainAsync(false)->forward([&] { ranOn = std::this_thread::get_id(); });
    senderReturned = true;
  });
  runUntil([&] { return senderReturned.load(); });
  g_main_context_release(g_main_context_default());
  sender.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(SPInvocationGrabberTest, NextRunloopRunsAfterTheCurrentPassEvenWhenForwardedLater) {
  int calls = 0;
  auto grabber = SPInvocationGrabber::nextRunloop();
  grabber->forward([&] { ++calls; });  // the timer was scheduled before this
  EXPECT_EQ(calls, 0);
  runUntil([&] { return calls > 0; });
  EXPECT_EQ(calls, 1);
}

TEST_F(SPInvocationGrabberTest, InBackgroundRunsOnAnotherThread) {
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  SPInvocationGrabber::inBackground()->forward([&] {
    ranOn = std::this_thread::get_id();
    done = true;
  });
  gint64 guard = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (!done && g_get_monotonic_time() < guard) std::this_thread::yield();
  ASSERT_TRUE(done);
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST_F(SPInvocationGrabberTest, AThrowingCallIsLoggedWithItsStackAndRethrown) {
  auto grabber = SPInvocationGrabber::grab();
  grabber->forward([] { throw std::runtime_error("boom"); });
  testing::internal::CaptureStdout();
  EXPECT_THROW(grabber->invoke(), std::runtime_error);
  std::string printed = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "SPInvocationGrabber::invoke SPInvocationGrabber's target raised std::runtime_error:\n\tboom\n"
            "Invocation was originally scheduled at:");
  ASSERT_GT(grabber->frameCount(), 3);
  // The frames from index 3 on (the factory call, then its callers), then one empty line.
  EXPECT_EQ(printed.back(), '\n');
  EXPECT_EQ(printed.find("SPInvocationGrabber6create"), std::string::npos) << printed;
  EXPECT_NE(printed.find("SPInvocationGrabber4grab"), std::string::npos) << printed;
  EXPECT_NE(printed.find("testing"), std::string::npos) << printed;
  EXPECT_TRUE(grabber->invocation()) << "a failed call stays recorded";
}

TEST_F(SPInvocationGrabberTest, WithoutASavedStackOnlyTheLineFeedIsPrinted) {
  auto grabber = SPInvocationGrabber::create(false);
  grabber->forward([] { throw std::logic_error("x"); });
  testing::internal::CaptureStdout();
  EXPECT_THROW(grabber->invoke(), std::logic_error);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
}

TEST_F(SPInvocationGrabberTest, AThrowingCallRunByTheMainLoopDoesNotEndTheProcess) {
  bool ran = false;
  testing::internal::CaptureStdout();
  SPInvocationGrabber::onMainAsync(true)->forward([&] {
    ran = true;
    throw std::runtime_error("in the loop");
  });
  runUntil([&] { return ran; });
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(log.contains("in the loop"));
}

}  // namespace
