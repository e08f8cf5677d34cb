#include "VEOutputAlsa.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
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

// The devices whose open a caller gave up on and that still wait (a bridge
// to a sound server that does not answer waits 30 s): another open of one of
// them would wait on the same server, so none is started until the first
// ended, and looks repeated every few seconds do not pile up threads. Never
// destroyed: an open given up on may end while the process exits.
class AbandonedOpens {
 public:
  static AbandonedOpens& instance() {
    static AbandonedOpens* opens = new AbandonedOpens;
    return *opens;
  }
  bool waiting(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_.count(name) > 0;
  }
  void add(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++names_[name];
  }
  void remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--names_[name] <= 0) names_.erase(name);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, int> names_;
};

// What an open for playback sets on the PCM before handing it over; a rate
// of 0 sets nothing (a listing only looks whether the device opens).
struct PcmParams {
  unsigned int rate = 0;
  snd_pcm_uframes_t periodFrames = 0;  // set by the open: the period ALSA chose
};

// One open of a PCM for playback, on a thread of its own so that the caller
// can stop waiting for it: an open that comes after the caller gave up is
// closed by its thread. Non-blocking: a busy device fails at once, and no
// write of the PCM waits for room. Setting the parameters runs on that thread
// too: on a bridge to a sound server it creates the server's stream and waits
// for its answer (30 s for a server that answered the connection and then
// stopped answering).
class PcmOpen {
 public:
  // Starts opening name (and setting params, when they have a rate); null
  // when no thread could start, or while an earlier open of name that was
  // given up on still waits.
  static std::shared_ptr<PcmOpen> start(const std::string& name, const PcmParams& params = PcmParams()) {
    if (AbandonedOpens::instance().waiting(name)) return nullptr;
    auto open = std::make_shared<PcmOpen>();
    open->name_ = name;
    open->params_ = params;
    try {
      std::thread(run, open).detach();
    } catch (const std::system_error&) {
      return nullptr;
    }
    return open;
  }

  // The open PCM, now the caller's; null when the open failed or had not
  // ended by deadline. params: the parameters as set, when given.
  snd_pcm_t* take(std::chrono::steady_clock::time_point deadline, PcmParams* params = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ended_.wait_until(lock, deadline, [this] { return done_; })) {
      abandoned_ = true;
      AbandonedOpens::instance().add(name_);
      return nullptr;
    }
    snd_pcm_t* pcm = pcm_;
    pcm_ = nullptr;
    if (params) *params = params_;
    return pcm;
  }

 private:
  static void run(std::shared_ptr<PcmOpen> self) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, self->name_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) pcm = nullptr;
    PcmParams params = self->params_;
    if (pcm && params.rate > 0 && !configure(pcm, &params)) {
      snd_pcm_close(pcm);
      pcm = nullptr;
    }
    bool abandoned = false;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      abandoned = self->abandoned_;
      if (!abandoned) {
        self->pcm_ = pcm;
        self->params_ = params;
      }
      self->done_ = true;
    }
    self->ended_.notify_all();
    if (!abandoned) return;
    if (pcm) {
      snd_pcm_drop(pcm);
      snd_pcm_close(pcm);
    }
    AbandonedOpens::instance().remove(self->name_);
  }

  // Signed 16-bit interleaved stereo at params' rate; the period chosen goes
  // back into params.
  static bool configure(snd_pcm_t* pcm, PcmParams* params) {
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, params->rate, 1,
                           kLatencyMicroseconds) < 0)
      return false;
    snd_pcm_uframes_t bufferSize = 0;
    snd_pcm_get_params(pcm, &bufferSize, &params->periodFrames);
    return true;
  }

  std::string name_;
  PcmParams params_;
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

