// Finds where the MPEG audio frames of a file begin.
//
// Files met in the wild put padding after their ID3v2 tag, zero bytes or a
// few bytes of text in front of the first frame. A lone frame sync inside such
// bytes proves nothing, so a header counts only when a second header of the
// same version, layer and rate follows at the distance the first one's
// fields give (or the data ends there). The search reads forward in small
// steps and never more than its window plus one frame, so a file that is no
// MP3 fails after a bounded read. Used on the stream's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class VEFileReader;

class VEMpegFrameSearch {
 public:
  // How far past the expected start the first frame may lie.
  static constexpr uint64_t kWindowBytes = 128 * 1024;

  // The first confirmed frame at or after from, within the window.
  enum class Outcome { Found, NotFound, ReadFailed };
  static Outcome find(VEFileReader* reader, uint64_t from, uint64_t* frameStart);

  // The length in bytes of the frame whose 4-byte header is at header; 0 for
  // something that is no frame header. Free-format frames (bitrate index 0)
  // have no length of their own and also give 0.
  static size_t frameLength(const uint8_t* header);
  // Whether header is a frame sync with a valid version, layer, bitrate
  // index and rate (free format included).
  static bool isFrameHeader(const uint8_t* header);
  // Same version, layer and rate: two frames of one stream.
  static bool sameStream(const uint8_t* a, const uint8_t* b);

 private:
  explicit VEMpegFrameSearch(VEFileReader* reader, uint64_t from) : reader_(reader), from_(from) {}
  // Makes the bytes up to from_ + end available; false when the data ends
  // first (or a read failed: failed_ is then set).
  bool have(size_t end);
  bool confirmed(size_t offset);

  VEFileReader* reader_;
  uint64_t from_;
  std::vector<uint8_t> bytes_;  // the file from from_ on, as far as read
  bool ended_ = false;
  bool failed_ = false;
};
