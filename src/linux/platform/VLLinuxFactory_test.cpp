#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "VLCrypto.h"
#include "VLLinuxFactory.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"

namespace {

// A factory whose clock the test sets: the seam later tests use.
class ManualClockFactory : public VLLinuxFactory
{
public:
    double getTime() override { return now; }
    double now = 1000.0;
};

// The abstract default of getProxyConfig, reached through a minimal factory.
class BareFactory : public VLPlatformFactory
{
public:
    VLThread* createThread(const std::string&, VLRunnerObject*, int) override { return nullptr; }
    VLMutex* createMutex() override { return nullptr; }
    VLCrypto* createCrypto() override { return nullptr; }
    VLFileHelper* getFileHelper() override { return nullptr; }
    VLMappedFile* createMappedFile(const std::string&) override { return nullptr; }
    void sleep(uint64_t) override {}
    double getTime() override { return 0; }
    VLSettingHelper* getSettingHelper() override { return nullptr; }
};

}  // namespace

TEST(VLPlatformFactory, OneInstanceAndOneOfEachHelper)
{
    VLPlatformFactory* factory = VLPlatformFactory::instance();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(factory, VLPlatformFactory::instance());
    EXPECT_EQ(factory->getFileHelper(), factory->getFileHelper());
    EXPECT_EQ(factory->getSettingHelper(), factory->getSettingHelper());
    EXPECT_NE(nullptr, factory->getFileHelper());

    std::vector<VLPlatformFactory*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = VLPlatformFactory::instance(); });
    for (std::thread& t : threads)
        t.join();
    for (VLPlatformFactory* f : seen)
        EXPECT_EQ(factory, f);
}

TEST(VLPlatformFactory, SetInstanceReplacesTheFactoryAndHandsBackThePrevious)
{
    VLPlatformFactory* original = VLPlatformFactory::instance();
    ManualClockFactory manual;
    EXPECT_EQ(original, VLPlatformFactory::setInstance(&manual));
    EXPECT_EQ(&manual, VLPlatformFactory::instance());
    EXPECT_EQ(1000.0, VLPlatformFactory::instance()->getTime());
    manual.now += 64.5;
    EXPECT_EQ(1064.5, VLPlatformFactory::instance()->getTime());
    // The helpers stay the process-wide ones.
    EXPECT_EQ(original->getFileHelper(), manual.getFileHelper());
    EXPECT_EQ(&manual, VLPlatformFactory::setInstance(original));
    EXPECT_EQ(original, VLPlatformFactory::instance());
}

TEST(VLPlatformFactory, CreatedObjectsAreNewEachTime)
{
    VLPlatformFactory* factory = VLPlatformFactory::instance();
    std::unique_ptr<VLCrypto> a(factory->createCrypto());
    std::unique_ptr<VLCrypto> b(factory->createCrypto());
    EXPECT_NE(a.get(), b.get());
    std::unique_ptr<VLMappedFile> file(factory->createMappedFile("/nonexistent/folder/file"));
    EXPECT_FALSE(file->isOpen());
    EXPECT_EQ("/nonexistent/folder/file", file->getPath());
}

TEST(VLPlatformFactory, ClockIsMonotonicAndSleepWaitsAtLeastItsTime)
{
    VLPlatformFactory* factory = VLPlatformFactory::instance();
    double before = factory->getTime();
    factory->sleep(10);
    double after = factory->getTime();
    // Only a lower bound: a loaded machine may sleep longer.
    EXPECT_GE(after - before, 0.0099);
    factory->sleep(0);
    EXPECT_GE(factory->getTime(), after);
}

TEST(VLPlatformFactory, DefaultProxyAnswerLeavesTheTextAlone)
{
    BareFactory bare;
    std::string proxy = "untouched";
    EXPECT_FALSE(bare.getProxyConfig("http://example.com/", proxy));
    EXPECT_EQ("untouched", proxy);
}

TEST(VLCrypto, Rfc1321TestSuite)
{
    std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", crypto->md5(""));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", crypto->md5("a"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", crypto->md5("abc"));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", crypto->md5("message digest"));
    EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", crypto->md5("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
              crypto->md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              crypto->md5("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                          "0"));
}

TEST(VLCrypto, EmbeddedZeroBytesCountAndFormIsFixed)
{
    std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
    std::string withZero("a\0b", 3);
    EXPECT_NE(crypto->md5("a"), crypto->md5(withZero));
    EXPECT_EQ(crypto->md5(withZero), crypto->md5(withZero));
    std::string digest = crypto->md5(std::string(100000, '\xff'));
    ASSERT_EQ(32u, digest.size());
    EXPECT_EQ(std::string::npos, digest.find_first_not_of("0123456789abcdef"));
}
