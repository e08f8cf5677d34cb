#include "VEOutputAlsa.h"

#include <alsa/asoundlib.h>

#include <cstring>
#include <vector>

namespace {
// Device latency asked of ALSA; the mixer adds its own buffer ahead of it.
constexpr unsigned int kLatencyMicroseconds = 50000;
// The writer waits for room in the device a slice at a time, so that close
// never waits on a device that takes no data (a sound server that holds its
// stream back, a suspended sink).
constexpr int kWaitSliceMilliseconds = 20;

// ALSA prints its own complaints on stderr; the engine reports codes instead.
void quietErrors(const char*, int, const char*, int, const char*, ...) {}

// The devices a user can play to: "default", the devices of the sound cards
// (their names carry "CARD="), and the bridges to the sound servers. ALSA's
// configuration also names plugins that stand on no card (rate converters,
// up- and down-mixers, DSP, JACK, OSS) and "null", which plays nothing:
// choosing one of those would give silence or a device that never opens.
bool offeredDevice(const std::string& name) {
  return name == "default" || name == "pulse" || name == "pipewire" || name.find("CARD=") != std::string::npos;
}

// Opens and closes name for playback without waiting for a busy device.
bool opens(const std::string& name) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

}  // namespace

bool VEOutputAlsa::listDrivers(std::vector<VEOutputDriver>* drivers) {
  snd_lib_error_set_handler(quietErrors);
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return false;
  // "default" always exists in ALSA's configuration, listed or not.
  std::vector<VEOutputDriver> found = {VEOutputDriver{"Default ALSA device", "default", driverId("default")}};
  for (void** hint = hints; *hint; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* description = snd_device_name_get_hint(*hint, "DESC");
    char* direction = snd_device_name_get_hint(*hint, "IOID");
    bool output = !direction || strcmp(direction, "Output") == 0;
    if (name && output && offeredDevice(name)) {
      std::string label = description ? description : name;
      size_t newline = label.find('\n');
      if (newline != std::string::npos) label = label.substr(0, newline) + " (" + name + ")";
      VEOutputDriver driver{label, name, driverId(name)};
      if (strcmp(name, "default") == 0) {
        found.front() = driver;
      } else {
        found.push_back(driver);
      }
    }
    free(name);
    free(description);
    free(direction);
  }
  snd_device_name_free_hint(hints);
  for (const VEOutputDriver& driver : found) {
    if (opens(driver.device)) drivers->push_back(driver);
  }
  return true;
}

VEResult VEOutputAlsa::open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) {
  close();
  snd_lib_error_set_handler(quietErrors);
  std::string device = driver.device.empty() ? "default" : driver.device;
  // Non-blocking: a busy device fails at once, and no write waits for room.
  if (snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    pcm_ = nullptr;
    return VE_ERR_OUTPUT_INIT;
  }
  if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                         static_cast<unsigned int>(sampleRate), 1, kLatencyMicroseconds) < 0) {
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    return VE_ERR_OUTPUT_INIT;
  }
  snd_pcm_uframes_t bufferSize = 0;
  snd_pcm_uframes_t periodSize = 0;
  snd_pcm_get_params(pcm_, &bufferSize, &periodSize);
  size_t period = periodSize > 0 ? periodSize : static_cast<size_t>(sampleRate) / 100;
  stop_ = false;
  lost_ = false;
  try {
    thread_ = std::thread([this, source, period] { run(source, period); });
  } catch (...) {
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    return VE_ERR_OUTPUT_INIT;
  }
  return VE_OK;
}

void VEOutputAlsa::run(VEMixSource* source, size_t periodFrames) {
  std::vector<int16_t> frames(periodFrames * 2);
  while (!stop_) {
    source->render(frames.data(), periodFrames);
    size_t done = 0;
    while (done < periodFrames && !stop_) {
      snd_pcm_sframes_t written = snd_pcm_writei(pcm_, frames.data() + done * 2, periodFrames - done);
      if (written == -EAGAIN) {
        // No room yet: look again once there is, or after a slice.
        const int waited = snd_pcm_wait(pcm_, kWaitSliceMilliseconds);
        if (waited >= 0) continue;
        written = waited;
      }
      if (written < 0) {
        // An underrun or a suspend: recover and go on; anything else ends it.
        if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) {
          lost_ = true;
          return;
        }
        continue;
      }
      done += static_cast<size_t>(written);
    }
  }
}

void VEOutputAlsa::close() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (pcm_) {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }
}
