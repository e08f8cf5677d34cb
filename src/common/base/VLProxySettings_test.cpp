#include <gtest/gtest.h>

#include "VLProxySettings.h"
#include "VLTestLog.h"

namespace {

class VLProxyDecisionTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { VLTestLog::start(); }

    static VLProxySettings manual(const std::string& host)
    {
        VLProxySettings settings;
        settings.available = true;
        settings.httpEnabled = true;
        settings.hasHost = true;
        settings.host = host;
        return settings;
    }

    // Decides and returns what was logged meanwhile.
    std::string decide(const VLProxySettings& settings)
    {
        size_t mark = VLTestLog::mark();
        result = VLDecideProxy(settings, proxy);
        return VLTestLog::since(mark);
    }

    std::string proxy = "before";
    bool result = false;
};

}  // namespace

TEST_F(VLProxyDecisionTest, NoSettingsAtAll)
{
    std::string log = decide(VLProxySettings());
    EXPECT_FALSE(result);
    EXPECT_EQ("before", proxy);
    EXPECT_NE(std::string::npos, log.find("WARN  desktop - Unable to retrieve proxy configuration"));
}

TEST_F(VLProxyDecisionTest, AutomaticConfigurationWinsOverAManualProxy)
{
    VLProxySettings settings = manual("proxy.local");
    settings.autoConfigEnabled = true;
    std::string log = decide(settings);
    EXPECT_FALSE(result);
    EXPECT_EQ("before", proxy);
    EXPECT_NE(std::string::npos, log.find("Automatic proxy configuration is not supported"));
}

TEST_F(VLProxyDecisionTest, ProxyOffSaysNothing)
{
    VLProxySettings settings = manual("proxy.local");
    settings.httpEnabled = false;
    std::string log = decide(settings);
    EXPECT_FALSE(result);
    EXPECT_EQ("", log);
}

TEST_F(VLProxyDecisionTest, MissingOrEmptyHostMeansNoProxy)
{
    VLProxySettings settings = manual("");
    settings.hasHost = false;
    std::string log = decide(settings);
    EXPECT_FALSE(result);
    EXPECT_NE(std::string::npos, log.find("Unable to retrieve HTTP proxy string"));

    settings = manual("");
    settings.hasPort = true;
    settings.port = 3128;
    log = decide(settings);
    EXPECT_FALSE(result);
    EXPECT_EQ("before", proxy);
    EXPECT_NE(std::string::npos, log.find("Unable to retrieve HTTP proxy string"));
}

TEST_F(VLProxyDecisionTest, PortDefaultsTo80WhenAbsentOrOutOfRange)
{
    std::string log = decide(manual("proxy.local"));
    EXPECT_TRUE(result);
    EXPECT_EQ("proxy.local:80", proxy);
    EXPECT_NE(std::string::npos, log.find("DEBUG desktop - HTTP proxy found : proxy.local:80"));

    VLProxySettings settings = manual("proxy.local");
    settings.hasPort = true;
    for (long long port : {0LL, -1LL, 65536LL, 4294967376LL}) {
        settings.port = port;
        decide(settings);
        EXPECT_TRUE(result);
        EXPECT_EQ("proxy.local:80", proxy) << port;
    }
    for (long long port : {1LL, 3128LL, 65535LL}) {
        settings.port = port;
        decide(settings);
        EXPECT_EQ("proxy.local:" + std::to_string(port), proxy);
    }
}
