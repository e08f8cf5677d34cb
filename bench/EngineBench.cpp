// Audio engine figures, each beside a baseline measured in the same run:
// 1. CPU time to decode and mix a 10-minute MP3 (lame -V 2 and 320 kbps CBR)
//    and FLAC (flac -5) in non-real-time mode, beside `mpg123 -t` and
//    `flac -t` decoding the same files; the signal is pink noise with tones,
//    which, unlike a pure tone, keeps every band busy as music does; also
//    48 and 96 kHz FLAC and 48 kHz MP3, played alone (the output follows the
//    source's rate) and joined behind a 44.1 kHz track (converted), the
//    latter also beside the reference decoder piped through sox's `rate`;
// 1b. the conversion error of 48 and 96 kHz tones converted to 44.1 kHz,
//    against the same tones made at 44.1 kHz, beside sox's default `rate`
//    (one tone high in the passband);
// 2. the gap in samples between consecutive tracks (target 0), in the
//    non-real-time and the real-time WAV writer;
// 3. the time from unpausing a prepared sound to its first non-silent sample
//    at the real-time WAV writer, over unpauses spread across the writer's
//    pull period, beside the wait for the writer's next pull in the same
//    trials (and libmpg123's own time to decode the first frame from memory).
//
// Usage: engine_bench [minutes]   (default 10)

#include <mpg123.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VEChannel.h"
#include "VESound.h"
#include "VESampleRateConverter.h"
#include "VESystem.h"

namespace {

typedef std::chrono::steady_clock Clock;

std::string dir;

std::string run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "engine_bench: failed: %s\n", command.c_str());
    std::exit(1);
  }
  return command;
}

