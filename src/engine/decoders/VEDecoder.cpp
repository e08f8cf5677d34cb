#include "VEDecoder.h"

#include <cstring>

#include "VEFileReader.h"
#include "VEFlacDecoder.h"
#include "VEMpegDecoder.h"
#include "VEMpegFrameSearch.h"

namespace {

enum class Format { Unknown, Mpeg, Flac };

// Reads exactly size bytes at offset; false when the data ends first.
bool readAt(VEFileReader* reader, uint64_t offset, uint8_t* out, size_t size, bool* failed) {
  reader->seek(offset);
  size_t got = 0;
  while (got < size) {
    long n = reader->read(out + got, size - got);
    if (n < 0) {
      *failed = true;
      return false;
    }
    if (n == 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The format, and for MP3 where its first frame starts.
Format detect(VEFileReader* reader, uint64_t* mpegStart, bool* failed) {
  uint8_t head[10];
  uint64_t offset = 0;
  if (!readAt(reader, 0, head, 4, failed)) return Format::Unknown;
  if (memcmp(head, "ID3", 3) == 0) {
    if (!readAt(reader, 0, head, 10, failed)) return Format::Unknown;
    // Syncsafe size of the tag body, plus the header and the optional footer.
    uint64_t size = (uint64_t(head[6] & 0x7F) << 21) | (uint64_t(head[7] & 0x7F) << 14) |
                    (uint64_t(head[8] & 0x7F) << 7) | uint64_t(head[9] & 0x7F);
    offset = 10 + size + ((head[5] & 0x10) ? 10 : 0);
    if (!readAt(reader, offset, head, 4, failed)) return Format::Unknown;
  }
  if (memcmp(head, "fLaC", 4) == 0) return Format::Flac;
  switch (VEMpegFrameSearch::find(reader, offset, mpegStart)) {
    case VEMpegFrameSearch::Outcome::Found: return Format::Mpeg;
    case VEMpegFrameSearch::Outcome::ReadFailed: *failed = true; return Format::Unknown;
    case VEMpegFrameSearch::Outcome::NotFound: return Format::Unknown;
  }
  return Format::Unknown;
}

}  // namespace

std::unique_ptr<VEDecoder> VEDecoder::open(VEFileReader* reader, VEResult* failure) {
  bool failed = false;
  uint64_t mpegStart = 0;
  Format format = detect(reader, &mpegStart, &failed);
  if (failed || reader->failure() != VE_OK) {
    *failure = VE_ERR_INTERNAL;
    return nullptr;
  }
  std::unique_ptr<VEDecoder> decoder;
  if (format == Format::Mpeg) decoder = std::make_unique<VEMpegDecoder>(reader, mpegStart);
  if (format == Format::Flac) decoder = std::make_unique<VEFlacDecoder>(reader);
  if (!decoder) {
    *failure = VE_ERR_FORMAT;
    return nullptr;
  }
  reader->seek(0);
  VEResult result = decoder->readHeader();
  if (result != VE_OK) {
    *failure = reader->failure() != VE_OK ? VE_ERR_INTERNAL : result;
    return nullptr;
  }
  return decoder;
}
