#include "VeloraMockFactory.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "JKArray.h"
#include "JKDictionary.h"
#include "JSONDecoder.h"
#include "JSONKitSerializing.h"
#include "VLLogger.h"

// Sample data: invented titles, ids and addresses.
const char* const VeloraMockFactory::kBuiltInTracks = R"JSON(
[
  {"id": "70412301", "title": "Harbour Lights", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 1,
   "mediaNumber": 1, "duration": 214000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412301-5",
   "addDate": "2011-09-12 18:03:00", "position": 1,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412302", "title": "Paper Compass", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 2,
   "mediaNumber": 1, "duration": 187000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412302-5",
   "addDate": "2011-09-12 18:04:07", "position": 2,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412303", "title": "The Long Thaw", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 3,
   "mediaNumber": 1, "duration": 243000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412303-5",
   "addDate": "2011-09-12 18:05:14", "position": 3,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412304", "title": "Saltwater Hymn", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 4,
   "mediaNumber": 1, "duration": 198000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412304-5",
   "addDate": "2011-09-12 18:06:21", "position": 4,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412305", "title": "Quiet Engines", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 5,
   "mediaNumber": 1, "duration": 265000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412305-5",
   "addDate": "2011-09-12 18:07:28", "position": 5,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412306", "title": "Northbound", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 6,
   "mediaNumber": 1, "duration": 176000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412306-5",
   "addDate": "2011-09-12 18:08:35", "position": 6,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412307", "title": "Glass Orchard", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 7,
   "mediaNumber": 1, "duration": 231000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412307-5",
   "addDate": "2011-09-12 18:09:42", "position": 7,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412308", "title": "Lantern Street", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 8,
   "mediaNumber": 1, "duration": 205000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412308-5",
   "addDate": "2011-09-12 18:10:49", "position": 8,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412309", "title": "Fieldnotes", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 9,
   "mediaNumber": 1, "duration": 189000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412309-5",
   "addDate": "2011-09-12 18:11:56", "position": 9,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412310", "title": "Cold Open", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 10,
   "mediaNumber": 1, "duration": 252000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412310-5",
   "addDate": "2011-09-12 18:12:03", "position": 10,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412311", "title": "Marigold", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 11,
   "mediaNumber": 1, "duration": 171000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412311-5",
   "addDate": "2011-09-12 18:13:10", "position": 11,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412312", "title": "Tidal Clock", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 12,
   "mediaNumber": 1, "duration": 223000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412312-5",
   "addDate": "2011-09-12 18:14:17", "position": 12,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412313", "title": "Slow Radio", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 13,
   "mediaNumber": 1, "duration": 246000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412313-5",
   "addDate": "2011-09-12 18:15:24", "position": 13,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412314", "title": "Orbit of Small Things", "artistName": "The Meridian Quartet",
   "artistId": "50817", "interpreterName": "The Meridian Quartet", "interpreterId": "50817",
   "composerName": null, "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 14,
   "mediaNumber": 1, "duration": 199000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412314-5",
   "addDate": "2011-09-12 18:16:31", "position": 14,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412315", "title": "Copper Rain", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 15,
   "mediaNumber": 1, "duration": 238000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412315-5",
   "addDate": "2011-09-12 18:17:38", "position": 15,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412316", "title": "Winter Ferry", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 16,
   "mediaNumber": 1, "duration": 212000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412316-5",
   "addDate": "2011-09-12 18:18:45", "position": 16,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412317", "title": "Low Sun", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 17,
   "mediaNumber": 1, "duration": 184000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412317-5",
   "addDate": "2011-09-12 18:19:52", "position": 17,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412318", "title": "The Cartographer", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 18,
   "mediaNumber": 1, "duration": 271000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412318-5",
   "addDate": "2011-09-12 18:20:59", "position": 18,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"},
  {"id": "70412319", "title": "Afterlight", "artistName": "The Meridian Quartet", "artistId": "50817",
   "interpreterName": "The Meridian Quartet", "interpreterId": "50817", "composerName": null,
   "composerId": null, "albumTitle": "Northern Lanterns", "albumId": "6120934",
   "picture": "http://static.velora.example/images/cover/6120934/200x200-000000-80-0-0.jpg",
   "genreName": "Indie", "labelName": "Harbour Records", "releaseDate": "2011-03-21", "trackNumber": 19,
   "mediaNumber": 1, "duration": 229000, "context": ["playlist", "49803"],
   "cssClasses": "streaming-type-full", "streamable": true, "uniqueId": "70412319-5",
   "addDate": "2011-09-12 18:21:06", "position": 19,
   "contextLabel": "The Meridian Quartet - Northern Lanterns"}
])JSON";

