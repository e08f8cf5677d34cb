#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "VLCrypto.h"
#include "VLLinuxFactory.h"
#include "VLPlatformFactory.h"
#include "VLThread.h"

namespace {

// A factory whose clock the test sets: the seam later tests use.
class ManualClockFactory : public VLLinuxFactory {
 public:
  double getTime() override { return now; }
  double now = 1000.0;
};

// The abstract default of getProxyConfig, reached through a minimal factory.
class BareFactory : public VLPlatformFactory {
 public:
  VLThread* createThread(const std::string&, VLRunnerObject*, int) override { return nullptr; }
  VLMutex* createMutex() override { return nullptr; }
  VLWakeEvent* createWakeEvent() override { return nullptr; }
  VLCrypto* createCrypto() override { return nullptr; }
  VLFileHelper* getFileHelper() override { return nullptr; }
  VLMappedFile* createMappedFile(const std::string&) override { return nullptr; }
  void sleep(uint64_t) override {}
  double getTime() override { return 0; }
  int64_t getEpochTime() override { return 0; }
  VLSettingHelper* getSettingHelper() override { return nullptr; }
};

}  // namespace

TEST(VLPlatformFactory, OneInstanceFromEveryThreadAndAReplaceableSeam) {
  VLPlatformFactory* factory = VLPlatformFactory::instance();
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(factory->getFileHelper(), factory->getFileHelper());
  EXPECT_EQ(factory->getSettingHelper(), factory->getSettingHelper());
  std::vector<VLPlatformFactory*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = VLPlatformFactory::instance(); });
  for (std::thread& t : threads) t.join();
  for (VLPlatformFactory* f : seen) EXPECT_EQ(factory, f);

  // setInstance puts a test clock behind the core and hands back the
  // previous factory; the helpers stay the process-wide ones.
  ManualClockFactory manual;
  EXPECT_EQ(factory, VLPlatformFactory::setInstance(&manual));
  EXPECT_EQ(1000.0, VLPlatformFactory::instance()->getTime());
  manual.now += 64.5;
  EXPECT_EQ(1064.5, VLPlatformFactory::instance()->getTime());
  EXPECT_EQ(factory->getFileHelper(), manual.getFileHelper());
  EXPECT_EQ(&manual, VLPlatformFactory::setInstance(factory));
  EXPECT_EQ(factory, VLPlatformFactory::instance());

  BareFactory bare;
  std::string proxy = "untouched";
  EXPECT_FALSE(bare.getProxyConfig("http://example.com/", proxy));
  EXPECT_EQ("untouched", proxy);
}

TEST(VLCrypto, Rfc1321TestSuiteAndEmbeddedZeroBytes) {
  std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
  const std::pair<std::string, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
  };
  for (const auto& vector : vectors) EXPECT_EQ(vector.second, crypto->md5(vector.first)) << vector.first;
}

TEST(VLLinuxFactory, AThreadWithoutARunnerEndsAtOnceAndJoins) {
  std::unique_ptr<VLThread> thread(VLPlatformFactory::instance()->createThread("VLTest", nullptr, 3));
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(nullptr, thread->getRunner());
  EXPECT_EQ(3, thread->getParameter());
  thread->join();  // hangs when a thread without a runner never ends
}

// The worker paces itself with sleeps of 10 ms and measures delays with the
// clock: a sleep must last that long, and the clock count it in seconds.
TEST(VLLinuxFactory, ASleepOfTenMillisecondsIsAHundredthOfASecondOnTheClock) {
  VLPlatformFactory* factory = VLPlatformFactory::instance();
  for (int i = 0; i < 3; ++i) {
    double before = factory->getTime();
    factory->sleep(10);
    double elapsed = factory->getTime() - before;
    EXPECT_GE(elapsed, 0.0099);
    EXPECT_LT(elapsed, 1.0) << "the clock counts seconds";
  }
}
