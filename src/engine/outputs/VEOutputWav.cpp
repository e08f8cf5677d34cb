#include "VEOutputWav.h"

#include <cstdlib>
#include <cstring>

namespace {
void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
// The data size field is 32 bits: a longer recording keeps the largest size.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;
}  // namespace

VEOutputWav::VEOutputWav(std::string path, bool realTime) : path_(std::move(path)), realTime_(realTime) {}

std::string VEOutputWav::path() const {
  if (!path_.empty()) return path_;
  const char* variable = getenv(VE_WAVWRITER_PATH_VARIABLE);
  return variable ? variable : "";
}

bool VEOutputWav::listDrivers(std::vector<VEOutputDriver>* drivers) {
  drivers->push_back(VEOutputDriver{"WAV file", path(), driverId("wavwriter")});
  return true;
}

void VEOutputWav::writeHeader(uint32_t dataBytes) {
  unsigned char header[44];
  memcpy(header, "RIFF", 4);
  put32(header + 4, 36 + dataBytes);
  memcpy(header + 8, "WAVEfmt ", 8);
  put32(header + 16, 16);
  put16(header + 20, 1);  // PCM
  put16(header + 22, 2);
  put32(header + 24, static_cast<uint32_t>(sampleRate_));
  put32(header + 28, static_cast<uint32_t>(sampleRate_) * 4);
  put16(header + 32, 4);
  put16(header + 34, 16);
  memcpy(header + 36, "data", 4);
  put32(header + 40, dataBytes);
  fseek(file_, 0, SEEK_SET);
  fwrite(header, 1, sizeof header, file_);
  fseek(file_, 0, SEEK_END);
}

VEResult VEOutputWav::open(const VEOutputDriver&, int sampleRate, VEMixSource* source) {
  std::string file = path();
  if (file.empty()) return VE_ERR_OUTPUT_INIT;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = fopen(file.c_str(), "wb");
    if (!file_) return VE_ERR_OUTPUT_INIT;
    sampleRate_ = sampleRate;
    dataBytes_ = 0;
    writeHeader(0);
  }
  if (!realTime_) return VE_OK;
  bool started =
      puller_.start(source, sampleRate, [this](const int16_t* frames, size_t count) { write(frames, count); });
  if (!started) {
    close();
    return VE_ERR_OUTPUT_INIT;
  }
  return VE_OK;
}

void VEOutputWav::write(const int16_t* frames, size_t frameCount) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  // The file holds little-endian samples, as this machine does.
  fwrite(frames, sizeof(int16_t) * 2, frameCount, file_);
  dataBytes_ += frameCount * 4;
}

void VEOutputWav::close() {
  puller_.stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  writeHeader(static_cast<uint32_t>(std::min(dataBytes_, kMaxDataBytes)));
  fclose(file_);
  file_ = nullptr;
}
