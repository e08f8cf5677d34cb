// Audio fixtures for the tests and benchmarks (header only, needs no part of
// the engine): a scratch folder, shell commands, WAV reading, tones and tracks
// made with sox, lame and flac with their reference decodes made with mpg123
// and flac.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vetest {

// ---------------------------------------------------------------- files

inline const std::string& scratchDir() {
  static std::string dir = [] {
    std::string base = std::string(VELORA_BINARY_DIR) + "/engine-fixtures";
    mkdir(base.c_str(), 0755);
    std::string pattern = base + "/run-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = mkdtemp(buffer.data());
    return std::string(made ? made : base.c_str());
  }();
  return dir;
}

inline std::string path(const std::string& name) {
  return scratchDir() + "/" + name;
}

// Runs a shell command with its output thrown away; its wait status.
inline int runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// Runs a shell command; fails the test when it fails.
inline bool run(const std::string& command) {
  int status = runQuietly(command);
  EXPECT_EQ(0, status) << command;
  return status == 0;
}

inline std::vector<uint8_t> readFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Wav {
  int rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved
  size_t frames() const { return channels ? samples.size() / size_t(channels) : 0; }
};

// Reads a 16-bit PCM WAV file (RIFF chunks in any order).
inline Wav readWav(const std::string& file) {
  Wav wav;
  std::vector<uint8_t> b = readFile(file);
  if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0) return wav;
  auto u32 = [&](size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
  };
  auto u16 = [&](size_t at) { return uint16_t(b[at] | b[at + 1] << 8); };
  size_t at = 12;
  while (at + 8 <= b.size()) {
    uint32_t size = u32(at + 4);
    if (memcmp(&b[at], "fmt ", 4) == 0) {
      wav.channels = u16(at + 10);
      wav.rate = static_cast<int>(u32(at + 12));
    } else if (memcmp(&b[at], "data", 4) == 0) {
      size_t end = std::min(b.size(), at + 8 + size_t(size));
      wav.samples.resize((end - at - 8) / 2);
      if (!wav.samples.empty()) memcpy(wav.samples.data(), &b[at + 8], wav.samples.size() * 2);
      break;
    }
    at += 8 + size + (size & 1);
  }
  return wav;
}

// Mono to stereo, as the engine plays it.
inline std::vector<int16_t> stereo(const Wav& wav) {
  if (wav.channels == 2) return wav.samples;
  std::vector<int16_t> out;
  for (int16_t s : wav.samples) {
    out.push_back(s);
    out.push_back(s);
  }
  return out;
}

// Index of the first sample that differs, SIZE_MAX when both are equal.
inline size_t firstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size() == b.size() ? SIZE_MAX : n;
}

// Bytes that look random (the same on every run): garbage as a damaged file
// holds it.
inline std::vector<uint8_t> noiseBytes(size_t count, uint32_t seed = 12345) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return bytes;
}

// Where needle lies in haystack, at a frame boundary (interleaved stereo),
// every sample within tolerance; SIZE_MAX when nowhere. For sound decoded
// after a resync, which may differ from the reference by rounding.
inline size_t findWithin(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, int tolerance) {
  for (size_t at = 0; at + needle.size() <= haystack.size(); at += 2) {
    size_t i = 0;
    while (i < needle.size() && std::abs(int(haystack[at + i]) - int(needle[i])) <= tolerance) ++i;
    if (i == needle.size()) return at;
  }
  return SIZE_MAX;
}

// Fixtures, made once per process and cached by name.
struct Fixture {
  std::string file;       // the encoded file
  std::string reference;  // its reference decode (WAV)
};

// The sox command that writes a 16-bit tone of frequency Hz at gainDb into
// file, with the sox effects given after it (repeatable: -R).
inline std::string toneCommand(const std::string& file, double seconds, int rate, int channels, int frequency,
                               double gainDb, const std::string& effects = "") {
  std::ostringstream command;
  command << "sox -q -R -n -r " << rate << " -c " << channels << " -b 16 '" << file << "' synth " << seconds << " sine "
          << frequency << " gain " << gainDb;
  if (!effects.empty()) command << " " << effects;
  return command.str();
}

// A sox source: a tone with some noise, so every sample differs.
inline std::string makeSource(const std::string& name, double seconds, int rate, int channels, int frequency = 440) {
  std::string out = path(name + ".src.wav");
  if (access(out.c_str(), F_OK) == 0) return out;
  // A tone with dither noise (repeatable with -R), so neighbouring samples differ.
  run(toneCommand(out, seconds, rate, channels, frequency, -3, "dither -s"));
  return out;
}

// lameOptions e.g. "-b 128" (CBR), "-V 2" (VBR), "-V 2 -t" (VBR without the Info tag).
inline Fixture mp3(const std::string& name, double seconds, int rate, int channels, const std::string& lameOptions,
                   int frequency = 440) {
  Fixture f{path(name + ".mp3"), path(name + ".ref.wav")};
  if (access(f.reference.c_str(), F_OK) == 0) return f;
  std::string source = makeSource(name, seconds, rate, channels, frequency);
  run("lame --quiet --noreplaygain " + lameOptions + " " + source + " " + f.file);
  run("mpg123 -q --gapless -w " + f.reference + " " + f.file);
  return f;
}

inline Fixture flac(const std::string& name, double seconds, int rate, int channels, int frequency = 440,
                    const std::string& options = "") {
  Fixture f{path(name + ".flac"), path(name + ".ref.wav")};
  if (access(f.reference.c_str(), F_OK) == 0) return f;
  std::string source = makeSource(name, seconds, rate, channels, frequency);
  run("flac -s -f " + options + " -o " + f.file + " " + source);
  run("flac -s -f -d -o " + f.reference + " " + f.file);
  return f;
}

// A stereo 44.1 kHz tone of frequency Hz at gainDb, encoded by lame with
// lameOptions into file (its source WAV beside it is removed); false when sox
// or lame failed. Fails no test by itself, so benchmarks can use it too.
inline bool makeToneMp3(const std::string& file, double seconds, int frequency, double gainDb,
                        const std::string& lameOptions = "-b 128") {
  const std::string source = file + ".tone.wav";
  const bool made = runQuietly(toneCommand(source, seconds, 44100, 2, frequency, gainDb)) == 0 &&
                    runQuietly("lame --quiet " + lameOptions + " '" + source + "' '" + file + "'") == 0;
  unlink(source.c_str());
  return made;
}

}  // namespace vetest
