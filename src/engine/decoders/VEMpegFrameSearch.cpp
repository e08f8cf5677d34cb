#include "VEMpegFrameSearch.h"

#include "VEFileReader.h"

namespace {

// Header fields: version 0 = 2.5, 2 = 2, 3 = 1 (1 is reserved); layer 1 = III,
// 2 = II, 3 = I (0 is reserved).
int versionOf(const uint8_t* h) {
  return (h[1] >> 3) & 3;
}
int layerOf(const uint8_t* h) {
  return (h[1] >> 1) & 3;
}
int bitrateIndexOf(const uint8_t* h) {
  return h[2] >> 4;
}
int rateIndexOf(const uint8_t* h) {
  return (h[2] >> 2) & 3;
}

// Kilobits per second by bitrate index, for MPEG-1 layers I, II, III and for
// MPEG-2 and 2.5 layer I, then layers II and III.
const int kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
const int kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

// Bytes read per step: a frame is at most 2881 bytes.
constexpr size_t kStep = 4096;

}  // namespace

bool VEMpegFrameSearch::isFrameHeader(const uint8_t* h) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  return versionOf(h) != 1 && layerOf(h) != 0 && bitrateIndexOf(h) != 15 && rateIndexOf(h) != 3;
}

bool VEMpegFrameSearch::sameStream(const uint8_t* a, const uint8_t* b) {
  return versionOf(a) == versionOf(b) && layerOf(a) == layerOf(b) && rateIndexOf(a) == rateIndexOf(b);
}

size_t VEMpegFrameSearch::frameLength(const uint8_t* h) {
  if (!isFrameHeader(h) || bitrateIndexOf(h) == 0) return 0;
  const int version = versionOf(h);
  const int layer = layerOf(h);
  const bool mpeg1 = version == 3;
  int table = 0;
  if (mpeg1) {
    table = 3 - layer;  // I, II, III
  } else {
    table = layer == 3 ? 3 : 4;
  }
  const long bitsPerSecond = long(kBitrates[table][bitrateIndexOf(h)]) * 1000;
  const long rate = kRates[version][rateIndexOf(h)];
  const long padding = (h[2] >> 1) & 1;
  if (layer == 3) return size_t((12 * bitsPerSecond / rate + padding) * 4);
  // Layer III of MPEG-2 and 2.5 has half as many samples per frame.
  const long factor = (layer == 1 && !mpeg1) ? 72 : 144;
  return size_t(factor * bitsPerSecond / rate + padding);
}

bool VEMpegFrameSearch::have(size_t end) {
  while (bytes_.size() < end) {
    if (ended_) return false;
    const size_t old = bytes_.size();
    bytes_.resize(old + kStep);
    reader_->seek(from_ + old);
    const long got = reader_->read(bytes_.data() + old, kStep);
    bytes_.resize(old + size_t(got > 0 ? got : 0));
    if (got < 0) failed_ = true;
    // A reader hands over less than asked only at the end of its data or to
    // avoid a wait; the next read tells which.
    if (got <= 0) ended_ = true;
  }
  return true;
}

bool VEMpegFrameSearch::confirmed(size_t offset) {
  const uint8_t* header = bytes_.data() + offset;
  const size_t length = frameLength(header);
  // Free format only where the frames are expected to start: a sync found
  // further on cannot be checked against a next header.
  if (length == 0) return offset == 0 && isFrameHeader(header);
  if (!have(offset + length + 4)) return !failed_;  // the data ends inside or right after it
  return isFrameHeader(bytes_.data() + offset + length) && sameStream(header, bytes_.data() + offset + length);
}

VEMpegFrameSearch::Outcome VEMpegFrameSearch::find(VEFileReader* reader, uint64_t from, uint64_t* frameStart) {
  VEMpegFrameSearch search(reader, from);
  for (size_t offset = 0; offset <= kWindowBytes; ++offset) {
    if (!search.have(offset + 4)) break;
    if (search.isFrameHeader(search.bytes_.data() + offset) && search.confirmed(offset)) {
      *frameStart = from + offset;
      return Outcome::Found;
    }
    if (search.failed_) break;
  }
  return search.failed_ ? Outcome::ReadFailed : Outcome::NotFound;
}
