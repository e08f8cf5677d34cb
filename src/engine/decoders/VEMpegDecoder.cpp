#include "VEMpegDecoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "VEFileReader.h"

namespace {
std::once_flag libraryReady;
}

VEMpegDecoder::VEMpegDecoder(VEFileReader* reader, uint64_t start) : reader_(reader), start_(start) {
  // Old versions of the library need this once per process; new ones ignore it.
  std::call_once(libraryReady, [] { mpg123_init(); });
}

VEMpegDecoder::~VEMpegDecoder() {
  if (handle_) {
    mpg123_close(handle_);
    mpg123_delete(handle_);
  }
}

ssize_t VEMpegDecoder::readCallback(void* handle, void* buffer, size_t size) {
  auto* self = static_cast<VEMpegDecoder*>(handle);
  return self->reader_->read(buffer, size);
}

uint64_t VEMpegDecoder::viewSize() const {
  uint64_t size = reader_->fileSize();
  return size > start_ ? size - start_ : 0;
}

// Offsets are the library's, counted from the first frame.
off_t VEMpegDecoder::seekCallback(void* handle, off_t offset, int whence) {
  auto* self = static_cast<VEMpegDecoder*>(handle);
  off_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<off_t>(self->reader_->tell() - self->start_);
  if (whence == SEEK_END) base = static_cast<off_t>(self->viewSize());
  off_t target = base + offset;
  if (target < 0) return -1;
  self->reader_->seek(self->start_ + static_cast<uint64_t>(target));
  return target;
}

VEResult VEMpegDecoder::readHeader() {
  int error = MPG123_OK;
  handle_ = mpg123_new(nullptr, &error);
  if (!handle_) return VE_ERR_INTERNAL;
  // No look at the end of the file at open (for an ID3v1 tag): a stream must
  // start from its first blocks even when its last one has not arrived. The
  // library then takes the stream for unseekable unless told otherwise; its
  // size is given below.
  mpg123_param(
      handle_, MPG123_ADD_FLAGS,
      MPG123_GAPLESS | MPG123_FUZZY | MPG123_QUIET | MPG123_SKIP_ID3V2 | MPG123_NO_PEEK_END | MPG123_FORCE_SEEKABLE,
      0.0);
  // A damaged stretch in mid-file (zeros or garbage where frames were) is
  // searched through to the next frame, however long: it must be a glitch,
  // not the end of the track. The search never reads past the file's end.
  mpg123_param(handle_, MPG123_RESYNC_LIMIT, -1, 0.0);
  // Only 16-bit output, at the stream's own rate and channel count.
  mpg123_format_none(handle_);
  const long* rates = nullptr;
  size_t rateCount = 0;
  mpg123_rates(&rates, &rateCount);
  for (size_t i = 0; i < rateCount; ++i) {
    mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  }
  if (mpg123_replace_reader_handle(handle_, readCallback, seekCallback, nullptr) != MPG123_OK) {
    return VE_ERR_INTERNAL;
  }
  reader_->seek(start_);
  if (mpg123_open_handle(handle_, this) != MPG123_OK) return VE_ERR_FORMAT;
  mpg123_set_filesize(handle_, static_cast<off_t>(viewSize()));

  long rate = 0;
  int channels = 0;
  int encoding = 0;
  if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK) return VE_ERR_FORMAT;
  if (rate <= 0 || channels < 1 || channels > 2) return VE_ERR_FORMAT;
  sampleRate_ = static_cast<int>(rate);
  channels_ = channels;
  off_t length = mpg123_length(handle_);
  lengthFrames_ = length > 0 ? static_cast<uint64_t>(length) : 0;
  return VE_OK;
}

long VEMpegDecoder::decode(int16_t* out, size_t maxFrames) {
  const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(channels_);
  for (;;) {
    size_t done = 0;
    // The library keeps what does not fit for the next call.
    int result = mpg123_read(handle_, reinterpret_cast<unsigned char*>(out), maxFrames * frameBytes, &done);
    if (done > 0) return static_cast<long>(done / frameBytes);
    if (result == MPG123_DONE) return 0;
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0;
      int encoding = 0;
      mpg123_getformat(handle_, &rate, &channels, &encoding);
      // A stream that changes its rate or channels midway ends there.
      if (rate != sampleRate_ || channels != channels_) return 0;
      continue;
    }
    if (result == MPG123_OK) continue;
    return -1;
  }
}

void VEMpegDecoder::indexConstantBitrate() {
  if (indexed_) return;
  indexed_ = true;
  mpg123_frameinfo info{};
  if (mpg123_info(handle_, &info) != MPG123_OK || info.vbr != MPG123_CBR || info.bitrate <= 0) return;
  off_t* known = nullptr;
  off_t step = 0;
  size_t fill = 0;
  if (mpg123_index(handle_, &known, &step, &fill) != MPG123_OK || fill == 0) return;
  // The table of contents of an Info tag holds 100 points at 1/256 of the
  // file each: far too coarse. Every frame of a constant bitrate has the same
  // size up to one padding byte, so its offset follows from the bitrate;
  // starting two bytes early lets the parser find the frame's own header.
  off_t start = known[0];
  double frameBytes = double(mpg123_spf(handle_)) / 8.0 * info.bitrate * 1000.0 / double(info.rate);
  if (frameBytes < 16 || off_t(viewSize()) <= start) return;
  size_t frames = static_cast<size_t>(double(off_t(viewSize()) - start) / frameBytes) + 1;
  std::vector<off_t> offsets(frames);
  for (size_t k = 0; k < frames; ++k) {
    offsets[k] = std::max(start, start + static_cast<off_t>(double(k) * frameBytes) - 2);
  }
  mpg123_set_index(handle_, offsets.data(), 1, frames);
}

bool VEMpegDecoder::seek(uint64_t frame, uint64_t* landed) {
  indexConstantBitrate();
  off_t result = mpg123_seek(handle_, static_cast<off_t>(frame), SEEK_SET);
  if (result < 0) return false;
  *landed = static_cast<uint64_t>(result);
  return true;
}