// Drops and closes pcm on a thread of its own, waiting for that at most
// kOpenTimeout: a bridge to a sound server that stopped answering waits 30 s
// for each. A close that takes longer ends on its thread.
void closeWithinTimeout(snd_pcm_t* pcm) {
  auto closed = std::make_shared<std::promise<void>>();
  std::future<void> done = closed->get_future();
  try {
    std::thread([pcm, closed] {
      snd_pcm_drop(pcm);
      snd_pcm_close(pcm);
      closed->set_value();
    }).detach();
  } catch (const std::system_error&) {
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
    return;
  }
  done.wait_for(kOpenTimeout);
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

// The writer thread's state. It renders only under mutex, so that once close
// has set stopped the source is never called again, whether or not close
// then waits for the writer to end.
struct VEOutputAlsa::Writer {
  snd_pcm_t* pcm = nullptr;
  VEMixSource* source = nullptr;
  size_t periodFrames = 0;
  std::atomic<bool> lost{false};
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;       // under mutex: the writer ended
  bool abandoned = false;  // under mutex: close stopped waiting, the PCM is the writer's to close

  // Renders the next period; false once close stopped the writer.
  bool render(int16_t* frames) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopped) return false;
    source->render(frames, periodFrames);
    return true;
  }

  // Writes one period; false when the device is gone.
  bool write(const int16_t* frames) {
    size_t written = 0;
    while (written < periodFrames && !stopped) {
      snd_pcm_sframes_t count = snd_pcm_writei(pcm, frames + written * 2, periodFrames - written);
      if (count == -EAGAIN) {
        // No room yet: look again once there is, or after a slice.
        const int waited = snd_pcm_wait(pcm, kWaitSliceMilliseconds);
        if (waited >= 0) continue;
        count = waited;
      }
      if (count < 0) {
        // An underrun or a suspend: recover and go on; anything else ends it.
        if (snd_pcm_recover(pcm, static_cast<int>(count), 1) < 0) {
          lost = true;
          return false;
        }
        continue;
      }
      written += static_cast<size_t>(count);
    }
    return true;
  }

  void end() {
    bool closeHere = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      closeHere = abandoned;
    }
    ended.notify_all();
    if (closeHere) {
      snd_pcm_drop(pcm);
      snd_pcm_close(pcm);
    }
  }
};

VEResult VEOutputAlsa::open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) {
  close();
  snd_lib_error_set_handler(quietErrors);
  std::string device = driver.device.empty() ? "default" : driver.device;
  PcmParams params;
  params.rate = static_cast<unsigned int>(sampleRate);
  std::shared_ptr<PcmOpen> opening = PcmOpen::start(device, params);
  snd_pcm_t* pcm = opening ? opening->take(std::chrono::steady_clock::now() + kOpenTimeout, &params) : nullptr;
  if (!pcm) return VE_ERR_OUTPUT_INIT;
  const snd_pcm_uframes_t periodSize = params.periodFrames;
  auto writer = std::make_shared<Writer>();
  writer->pcm = pcm;
  writer->source = source;
  writer->periodFrames = periodSize > 0 ? periodSize : static_cast<size_t>(sampleRate) / 100;
  try {
    std::thread(run, writer).detach();
  } catch (const std::system_error&) {
    closeWithinTimeout(pcm);
    return VE_ERR_OUTPUT_INIT;
  }
  writer_ = writer;
  return VE_OK;
}

void VEOutputAlsa::run(std::shared_ptr<Writer> writer) {
  std::vector<int16_t> frames(writer->periodFrames * 2);
  while (writer->render(frames.data()) && writer->write(frames.data())) {
  }
  writer->end();
}

bool VEOutputAlsa::lost() const {
  return writer_ && writer_->lost;
}

void VEOutputAlsa::close() {
  std::shared_ptr<Writer> writer = std::move(writer_);
  writer_.reset();
  if (!writer) return;
  std::unique_lock<std::mutex> lock(writer->mutex);
  writer->stopped = true;
  if (!writer->ended.wait_for(lock, kOpenTimeout, [&] { return writer->done; })) {
    writer->abandoned = true;
    return;
  }
  lock.unlock();
  closeWithinTimeout(writer->pcm);
}
