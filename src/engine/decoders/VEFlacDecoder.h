// FLAC through libFLAC's stream decoder. Seeks use the seek table or libFLAC's
// bisection over the file, and land on the exact frame asked for.
#pragma once

#include <FLAC/stream_decoder.h>

#include <vector>

#include "VEDecoder.h"

class VEFlacDecoder : public VEDecoder {
 public:
  explicit VEFlacDecoder(VEFileReader* reader);
  ~VEFlacDecoder() override;

  long decode(int16_t* out, size_t maxFrames) override;
  bool seek(uint64_t frame, uint64_t* landed) override;

 protected:
  VEResult readHeader() override;

 private:
  static FLAC__StreamDecoderReadStatus readCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                                    void* client);
  static FLAC__StreamDecoderSeekStatus seekCallback(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client);
  static FLAC__StreamDecoderTellStatus tellCallback(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client);
  static FLAC__StreamDecoderLengthStatus lengthCallback(const FLAC__StreamDecoder*, FLAC__uint64* length, void* client);
  static FLAC__bool eofCallback(const FLAC__StreamDecoder*, void* client);
  static FLAC__StreamDecoderWriteStatus writeCallback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                      const FLAC__int32* const buffer[], void* client);
  static void metadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client);
  // Interleaves frames [from, to) of a decoded block as 16-bit samples.
  static void convert(const FLAC__int32* const buffer[], unsigned channels, size_t from, size_t to, int shift,
                      int16_t* out);
  static void errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*);

  VEFileReader* reader_;
  FLAC__StreamDecoder* decoder_ = nullptr;
  bool haveInfo_ = false;
  int bitsPerSample_ = 16;
  // Where libFLAC's write callback puts its frame during decode: straight
  // into the caller's buffer, and what does not fit into pending_.
  int16_t* target_ = nullptr;
  size_t targetFrames_ = 0;
  size_t written_ = 0;
  std::vector<int16_t> pending_;  // frames written by libFLAC, not yet handed out
  size_t pendingOffset_ = 0;      // samples of pending_ already handed out
};
