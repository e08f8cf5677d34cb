#include "VeloraMockFactory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONDecoder.h"
#include "XMLString.h"

namespace {

JKValue parsed(const std::string& text) {
  JSONDecoder decoder;
  JKError error;
  std::optional<JKValue> value = decoder.objectWithData(text, &error);
  EXPECT_TRUE(value.has_value()) << error.message;
  return value ? *value : JKValue();
}

const JKValue& field(const JKValue& record, const char* key) {
  static const JKValue missing;
  const JKValue* value = record.dictionary() ? record.dictionary()->objectForKey(key) : nullptr;
  EXPECT_NE(nullptr, value) << key;
  return value ? *value : missing;
}

// Python's json module reads the text and runs `check` (a Python expression
// over `data`); true when it holds.
bool pythonAgrees(const std::string& text, const std::string& check) {
  setenv("VELORA_MOCK_JSON", text.c_str(), 1);
  setenv("VELORA_MOCK_CHECK", check.c_str(), 1);
  return system(
             "python3 -c 'import json, os, sys; data = json.loads(os.environ[\"VELORA_MOCK_JSON\"]); "
             "sys.exit(0 if eval(os.environ[\"VELORA_MOCK_CHECK\"]) else 1)'") == 0;
}

TEST(VeloraMockFactoryTest, TracksCarryRandomProgressAndEveryThirdIsComplete) {
  std::string text = VeloraMockFactory::tracksForSendLocalMusicData();
  JKValue tracks = parsed(text);
  ASSERT_TRUE(tracks.isArray());
  ASSERT_EQ(19u, tracks.array()->count());
  for (size_t i = 0; i < 19; ++i) {
    const JKValue& track = tracks.array()->objectAtIndex(i);
    EXPECT_EQ(27u, track.dictionary()->count());
    EXPECT_EQ(int64_t(i + 1), field(track, "position").int64Value());
    EXPECT_EQ(field(track, "id").stringValue() + "-5", field(track, "uniqueId").stringValue());
    EXPECT_TRUE(field(track, "composerName").isNull());
    int64_t total = field(track, "total").int64Value();
    int64_t downloaded = field(track, "downloaded").int64Value();
    int64_t percent = field(track, "downloadedPercent").int64Value();
    EXPECT_GE(total, 1);
    EXPECT_LE(total, 6000000);
    EXPECT_LE(downloaded, total);
    EXPECT_EQ(int64_t(double(downloaded) / double(total) * 100), percent);
    if (i % 3 == 0) {
      EXPECT_EQ(100, percent) << i;
    }
  }
  EXPECT_TRUE(pythonAgrees(text,
                           "len(data) == 19 and all(len(t) == 27 and t['streamable'] is True and "
                           "t['context'] == ['playlist', '49803'] for t in data)"));
  EXPECT_EQ(19u, parsed(VeloraMockFactory::getLocalMusicData()).array()->count());
  EXPECT_EQ(19u, parsed(VeloraMockFactory::getImportedMusicData()).array()->count());
}

TEST(VeloraMockFactoryTest, TrackStatusesAreCompleteAndInOrder) {
  std::string text = VeloraMockFactory::tracksForRefreshTracksStatus({JKValue("70412301-5"), JKValue(12)});
  JKValue statuses = parsed(text);
  ASSERT_EQ(2u, statuses.array()->count());
  const JKValue& first = statuses.array()->objectAtIndex(0);
  EXPECT_EQ("70412301-5", field(first, "uniqueId").stringValue());
  EXPECT_EQ(field(first, "total").int64Value(), field(first, "downloaded").int64Value());
  EXPECT_EQ(100, field(first, "downloadedPercent").int64Value());
  EXPECT_EQ(12, field(statuses.array()->objectAtIndex(1), "uniqueId").int64Value());
  EXPECT_TRUE(pythonAgrees(text,
                           "[s['uniqueId'] for s in data] == ['70412301-5', 12] and "
                           "all(1 <= s['total'] == s['downloaded'] <= 6000000 for s in data)"));
  EXPECT_EQ("[]", VeloraMockFactory::tracksForRefreshTracksStatus({}));
}

TEST(VeloraMockFactoryTest, PlaylistStatusesHaveUriDateAndFormatByParity) {
  std::string text = VeloraMockFactory::playlistsStatus({JKValue("49803"), JKValue(49804), JKValue(-7)});
  JKValue statuses = parsed(text);
  ASSERT_EQ(3u, statuses.array()->count());
  const char* uris[] = {"playlist/49803", "playlist/49804", "playlist/-7"};
  int formats[] = {6, 5, 6};
  std::regex date("2011-([1-9]|10)-([1-9]|[12][0-9]|30) ([1-9]|1[0-9]|2[0-3]):([1-9]|[1-5][0-9]):([1-9]|[1-5][0-9])");
  for (size_t i = 0; i < 3; ++i) {
    const JKValue& status = statuses.array()->objectAtIndex(i);
    EXPECT_EQ(uris[i], field(status, "uri").stringValue());
    EXPECT_EQ(formats[i], field(status, "format").int64Value());
    EXPECT_TRUE(std::regex_match(field(status, "date").stringValue(), date)) << field(status, "date").stringValue();
  }
  EXPECT_TRUE(pythonAgrees(text, "[s['format'] for s in data] == [6, 5, 6]"));
  EXPECT_EQ("[]", VeloraMockFactory::playlistsStatus({}));
  JKValue imported = parsed(VeloraMockFactory::getImportedPlaylists());
  ASSERT_EQ(2u, imported.array()->count());
  EXPECT_EQ("playlist/49803", field(imported.array()->objectAtIndex(0), "uri").stringValue());
  EXPECT_EQ("playlist/49804", field(imported.array()->objectAtIndex(1), "uri").stringValue());
  EXPECT_EQ(1u, parsed(VeloraMockFactory::refreshPlaylistsStatus({JKValue(1)})).array()->count());
}

TEST(XMLStringTest, EscapesEachSpecialCharacterOnce) {
  EXPECT_EQ("it&#039;s a &amp; b", toXMLString("it's a & b"));
  EXPECT_EQ("&amp;amp; &lt;b&gt; &quot;q&quot;", toXMLString("&amp; <b> \"q\""));
  EXPECT_EQ("caf\xC3\xA9", toXMLString("caf\xC3\xA9"));
  EXPECT_EQ("", toXMLString(""));
}

}  // namespace