namespace {

const uint32_t kLargestTotal = 6000000;

uint32_t randomValue() {
  static std::random_device source;
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  return uint32_t(source());
}

// A random integer from `low` to `high`, both included.
int randomBetween(int low, int high) {
  return low + int(randomValue() % uint32_t(high - low + 1));
}

std::string idText(const JKValue& id) {
  switch (id.kind()) {
    case JKValue::Kind::String: return id.stringValue();
    case JKValue::Kind::Integer:
    case JKValue::Kind::Boolean: return std::to_string(id.int64Value());
    case JKValue::Kind::UnsignedInteger: return std::to_string(id.uint64Value());
    case JKValue::Kind::Double: {
      char text[32];
      snprintf(text, sizeof text, "%.15g", id.doubleValue());
      return text;
    }
    default: return std::string();
  }
}

// The id's integer value as a text's leading number reads (0 when none).
long long idNumber(const JKValue& id) {
  return id.isString() ? strtoll(id.stringValue().c_str(), nullptr, 10) : id.int64Value();
}

std::string serialized(const JKValue& collection) {
  JKError error;
  std::optional<std::string> text = JSONString(collection, 0, &error);
  if (!text) {
    VL_LOG_ERROR("Mock data cannot be serialized: " << error.message);
    return "[]";
  }
  return *text;
}

std::shared_ptr<JKArray> emptyArray() {
  return JKArray::create({}, true);
}

}  // namespace

std::string VeloraMockFactory::tracksForSendLocalMusicData() {
  JSONDecoder decoder;
  std::optional<JKValue> tracks = decoder.mutableObjectWithData(kBuiltInTracks);
  if (!tracks || !tracks->isArray()) {
    VL_LOG_ERROR("The built-in mock tracks do not parse");
    return "[]";
  }
  const std::shared_ptr<JKArray>& records = tracks->array();
  for (size_t i = 0; i < records->count(); ++i) {
    uint32_t total = randomValue() % kLargestTotal + 1;
    uint32_t downloaded = i % 3 == 0 ? total : randomValue() % total;
    const std::shared_ptr<JKDictionary>& record = records->objectAtIndex(i).dictionary();
    record->setObject(JKValue(total), "total");
    record->setObject(JKValue(downloaded), "downloaded");
    record->setObject(JKValue(int(double(downloaded) / total * 100)), "downloadedPercent");
  }
  return serialized(*tracks);
}

std::string VeloraMockFactory::getLocalMusicData() {
  return tracksForSendLocalMusicData();
}

std::string VeloraMockFactory::getImportedMusicData() {
  return tracksForSendLocalMusicData();
}

std::string VeloraMockFactory::tracksForRefreshTracksStatus(const std::vector<JKValue>& ids) {
  std::shared_ptr<JKArray> result = emptyArray();
  for (const JKValue& id : ids) {
    uint32_t total = randomValue() % kLargestTotal + 1;
    std::shared_ptr<JKDictionary> status = JKDictionary::create(true);
    status->setObject(id, "uniqueId");
    status->setObject(JKValue(total), "total");
    status->setObject(JKValue(total), "downloaded");
    status->setObject(JKValue(100), "downloadedPercent");
    result->addObject(JKValue(status));
  }
  return serialized(JKValue(result));
}

std::string VeloraMockFactory::playlistsStatus(const std::vector<JKValue>& ids) {
  std::shared_ptr<JKArray> result = emptyArray();
  for (const JKValue& id : ids) {
    std::shared_ptr<JKDictionary> status = JKDictionary::create(true);
    status->setObject(JKValue("playlist/" + idText(id)), "uri");
    char date[64];
    snprintf(date, sizeof date, "2011-%i-%i %i:%i:%i", randomBetween(1, 10), randomBetween(1, 30), randomBetween(1, 23),
             randomBetween(1, 59), randomBetween(1, 59));
    status->setObject(JKValue(std::string(date)), "date");
    // Odd negative ids count as odd too.
    status->setObject(JKValue(5 + int(idNumber(id) % 2 != 0)), "format");
    result->addObject(JKValue(status));
  }
  return serialized(JKValue(result));
}

std::string VeloraMockFactory::refreshPlaylistsStatus(const std::vector<JKValue>& ids) {
  return playlistsStatus(ids);
}

std::string VeloraMockFactory::getImportedPlaylists() {
  return playlistsStatus({JKValue(49803), JKValue(49804)});
}
