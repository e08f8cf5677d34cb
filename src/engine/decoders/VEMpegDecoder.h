// MP3 (MPEG audio layers 1-3) through libmpg123, with gapless decoding: the
// encoder delay and padding recorded in a LAME/Info tag are removed. Seeks use
// the Xing table of contents or byte arithmetic (fuzzy seeking), never a scan;
// a constant-bitrate stream gets a frame index computed from its bitrate
// first, which lands its seeks on the exact frame.
//
// The decoder sees the file from its first frame on: whatever lies before it
// (a tag, padding, junk) is out of view, and byte offsets, the file size and
// so lengths and positions count from that frame.
#pragma once

#include <sys/types.h>

#include "VEDecoder.h"

struct mpg123_handle_struct;

class VEMpegDecoder : public VEDecoder {
 public:
  // start: the offset of the first frame in the file.
  VEMpegDecoder(VEFileReader* reader, uint64_t start);
  ~VEMpegDecoder() override;

  long decode(int16_t* out, size_t maxFrames) override;
  bool seek(uint64_t frame, uint64_t* landed) override;

 protected:
  VEResult readHeader() override;

 private:
  void indexConstantBitrate();
  // Bytes from the first frame to the end of the file.
  uint64_t viewSize() const;
  static ssize_t readCallback(void* handle, void* buffer, size_t size);
  static off_t seekCallback(void* handle, off_t offset, int whence);

  VEFileReader* reader_;
  uint64_t start_;
  mpg123_handle_struct* handle_ = nullptr;
  bool indexed_ = false;
};
