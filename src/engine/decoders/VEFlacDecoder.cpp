#include "VEFlacDecoder.h"

#include <algorithm>

#include "VEFileReader.h"

VEFlacDecoder::VEFlacDecoder(VEFileReader* reader) : reader_(reader) {}

VEFlacDecoder::~VEFlacDecoder() {
  if (decoder_) {
    FLAC__stream_decoder_finish(decoder_);
    FLAC__stream_decoder_delete(decoder_);
  }
}

VEResult VEFlacDecoder::readHeader() {
  decoder_ = FLAC__stream_decoder_new();
  if (!decoder_) return VE_ERR_INTERNAL;
  FLAC__stream_decoder_set_md5_checking(decoder_, false);
  FLAC__StreamDecoderInitStatus status =
      FLAC__stream_decoder_init_stream(decoder_, readCallback, seekCallback, tellCallback, lengthCallback, eofCallback,
                                       writeCallback, metadataCallback, errorCallback, this);
  if (status != FLAC__STREAM_DECODER_INIT_STATUS_OK) return VE_ERR_INTERNAL;
  if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || !haveInfo_) {
    return VE_ERR_FORMAT;
  }
  if (channels_ < 1 || channels_ > 2 || sampleRate_ <= 0) return VE_ERR_FORMAT;
  return VE_OK;
}

long VEFlacDecoder::decode(int16_t* out, size_t maxFrames) {
  const size_t channels = static_cast<size_t>(channels_);
  if (pendingOffset_ < pending_.size()) {
    size_t count = std::min(maxFrames * channels, pending_.size() - pendingOffset_);
    std::copy_n(pending_.data() + pendingOffset_, count, out);
    pendingOffset_ += count;
    return static_cast<long>(count / channels);
  }
  pending_.clear();
  pendingOffset_ = 0;
  target_ = out;
  targetFrames_ = maxFrames;
  written_ = 0;
  bool ok = true;
  // A call may decode only metadata or skip a damaged frame: go on until a
  // frame has come out.
  while (written_ == 0 && pending_.empty()) {
    if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_END_OF_STREAM) break;
    if (!FLAC__stream_decoder_process_single(decoder_)) {
      ok = false;
      break;
    }
  }
  target_ = nullptr;
  if (written_ == 0 && !ok) return -1;
  return static_cast<long>(written_);
}

bool VEFlacDecoder::seek(uint64_t frame, uint64_t* landed) {
  pending_.clear();
  pendingOffset_ = 0;
  // A read abandoned midway leaves the decoder aborted; a flush revives it.
  FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_);
  if (state == FLAC__STREAM_DECODER_ABORTED || state == FLAC__STREAM_DECODER_SEEK_ERROR) {
    FLAC__stream_decoder_flush(decoder_);
  }
  if (!FLAC__stream_decoder_seek_absolute(decoder_, frame)) {
    if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_SEEK_ERROR) {
      FLAC__stream_decoder_flush(decoder_);
    }
    pending_.clear();
    pendingOffset_ = 0;
    return false;
  }
  *landed = frame;
  return true;
}

FLAC__StreamDecoderReadStatus VEFlacDecoder::readCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                                          size_t* bytes, void* client) {
  auto* self = static_cast<VEFlacDecoder*>(client);
  long n = self->reader_->read(buffer, *bytes);
  if (n < 0) {
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  *bytes = static_cast<size_t>(n);
  return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus VEFlacDecoder::seekCallback(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                                          void* client) {
  auto* self = static_cast<VEFlacDecoder*>(client);
  if (offset > self->reader_->fileSize()) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
  self->reader_->seek(offset);
  return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus VEFlacDecoder::tellCallback(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                                          void* client) {
  *offset = static_cast<VEFlacDecoder*>(client)->reader_->tell();
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus VEFlacDecoder::lengthCallback(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                              void* client) {
  *length = static_cast<VEFlacDecoder*>(client)->reader_->fileSize();
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool VEFlacDecoder::eofCallback(const FLAC__StreamDecoder*, void* client) {
  return static_cast<VEFlacDecoder*>(client)->reader_->atEnd();
}

FLAC__StreamDecoderWriteStatus VEFlacDecoder::writeCallback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                            const FLAC__int32* const buffer[], void* client) {
  auto* self = static_cast<VEFlacDecoder*>(client);
  unsigned channels = frame->header.channels;
  if (static_cast<int>(channels) != self->channels_) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  int shift = static_cast<int>(frame->header.bits_per_sample) - 16;
  size_t frames = frame->header.blocksize;
  // Outside decode (a seek decodes the frame it lands in) everything waits.
  size_t direct = self->target_ ? std::min(frames, self->targetFrames_ - self->written_) : 0;
  if (direct > 0) {
    convert(buffer, channels, 0, direct, shift, self->target_ + self->written_ * channels);
    self->written_ += direct;
  }
  if (direct < frames) {
    size_t base = self->pending_.size();
    self->pending_.resize(base + (frames - direct) * channels);
    convert(buffer, channels, direct, frames, shift, self->pending_.data() + base);
  }
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void VEFlacDecoder::convert(const FLAC__int32* const buffer[], unsigned channels, size_t from, size_t to, int shift,
                            int16_t* out) {
  // Wider samples keep their top 16 bits; narrower ones are scaled up.
  if (channels == 2 && shift == 0) {
    const FLAC__int32* left = buffer[0];
    const FLAC__int32* right = buffer[1];
    for (size_t i = from; i < to; ++i) {
      *out++ = static_cast<int16_t>(left[i]);
      *out++ = static_cast<int16_t>(right[i]);
    }
    return;
  }
  for (size_t i = from; i < to; ++i) {
    for (unsigned c = 0; c < channels; ++c) {
      FLAC__int32 s = buffer[c][i];
      *out++ = static_cast<int16_t>(shift >= 0 ? (s >> shift) : (s * (1 << -shift)));
    }
  }
}

void VEFlacDecoder::metadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  auto* self = static_cast<VEFlacDecoder*>(client);
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  self->haveInfo_ = true;
  self->sampleRate_ = static_cast<int>(info.sample_rate);
  self->channels_ = static_cast<int>(info.channels);
  self->bitsPerSample_ = static_cast<int>(info.bits_per_sample);
  self->lengthFrames_ = info.total_samples;
}

void VEFlacDecoder::errorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {
  // libFLAC resynchronises by itself after a damaged frame; nothing to keep.
}
