// A decoder turns the bytes of one stream into 16-bit PCM frames.
//
// Decoders read through a VEFileReader and so block while data is fetched;
// they run only on the stream's own thread.
#pragma once

#include <cstdint>
#include <memory>

#include "VETypes.h"

class VEFileReader;

class VEDecoder {
 public:
  virtual ~VEDecoder() = default;

  // Detects the format from the content (FLAC at the start or after an ID3v2
  // tag; MP3 from the first confirmed frame found there or a little later,
  // see VEMpegFrameSearch), makes its decoder and reads the header. Null on failure, with
  // *failure set to VE_ERR_FORMAT (not a stream we decode, or empty) or
  // VE_ERR_INTERNAL (a read failed or was abandoned).
  static std::unique_ptr<VEDecoder> open(VEFileReader* reader, VEResult* failure);

  int sampleRate() const { return sampleRate_; }
  int channels() const { return channels_; }
  // Frames in the stream: exact when the header says so, else an estimate;
  // 0 when unknown.
  uint64_t lengthFrames() const { return lengthFrames_; }

  // Writes the next decoded frames (interleaved, channels() wide) to out, at
  // most maxFrames (> 0) of them. Answers the number of frames, 0 at the end
  // of the stream, -1 when decoding failed (a read failed or was abandoned).
  virtual long decode(int16_t* out, size_t maxFrames) = 0;

  // Moves so that the next decode starts at frame, or as near as the format
  // allows; *landed is the frame it starts at. False on failure.
  virtual bool seek(uint64_t frame, uint64_t* landed) = 0;

 protected:
  virtual VEResult readHeader() = 0;

  int sampleRate_ = 0;
  int channels_ = 0;
  uint64_t lengthFrames_ = 0;
};
