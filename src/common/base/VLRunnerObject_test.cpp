#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "VLMutex.h"
#include "VLPlatformFactory.h"
#include "VLRunnerObject.h"
#include "VLThread.h"

namespace {

class CountingRunner : public VLRunnerObject {
 public:
  void executeRunLoop() override { passes.fetch_add(1); }
  std::atomic<long> passes{0};
};

// Stops itself after a number of passes.
class SelfStoppingRunner : public VLRunnerObject {
 public:
  void executeRunLoop() override {
    if (++passes == 5) stop();
  }
  int passes = 0;
};

}  // namespace

TEST(VLRunnerObject, StartThreadRegistersTheThreadAndStopEndsTheLoop) {
  CountingRunner runner;
  VLThread* thread = runner.startThread("VLTest", 7);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(thread, runner.getThread());
  EXPECT_EQ("VLTest", thread->getName());
  EXPECT_EQ(7, thread->getParameter());
  EXPECT_EQ(&runner, thread->getRunner());
  while (runner.passes.load() < 100) std::this_thread::yield();
  runner.stop();
  thread->join();
  long after = runner.passes.load();
  EXPECT_GE(after, 100);
  EXPECT_EQ(after, runner.passes.load());
}

TEST(VLRunnerObject, StopRightAfterStartIsNotLost) {
  // Repeated, because the race it guards against is between the new thread
  // entering run() and the stop: the join below hangs if the flag is lost.
  for (int i = 0; i < 200; ++i) {
    CountingRunner runner;
    VLThread* thread = runner.startThread("VLTest", 0);
    ASSERT_NE(nullptr, thread);
    runner.stop();
    thread->join();
  }
}

TEST(VLRunnerObject, StopBeforeAndRequestStopThroughTheThread) {
  CountingRunner runner;
  runner.stop();  // a stop before the thread exists belongs to no run
  VLThread* thread = runner.startThread("VLTest", 0);
  ASSERT_NE(nullptr, thread);
  while (runner.passes.load() == 0) std::this_thread::yield();
  thread->requestStop();
  thread->join();
}

TEST(VLRunnerObject, LoopSeesAStopFromItsOwnPassAndRunsAgainAfterAJoin) {
  SelfStoppingRunner runner;
  for (int run = 0; run < 2; ++run) {
    runner.passes = 0;
    VLThread* thread = runner.startThread("VLTest", 0);
    ASSERT_NE(nullptr, thread);
    thread->join();
    EXPECT_EQ(5, runner.passes);
    delete thread;
    runner.setThread(nullptr);
  }
}

TEST(VLMutex, RecursiveLockThenAnotherThreadTakesIt) {
  VLPlatformFactory* factory = VLPlatformFactory::instance();
  std::unique_ptr<VLMutex> mutex(factory->createMutex());
  std::unique_ptr<VLMutex> other(factory->createMutex());
  EXPECT_NE(mutex.get(), other.get());

  mutex->lock();
  mutex->lock();
  std::atomic<bool> taken{false};
  std::thread contender([&] {
    mutex->lock();
    taken = true;
    mutex->unlock();
  });
  mutex->unlock();
  // Still held once: the contender cannot have it yet.
  EXPECT_FALSE(taken.load());
  mutex->unlock();
  contender.join();
  EXPECT_TRUE(taken.load());
}