std::vector<uint8_t> readFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<int16_t> wavSamples(const std::string& file) {
  std::vector<uint8_t> b = readFile(file);
  for (size_t at = 12; at + 8 <= b.size();) {
    uint32_t size =
        uint32_t(b[at + 4]) | uint32_t(b[at + 5]) << 8 | uint32_t(b[at + 6]) << 16 | uint32_t(b[at + 7]) << 24;
    if (memcmp(&b[at], "data", 4) == 0) {
      size_t end = std::min(b.size(), at + 8 + size_t(size));
      std::vector<int16_t> samples((end - at - 8) / 2);
      if (!samples.empty()) memcpy(samples.data(), &b[at + 8], samples.size() * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of a child command (user + system).
double childCpu(const std::string& command) {
  double before = cpuSeconds(RUSAGE_CHILDREN);
  run(command);
  return cpuSeconds(RUSAGE_CHILDREN) - before;
}

// ---- files served from memory, answered at once (a worker with everything cached)

std::mutex filesMutex;
std::map<std::string, std::shared_ptr<std::vector<uint8_t>>> files;

VEResult openFile(const char* name, unsigned int* size, void** handle, void** userData) {
  std::lock_guard<std::mutex> lock(filesMutex);
  auto it = files.find(name);
  if (it == files.end()) return VE_ERR_FILE_NOTFOUND;
  *size = static_cast<unsigned int>(it->second->size());
  *handle = it->second.get();
  *userData = nullptr;
  return VE_OK;
}
VEResult closeFile(void*, void*) {
  return VE_OK;
}
VEResult readFileAsync(VEReadRequest* request, void*) {
  auto* bytes = static_cast<std::vector<uint8_t>*>(request->handle);
  uint64_t count = 0;
  if (request->offset < bytes->size()) count = std::min<uint64_t>(request->sizeBytes, bytes->size() - request->offset);
  if (count) memcpy(request->buffer, bytes->data() + request->offset, count);
  request->bytesRead = static_cast<unsigned int>(count);
  request->result.store(count < request->sizeBytes ? VE_ERR_FILE_EOF : VE_OK);
  return VE_OK;
}

VESystem* makeSystem(VEOutputType type, const std::string& wav = "") {
  VESystem* system = nullptr;
  VESystem::create(&system);
  system->setSoftwareFormat(44100, VE_SOUND_FORMAT_PCM16, 2, 2, VE_RESAMPLER_SPLINE);
  system->setOutput(type);
  system->setFileSystem(openFile, closeFile, readFileAsync, 4096);
  system->setStreamBufferSize(65536, VE_TIMEUNIT_RAWBYTES);
  if (system->init(8, 0, wav.empty() ? nullptr : const_cast<char*>(wav.c_str())) != VE_OK) {
    std::fprintf(stderr, "engine_bench: cannot open the output\n");
    std::exit(1);
  }
  return system;
}

VESound* openSound(VESystem* system, const std::string& name) {
  VESound* sound = nullptr;
  system->createStream(name.c_str(), VE_MODE_NONBLOCKING, &sound);
  VEOpenState state = VE_OPENSTATE_LOADING;
  while (state == VE_OPENSTATE_LOADING) {
    system->update();
    sound->getOpenState(&state, nullptr, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (state != VE_OPENSTATE_READY) {
    std::fprintf(stderr, "engine_bench: %s did not open\n", name.c_str());
    std::exit(1);
  }
  return sound;
}

std::atomic<int> endCount{0};
VEChannel* startOnEnd = nullptr;
VEResult onEnd(VEChannel*, VEChannelCallbackType, void*, void*) {
  ++endCount;
  if (startOnEnd) startOnEnd->setPaused(false);
  startOnEnd = nullptr;
  return VE_OK;
}

void add(const std::string& name, const std::string& file) {
  std::lock_guard<std::mutex> lock(filesMutex);
  files[name] = std::make_shared<std::vector<uint8_t>>(readFile(file));
}

// ---- 1. decode and mix

// Plays name on channel 0 until its end callback.
void playToEnd(VESystem* system, const std::string& name) {
  VESound* sound = openSound(system, name);
  VEChannel* channel = nullptr;
  system->playSound(0, sound, false, &channel);
  channel->setCallback(onEnd);
  int ends = endCount;
  while (endCount == ends) system->update();
}

// With behind set, a paused 44.1 kHz sound waits on another channel, so the
// track joins a timeline at 44.1 kHz and is converted (unless it is at
// 44.1 kHz itself).
double engineCpu(const std::string& name, bool behind = false) {
  VESystem* system = makeSystem(VE_OUTPUTTYPE_NOSOUND_NRT);
  double before = cpuSeconds(RUSAGE_SELF);
  if (behind) system->playSound(1, openSound(system, "held"), true, nullptr);
  playToEnd(system, name);
  double spent = cpuSeconds(RUSAGE_SELF) - before;
  system->release();
  return spent;
}

// CPU time of the engine's converter alone (the same libsoxr recipe the
// engine uses) turning decoded samples at rate into 44.1 kHz, in the steps
// a stream takes: 4096 source frames in, up to a quarter of its ring out.
double converterCpu(const std::vector<int16_t>& samples, int rate) {
  VESampleRateConverter converter(VE_RESAMPLER_SPLINE, rate, 44100);
  std::vector<int16_t> out(4410 * 2);
  size_t frames = samples.size() / 2, at = 0;
  double before = cpuSeconds(RUSAGE_SELF);
  for (;;) {
    size_t take = std::min<size_t>(4096, frames - at);
    size_t used = 0;
    long written = converter.process(take ? samples.data() + at * 2 : nullptr, take, &used, out.data(), 4410);
    at += used;
    if (written < 0 || (take == 0 && written == 0)) break;
  }
  return cpuSeconds(RUSAGE_SELF) - before;
}

// CPU time per second of real-time playback on the no-sound output, updated
// every 10 ms as the client's worker does; an empty name plays nothing.
double realTimeCpuPerSecond(const std::string& name, bool behind, int seconds) {
  VESystem* system = makeSystem(VE_OUTPUTTYPE_NOSOUND);
  if (behind) system->playSound(1, openSound(system, "held"), true, nullptr);
  if (!name.empty()) system->playSound(0, openSound(system, name), false, nullptr);
  double before = cpuSeconds(RUSAGE_SELF);
  Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  double spent = cpuSeconds(RUSAGE_SELF) - before;
  system->release();
  return spent / seconds;
}

// ---- 1b. conversion error

// Error of out against ideal in dB below ideal's level, over the frames both
// have, leaving out a tenth of a second at each end.
double errorDb(const std::vector<int16_t>& out, const std::vector<int16_t>& ideal) {
  size_t n = std::min(out.size(), ideal.size());
  size_t edge = 4410 * 2;
  double signal = 0, error = 0;
  for (size_t i = edge; i + edge < n; ++i) {
    signal += double(ideal[i]) * ideal[i];
    error += (double(out[i]) - ideal[i]) * (double(out[i]) - ideal[i]);
  }
  return 10 * std::log10(signal / std::max(error, 1e-9));
}

std::vector<int16_t> engineConverted(const std::string& name, const std::string& wav) {
  VESystem* system = makeSystem(VE_OUTPUTTYPE_WAVWRITER_NRT, wav);
  playToEnd(system, name);
  system->release();
  return wavSamples(wav);
}

// ---- 2. gaps

// Frames between the end of a in out and the start of b right after it;
// 0 is a perfect join, negative an overlap. A large value means not found.
long gapFrames(const std::vector<int16_t>& out, const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  auto at = std::search(out.begin(), out.end(), a.end() - 2048, a.end());
  if (at == out.end()) return 1 << 30;
  size_t aEnd = size_t(at - out.begin()) + 2048;
  auto bAt = std::search(out.begin() + long(aEnd) - 4096, out.end(), b.begin(), b.begin() + 2048);
  if (bAt == out.end()) return 1 << 30;
  return (long(bAt - out.begin()) - long(aEnd)) / 2;
}

long chainGap(VEOutputType type, const std::string& wav, const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  VESystem* system = makeSystem(type, wav);
  VESound* first = openSound(system, "gap-a");
  VESound* second = openSound(system, "gap-b");
  VEChannel* channelA = nullptr;
  VEChannel* channelB = nullptr;
  system->playSound(1, second, true, &channelB);
  system->playSound(0, first, false, &channelA);
  channelA->setCallback(onEnd);
  channelB->setCallback(onEnd);
  startOnEnd = channelB;
  int ends = endCount;
  bool realTime = type == VE_OUTPUTTYPE_WAVWRITER;
  while (endCount < ends + 2) {
    system->update();
    if (realTime) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int i = 0; realTime && i < 40; ++i) {
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  system->release();
  return gapFrames(wavSamples(wav), a, b);
}

// ---- 3. latency

// One unpause of a prepared sound at the real-time WAV writer, waitMs after
// its silence started flowing. The writer takes 10 ms of frames at a time on
// a steady schedule from its open on, so a frame's place in the file tells
// when it was taken, and no sound can be taken before the first pull after
// the unpause: that wait is the floor.
struct Latency {
  double ms;       // unpause to the first non-silent sample
  double floorMs;  // unpause to the writer's next pull
};

Latency firstSoundLatency(const std::string& wav, int waitMs) {
  VESystem* system = makeSystem(VE_OUTPUTTYPE_WAVWRITER, wav);
  Clock::time_point opened = Clock::now();
  VESound* sound = openSound(system, "latency");
  VEChannel* channel = nullptr;
  system->playSound(0, sound, true, &channel);
  for (int i = 0; i < 30; ++i) {  // decoded and waiting, silence flowing
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  // Not right at a pull: whether that pull came just before or just after
  // the unpause is beyond what the clock here can tell.
  auto phaseMs = [&] {
    return std::fmod(std::chrono::duration<double, std::milli>(Clock::now() - opened).count(), 10.0);
  };
  while (phaseMs() < 0.3 || phaseMs() > 9.7) std::this_thread::sleep_for(std::chrono::microseconds(100));
  Clock::time_point unpaused = Clock::now();
  channel->setPaused(false);
  for (int i = 0; i < 20; ++i) {
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  system->release();
  std::vector<int16_t> samples = wavSamples(wav);
  auto first = std::find_if(samples.begin(), samples.end(), [](int16_t s) { return s != 0; });
  double writtenAt = double((first - samples.begin()) / 2) / 44.1;
  double unpausedAt = std::chrono::duration<double, std::milli>(unpaused - opened).count();
  return Latency{writtenAt - unpausedAt, std::ceil(unpausedAt / 10) * 10 - unpausedAt};
}

double mpg123FirstFrameMs(const std::string& file) {
  std::vector<uint8_t> bytes = readFile(file);
  const int rounds = 50;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_open_feed(handle);
    unsigned char out[1152 * 4 * 2];
    size_t done = 0;
    size_t fed = 0;
    int result = MPG123_NEED_MORE;
    while (done == 0 && fed < bytes.size()) {
      size_t chunk = std::min<size_t>(4096, bytes.size() - fed);
      result = mpg123_decode(handle, bytes.data() + fed, chunk, out, sizeof out, &done);
      fed += chunk;
      while (result == MPG123_NEW_FORMAT && done == 0)
        result = mpg123_decode(handle, nullptr, 0, out, sizeof out, &done);
    }
    mpg123_delete(handle);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
  char pattern[] = "/tmp/engine-bench-XXXXXX";
  dir = mkdtemp(pattern);
  std::string seconds = std::to_string(minutes * 60);
  std::printf("engine_bench: making %d-minute fixtures in %s\n", minutes, dir.c_str());
  std::fflush(stdout);
  run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/long.wav synth " + seconds + " pinknoise synth " + seconds +
      " sine mix 440 synth " + seconds + " sine mix 1250 synth " + seconds + " sine amod 0.3 2 gain -3 dither -s");
  run("lame --quiet -V 2 " + dir + "/long.wav " + dir + "/long-vbr.mp3");
  run("lame --quiet -b 320 " + dir + "/long.wav " + dir + "/long-cbr.mp3");
  run("flac -s -5 -f -o " + dir + "/long.flac " + dir + "/long.wav");
  add("long-vbr", dir + "/long-vbr.mp3");
  add("long-cbr", dir + "/long-cbr.mp3");
  add("long-flac", dir + "/long.flac");

  std::printf("\n1. Decode and mix, %d minutes of pink noise with tones, non-real-time (CPU seconds)\n", minutes);
  std::printf("%-12s %10s %10s %8s\n", "format", "engine", "baseline", "ratio");
  const struct {
    const char* name;
    const char* label;
  } mp3s[] = {{"long-vbr", "MP3 -V 2"}, {"long-cbr", "MP3 320k"}};
  for (const auto& mp3 : mp3s) {
    double engine = engineCpu(mp3.name);
    double base = childCpu("mpg123 -q -t " + dir + "/" + mp3.name + ".mp3");
    std::printf("%-12s %10.3f %10.3f %8.2f   (baseline: mpg123 -t)\n", mp3.label, engine, base, engine / base);
  }
  double fl = engineCpu("long-flac");
  double flBase = childCpu("flac -s -t " + dir + "/long.flac");
  std::printf("%-12s %10.3f %10.3f %8.2f   (baseline: flac -t)\n", "FLAC -5", fl, flBase, fl / flBase);
  run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/held.wav synth 1 sine 300");
  run("flac -s -f -o " + dir + "/held.flac " + dir + "/held.wav");
  add("held", dir + "/held.flac");
  double flJoined = engineCpu("long-flac", true);
  std::printf("%-12s %10.3f %10.3f %8.2f   (joined behind 44.1 kHz: same rate, copied through)\n", "FLAC -5", flJoined,
              flBase, flJoined / flBase);

  double realTimeReference = 0;
  const struct {
    int rate;
    bool mp3;
  } highs[] = {{48000, false}, {96000, false}, {48000, true}};
  for (const auto& high : highs) {
    std::string base = dir + "/long" + std::to_string(high.rate);
    std::string file = base + (high.mp3 ? ".mp3" : ".flac");
    run("sox -R " + dir + "/long.wav -r " + std::to_string(high.rate) + " " + base + ".wav");
    run(high.mp3 ? "lame --quiet -V 2 " + base + ".wav " + file : "flac -s -5 -f -o " + file + " " + base + ".wav");
    add("high", file);
    double reference = childCpu(high.mp3 ? "mpg123 -q -t " + file : "flac -s -t " + file);
    std::string label = std::string(high.mp3 ? "MP3 " : "FLAC ") + std::to_string(high.rate / 1000) + "k";
    // The reference decoder's output through sox's default `rate`.
    double converting =
        childCpu((high.mp3 ? "mpg123 -q -s " + file : "flac -s -d -c " + file) + " | sox -D -t raw -r " +
                 std::to_string(high.rate) + " -e signed -b 16 -c 2 - -t raw /dev/null rate 44100");
    double alone = engineCpu("high");
    double joined = engineCpu("high", true);
    std::printf("%-12s %10.3f %10.3f %8.2f   (alone; baseline: %s -t)\n", label.c_str(), alone, reference,
                alone / reference, high.mp3 ? "mpg123" : "flac");
    std::printf("%-12s %10.3f %10.3f %8.2f   (joined behind 44.1 kHz: converted)\n", label.c_str(), joined, reference,
                joined / reference);
    std::printf("%-12s %10.3f %10.3f %8.2f   (joined; baseline: decoded by %s, converted by sox rate)\n", label.c_str(),
                joined, converting, joined / converting, high.mp3 ? "mpg123" : "flac");
    // What the conversion costs by itself, on the same decoded samples.
    std::vector<int16_t> decoded;
    if (high.mp3) {
      run("mpg123 -q -w " + base + ".decoded.wav " + file);
      decoded = wavSamples(base + ".decoded.wav");
    } else {
      decoded = wavSamples(base + ".wav");
    }
    double converter = converterCpu(decoded, high.rate);
    std::printf("%-12s %10.3f %10.3f %8.2f   (libsoxr alone, the engine's recipe, on the decoded samples)\n",
                label.c_str(), converter, reference, converter / reference);
    if (high.rate == 48000 && !high.mp3) {
      add("realtime", file);
      realTimeReference = reference / (minutes * 60.0);
    }
  }

  // Real time, the stream threads wake only when there is work: what an idle
  // system costs is left out.
  const int realTimeSeconds = 10;
  std::printf(
      "\n1c. Real-time playback of FLAC 48k on the no-sound output for %d s, updated every 10 ms\n"
      "    (CPU ms per second of playback, beyond an idle system; baseline: flac -t per second of audio)\n",
      realTimeSeconds);
  double idle = realTimeCpuPerSecond("", false, realTimeSeconds);
  const struct {
    bool behind;
    const char* label;
  } realTimes[] = {{false, "alone"}, {true, "joined (converted)"}};
  for (const auto& r : realTimes) {
    double spent = realTimeCpuPerSecond("realtime", r.behind, realTimeSeconds) - idle;
    std::printf("%-20s %8.3f %8.3f %8.2f\n", r.label, spent * 1000, realTimeReference * 1000,
                spent / realTimeReference);
  }
  std::printf("%-20s %8.3f   (ms per second)\n", "idle system", idle * 1000);

  std::printf(
      "\n1b. Conversion to 44.1 kHz of tones at 440, 3000, 15000 and 19000 Hz: error against the\n"
      "    tones made at 44.1 kHz (dB below the signal; higher is better)\n");
  std::printf("%-8s %10s %10s %10s\n", "source", "engine", "sox rate", "engine-sox");
  const std::string tones = " synth 10 sine 440 synth 10 sine mix 3000 synth 10 sine mix 15000 synth 10 sine mix 19000";
  run("sox -R -D -n -r 44100 -c 2 -b 16 " + dir + "/tones44.wav" + tones + " gain -15");
  std::vector<int16_t> ideal = wavSamples(dir + "/tones44.wav");
  for (int rate : {48000, 96000}) {
    std::string source = dir + "/tones" + std::to_string(rate);
    run("sox -R -D -n -r " + std::to_string(rate) + " -c 2 -b 16 " + source + ".wav" + tones + " gain -15");
    run("flac -s -f -o " + source + ".flac " + source + ".wav");
    run("sox -R -D " + source + ".wav -r 44100 " + source + ".sox.wav");
    add("tones", source + ".flac");
    double engine = errorDb(engineConverted("tones", source + ".engine.wav"), ideal);
    double sox = errorDb(wavSamples(source + ".sox.wav"), ideal);
    std::printf("%-8d %10.1f %10.1f %10.1f\n", rate, engine, sox, engine - sox);
  }

  run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/a.wav synth 1.3 sine 523 gain -3 dither -s");
  run("sox -R -n -r 44100 -c 2 -b 16 " + dir + "/b.wav synth 1.1 sine 659 gain -3 dither -s");
  run("lame --quiet -b 192 " + dir + "/a.wav " + dir + "/a.mp3");
  run("flac -s -f -o " + dir + "/b.flac " + dir + "/b.wav");
  run("mpg123 -q --gapless -w " + dir + "/a.ref.wav " + dir + "/a.mp3");
  add("gap-a", dir + "/a.mp3");
  add("gap-b", dir + "/b.flac");
  std::vector<int16_t> a = wavSamples(dir + "/a.ref.wav");
  std::vector<int16_t> b = wavSamples(dir + "/b.wav");
  std::printf("\n2. Gap between consecutive tracks, MP3 then FLAC (samples; target 0)\n");
  std::printf("%-28s %10ld\n", "non-real-time WAV writer",
              chainGap(VE_OUTPUTTYPE_WAVWRITER_NRT, dir + "/gap-nrt.wav", a, b));
  std::printf("%-28s %10ld\n", "real-time WAV writer", chainGap(VE_OUTPUTTYPE_WAVWRITER, dir + "/gap-rt.wav", a, b));

  add("latency", dir + "/a.mp3");
  // Unpauses spread over the writer's 10 ms period: one alone lands anywhere
  // in it, so a single figure says more about the phase than the engine.
  const int trials = 10;
  std::vector<double> latencies, floors, excess;
  for (int i = 0; i < trials; ++i) {
    Latency l = firstSoundLatency(dir + "/latency.wav", i);
    latencies.push_back(l.ms);
    floors.push_back(l.floorMs);
    excess.push_back(l.ms - l.floorMs);
  }
  double decode = mpg123FirstFrameMs(dir + "/a.mp3");
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[(v.size() - 1) / 2] + v[v.size() / 2]) / 2;
  };
  auto range = [](const std::vector<double>& v) { return std::minmax_element(v.begin(), v.end()); };
  std::printf(
      "\n3. Unpause to first non-silent sample at the real-time WAV writer, %d unpauses spread over its\n"
      "   10 ms pull period (ms, median (min-max))\n",
      trials);
  std::printf("%-24s %6.2f (%.2f-%.2f)\n", "engine", median(latencies), *range(latencies).first,
              *range(latencies).second);
  std::printf("%-24s %6.2f (%.2f-%.2f)\n", "wait for the next pull", median(floors), *range(floors).first,
              *range(floors).second);
  std::printf("%-24s %6.2f (%.2f-%.2f)   (0: heard from the first pull after the unpause)\n", "engine - wait",
              median(excess), *range(excess).first, *range(excess).second);
  std::printf("%-24s %6.2f   (baseline: the wait for the next pull)\n", "ratio", median(latencies) / median(floors));
  std::printf("%-24s %6.3f   (libmpg123 decoding the first frame from memory)\n", "decode alone", decode);
  run("rm -rf " + dir);
  return 0;
}
