#include "VLStreamUrl.h"

#include <gtest/gtest.h>

namespace {

struct ParameterCase {
  const char* url;
  const char* key;
  const char* value;
};

const ParameterCase kParameterCases[] = {
    // The forms pages send: the file's address, then the parameters.
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "tnb", "3"},
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "fmt", "6"},
    {"http://h/t.mp3?peid=12&mnb=1&tnb=3&fmt=6", "_FMT", ""},
    {"http://h/get?sig=a1?_TEID=7&_FMT=5", "_TEID", "7"},
    // Nothing outside the query counts, and '@' only where a value begins.
    {"http://me@h/t.mp3?_TEID=802&_FMT=5", "_TEID", "802"},
    {"http://h/t.mp3?from=x@y&_TEID=803&_FMT=5", "_FMT", "5"},
    {"http://h/fmt=6/t.mp3", "fmt", ""},
    {"fmt=1", "fmt", ""},
    // Names match whole and case-sensitively; the first match wins.
    {"http://h/?xfmt=5&fmt=6", "fmt", "6"},
    {"http://h/?fmtx=5", "fmt", ""},
    {"http://h/?FMT=5", "fmt", ""},
    {"http://h/?fmt=5&fmt=6", "fmt", "5"},
    // The value is the run of letters and digits.
    {"http://h/?fmt=6x&a=b", "fmt", "6x"},
    {"http://h/?fmt=5-6", "fmt", "5"},
    {"http://h/?fmt=&x=1", "fmt", ""},
    {"http://h/?_TEID=ab_cd", "_TEID", "ab"},
    {"http://h/?fmt=", "fmt", ""},
    {"", "_METADATA", ""},
    // A value that begins with '@' is the whole rest of the URL, and hides
    // the parameters inside it.
    {"http://h/?fmt=5&_METADATA=@{\"a\":1,\"b\":\"x&y=z\"}", "_METADATA", "{\"a\":1,\"b\":\"x&y=z\"}"},
    {"http://h/?_METADATA=@x&fmt=6", "fmt", ""},
    {"http://h/?_METADATA=@@x", "_METADATA", "@x"},
    // ... unless the '@' is the URL's last character.
    {"http://h/?_METADATA=@", "_METADATA", ""},
};

TEST(VLStreamUrlTest, ExtractsParametersAsTheTableSays) {
  for (const ParameterCase& c : kParameterCases) {
    EXPECT_EQ(c.value, VLStreamUrl::getParameter(c.url, c.key)) << "url " << c.url << " key " << c.key;
  }
}

TEST(VLStreamUrlTest, ParsesLeadingDigitsAsUnsigned32) {
  const std::pair<const char*, unsigned int> cases[] = {
      {"6x", 6u},
      {"x6", 0u},
      {"-5", 0u},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999", 4294967295u},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, VLStreamUrl::parseUnsigned(c.first)) << c.first;
}

}  // namespace
