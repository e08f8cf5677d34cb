#include "VEOutputAlsa.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace {
// Device latency asked of ALSA; the mixer adds its own buffer ahead of it.
constexpr unsigned int kLatencyMicroseconds = 50000;
// How long an open may take before the device counts as not opening. The
// bridges to a sound server wait up to 30 s for a server that takes the
// connection but never answers (stopped, or socket-activated and stuck),
// while a device that answers at all does so within milliseconds.
constexpr auto kOpenTimeout = std::chrono::milliseconds(500);
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

// One open of a PCM for playback, on a thread of its own so that the caller
// can stop waiting for it: an open that comes after the caller gave up is
// closed by its thread. Non-blocking: a busy device fails at once, and no
// write of the PCM waits for room.
class PcmOpen {
 public:
  // Starts opening name; null when no thread could start.
  static std::shared_ptr<PcmOpen> start(const std::string& name) {
    auto open = std::make_shared<PcmOpen>();
    try {
      std::thread(run, open, name).detach();
    } catch (const std::system_error&) {
      return nullptr;
    }
    return open;
  }

  // The open PCM, now the caller's; null when the open failed or had not
  // ended by deadline.
  snd_pcm_t* take(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ended_.wait_until(lock, deadline, [this] { return done_; })) {
      abandoned_ = true;
      return nullptr;
    }
    snd_pcm_t* pcm = pcm_;
    pcm_ = nullptr;
    return pcm;
  }

 private:
  static void run(std::shared_ptr<PcmOpen> self, std::string name) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) pcm = nullptr;
    bool abandoned = false;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      abandoned = self->abandoned_;
      if (!abandoned) self->pcm_ = pcm;
      self->done_ = true;
    }
    self->ended_.notify_all();
    if (abandoned && pcm) snd_pcm_close(pcm);
  }

  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  bool abandoned_ = false;
  snd_pcm_t* pcm_ = nullptr;
};

// Opens each of names at once and waits for them at most kOpenTimeout in
// all; the PCMs that opened in time, by index, null for the others.
std::vector<snd_pcm_t*> openWithinTimeout(const std::vector<std::string>& names) {
  std::vector<std::shared_ptr<PcmOpen>> opens;
  for (const std::string& name : names) opens.push_back(PcmOpen::start(name));
  const auto deadline = std::chrono::steady_clock::now() + kOpenTimeout;
  std::vector<snd_pcm_t*> pcms;
  for (const std::shared_ptr<PcmOpen>& open : opens) pcms.push_back(open ? open->take(deadline) : nullptr);
  return pcms;
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
  std::vector<std::string> names;
  for (const VEOutputDriver& driver : found) names.push_back(driver.device);
  const std::vector<snd_pcm_t*> pcms = openWithinTimeout(names);
  for (size_t index = 0; index < found.size(); ++index) {
    if (!pcms[index]) continue;
    snd_pcm_close(pcms[index]);
    drivers->push_back(found[index]);
  }
  return true;
}

VEResult VEOutputAlsa::open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) {
  close();
  snd_lib_error_set_handler(quietErrors);
  std::string device = driver.device.empty() ? "default" : driver.device;
  pcm_ = openWithinTimeout({device}).front();
  if (!pcm_) return VE_ERR_OUTPUT_INIT;
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
