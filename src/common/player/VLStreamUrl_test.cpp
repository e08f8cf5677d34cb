#include "VLStreamUrl.h"

#include <gtest/gtest.h>

namespace {

struct ParameterCase
{
    const char* url;
    const char* key;
    const char* value;
};

const ParameterCase kParameterCases[] = {
    // Plain query parameters.
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "peid", "12"},
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "tnb", "3"},
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "fmt", "6"},
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "_FMT", ""},
    // The value is the run of letters and digits.
    {"http://h/?fmt=6x&a=b", "fmt", "6x"},
    {"http://h/?fmt=x6", "fmt", "x6"},
    {"http://h/?fmt=5-6", "fmt", "5"},
    {"http://h/?fmt=&x=1", "fmt", ""},
    {"http://h/?_TEID=ab_cd", "_TEID", "ab"},
    // No separator is needed before a key: xfmt also matches fmt; the first
    // match wins.
    {"http://h/?xfmt=5&fmt=6", "fmt", "5"},
    // Keys are case-sensitive.
    {"http://h/?FMT=5", "fmt", ""},
    {"http://h/?_fmt=5", "_FMT", ""},
    // A key needs its '=' and one more character.
    {"http://h/?fmt=", "fmt", ""},
    {"http://h/?fmt=7", "fmt", "7"},
    {"fmt", "fmt", ""},
    {"fmt=", "fmt", ""},
    {"fmt=1", "fmt", "1"},
    // URLs shorter than the key.
    {"", "_METADATA", ""},
    {"a", "_METADATA", ""},
    {"_METADATA", "_METADATA", ""},
    // Nothing at or after the first '@' is found.
    {"http://h/?a=1@fmt=6", "fmt", ""},
    {"http://user@h/?fmt=6", "fmt", ""},
    // A value that begins with '@' is the whole rest of the URL.
    {"http://h/?fmt=5&_METADATA=@{\"a\":1,\"b\":\"x&y=z\"}", "_METADATA", "{\"a\":1,\"b\":\"x&y=z\"}"},
    {"http://h/?_METADATA=@@x", "_METADATA", "@x"},
    // ... unless the '@' is the URL's last character.
    {"http://h/?_METADATA=@", "_METADATA", ""},
};

TEST(VLStreamUrlTest, ExtractsParametersAsTheTableSays)
{
    for (const ParameterCase& c : kParameterCases) {
        EXPECT_EQ(c.value, VLStreamUrl::getParameter(c.url, c.key)) << "url " << c.url << " key " << c.key;
    }
}

TEST(VLStreamUrlTest, ParsesLeadingDigitsAsUnsigned32)
{
    EXPECT_EQ(6u, VLStreamUrl::parseUnsigned("6"));
    EXPECT_EQ(6u, VLStreamUrl::parseUnsigned("6x"));
    EXPECT_EQ(0u, VLStreamUrl::parseUnsigned("x6"));
    EXPECT_EQ(0u, VLStreamUrl::parseUnsigned(""));
    EXPECT_EQ(0u, VLStreamUrl::parseUnsigned("-5"));
    EXPECT_EQ(4294967295u, VLStreamUrl::parseUnsigned("4294967295"));
    EXPECT_EQ(4294967295u, VLStreamUrl::parseUnsigned("4294967296"));
    EXPECT_EQ(4294967295u, VLStreamUrl::parseUnsigned("99999999999999999999999"));
    EXPECT_EQ(3000000000u, VLStreamUrl::parseUnsigned("3000000000"));
}

} // namespace
