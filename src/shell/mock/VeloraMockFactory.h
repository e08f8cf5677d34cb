#pragma once

#include <string>
#include <vector>

#include "JKValue.h"

// Canned JSON answers of the shapes the page expects for local-music and
// playlist-status queries, for developing the page without a core behind it:
// a fixed list of 19 tracks of one album in one playlist with random download
// progress, and random statuses for given ids. Random values come from the
// system's non-repeatable source. Class operations only; any thread.
class VeloraMockFactory {
 public:
  VeloraMockFactory() = delete;

  // The built-in tracks, each with "total" (1 to 6000000), "downloaded" and
  // "downloadedPercent" (the integer part of downloaded / total x 100)
  // added; every third record from the first is complete (percent 100).
  static std::string tracksForSendLocalMusicData();
  static std::string getLocalMusicData();
  static std::string getImportedMusicData();

  // One object per id, in order: "uniqueId" the id, "total" random from 1 to
  // 6000000, "downloaded" the same, "downloadedPercent" 100.
  static std::string tracksForRefreshTracksStatus(const std::vector<JKValue>& ids);
  // One object per id, in order: "uri" "playlist/<id>", "date"
  // "2011-<month>-<day> <hour>:<minute>:<second>" (random, unpadded), "format"
  // 5 for an even id and 6 for an odd one.
  static std::string playlistsStatus(const std::vector<JKValue>& ids);
  static std::string refreshPlaylistsStatus(const std::vector<JKValue>& ids);
  // playlistsStatus of the ids 49803 and 49804.
  static std::string getImportedPlaylists();

  // The built-in track list as JSON text.
  static const char* const kBuiltInTracks;
};
