// Test support for the engine's tests (header only, not part of the library):
// a file server answering the engine's file callbacks from memory, either at
// once or later on the test's command (a stand-in for the worker thread),
// checking every rule of the callback contract as it goes; the fixtures come
// from AudioFixtures.h.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AudioFixtures.h"
#include "VEChannel.h"
#include "VESound.h"
#include "VESystem.h"

namespace vetest {

// ---------------------------------------------------------------- file server

// Serves the engine's file callbacks from memory. One per process (the open
// callback has no context argument); tests reset it.
class FileServer {
 public:
  enum class Mode { Immediate, Queued };

  struct Handle {
    std::string name;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    unsigned int reportedSize = 0;
    int pendingReads = 0;
    bool closed = false;
  };

  static FileServer& instance() {
    static FileServer server;
    return server;
  }

  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    files_.clear();
    failAt_.clear();
    queue_.clear();
    mode_ = Mode::Immediate;
    gateOpens_ = false;
    opens = openFailures = closes = reads = 0;
    violations_.clear();
    openThreads_.clear();
    readSizes_.clear();
    // Handles stay alive: a late callback must find valid memory.
  }

  // Serves bytes under name; reportedSize 0 means the true size.
  void add(const std::string& name, std::vector<uint8_t> bytes, unsigned int reportedSize = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    files_[name] = {shared, reportedSize ? reportedSize : static_cast<unsigned int>(shared->size())};
  }
  void addFile(const std::string& name, const std::string& file) { add(name, readFile(file)); }
  // Reads that reach offset or beyond fail with VE_ERR_INTERNAL.
  void failReadsFrom(const std::string& name, unsigned int offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_[name] = offset;
  }
  void setMode(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
  }
  // The limits the engine was given, to check reads against.
  void expect(unsigned int blockAlign, unsigned int bufferSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    blockAlign_ = blockAlign;
    bufferSize_ = bufferSize;
  }

  // Open callbacks wait until openGate(false).
  void gateOpens(bool gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpens_ = gate;
    gateChanged_.notify_all();
  }
  // Waits until count open callbacks are waiting at the gate (or entered).
  bool waitForOpens(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return gateChanged_.wait_for(lock, std::chrono::seconds(20), [&] { return opens >= count; });
  }

  // Answers up to max queued reads, oldest first; answers the count.
  size_t answer(size_t max = SIZE_MAX) {
    size_t done = 0;
    while (done < max) {
      VEReadRequest* request = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) break;
        request = queue_.front();
        queue_.pop_front();
      }
      serve(request);
      ++done;
    }
    return done;
  }
  size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }
  // The offsets of the reads issued so far, with their sizes.
  std::vector<std::pair<unsigned int, unsigned int>> readLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    return readSizes_;
  }

  std::vector<std::string> violations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
  }
  std::vector<std::thread::id> openThreads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return openThreads_;
  }
  int pendingOn(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<Handle*>(handle)->pendingReads;
  }

  std::atomic<int> opens{0};
  std::atomic<int> openFailures{0};
  std::atomic<int> closes{0};
  std::atomic<int> reads{0};
  // Set by a test to see the sound pointer at open time.
  std::function<void(const char*)> onOpen;

  static VEResult openCallback(const char* name, unsigned int* size, void** handle, void** userData) {
    return instance().open(name, size, handle, userData);
  }
  static VEResult closeCallback(void* handle, void* userData) {
    return static_cast<FileServer*>(userData)->close(handle);
  }
  static VEResult readCallback(VEReadRequest* request, void* userData) {
    return static_cast<FileServer*>(userData)->read(request);
  }

  // Sets the callbacks on system, with the block alignment and buffer size.
  void install(VESystem* system, unsigned int blockAlign, unsigned int bufferSize) {
    expect(blockAlign, bufferSize);
    system->setFileSystem(openCallback, closeCallback, readCallback, static_cast<int>(blockAlign));
    system->setStreamBufferSize(bufferSize, VE_TIMEUNIT_RAWBYTES);
  }

 private:
  struct File {
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    unsigned int reportedSize;
  };

  void violation(const std::string& what) {
    violations_.push_back(what);
    ADD_FAILURE() << "callback contract broken: " << what;
  }

  VEResult open(const char* name, unsigned int* size, void** handle, void** userData) {
    if (onOpen) onOpen(name);
    std::unique_lock<std::mutex> lock(mutex_);
    openThreads_.push_back(std::this_thread::get_id());
    ++opens;
    gateChanged_.notify_all();
    gateChanged_.wait(lock, [&] { return !gateOpens_; });
    auto it = files_.find(name);
    if (it == files_.end()) {
      ++openFailures;
      return VE_ERR_FILE_NOTFOUND;
    }
    auto* h = new Handle{name, it->second.bytes, it->second.reportedSize};
    handles_.emplace_back(h);
    *size = h->reportedSize;
    *handle = h;
    *userData = this;
    return VE_OK;
  }

  VEResult close(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* h = static_cast<Handle*>(handle);
    if (h->closed) violation("closed twice: " + h->name);
    if (h->pendingReads > 0) violation("closed with a read pending: " + h->name);
    h->closed = true;
    ++closes;
    return VE_OK;
  }

  VEResult read(VEReadRequest* request) {
    bool now;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto* h = static_cast<Handle*>(request->handle);
      ++reads;
      readSizes_.emplace_back(request->offset, request->sizeBytes);
      if (h->closed) violation("read after close: " + h->name);
      if (request->result.load() != VE_ERR_NOTREADY) violation("result not preset to not-ready");
      uint64_t end = uint64_t(request->offset) + request->sizeBytes;
      if (request->offset % blockAlign_ != 0) violation("unaligned offset " + std::to_string(request->offset));
      if (request->sizeBytes % blockAlign_ != 0 && end != h->reportedSize) {
        violation("unaligned size " + std::to_string(request->sizeBytes));
      }
      if (request->sizeBytes > bufferSize_) violation("read larger than the buffer");
      if (request->sizeBytes == 0) violation("empty read");
      if (end > h->reportedSize) violation("read past the end of the file");
      ++h->pendingReads;
      now = mode_ == Mode::Immediate;
      if (!now) queue_.push_back(request);
    }
    if (now) serve(request);
    return VE_OK;
  }

  void serve(VEReadRequest* request) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* h = static_cast<Handle*>(request->handle);
    const std::vector<uint8_t>& bytes = *h->bytes;
    auto fail = failAt_.find(h->name);
    uint64_t available = bytes.size();
    bool failing = fail != failAt_.end() && uint64_t(request->offset) + request->sizeBytes > fail->second;
    if (failing) available = std::min<uint64_t>(available, fail->second);
    uint64_t count = 0;
    if (request->offset < available) count = std::min<uint64_t>(request->sizeBytes, available - request->offset);
    if (count > 0) memcpy(request->buffer, bytes.data() + request->offset, count);
    request->bytesRead = static_cast<unsigned int>(count);
    --h->pendingReads;
    int result = VE_OK;
    if (failing) {
      result = VE_ERR_INTERNAL;
    } else if (count < request->sizeBytes) {
      result = VE_ERR_FILE_EOF;
    }
    request->result.store(result, std::memory_order_release);  // last
  }

  std::mutex mutex_;
  std::condition_variable gateChanged_;
  std::map<std::string, File> files_;
  std::map<std::string, unsigned int> failAt_;
  std::deque<VEReadRequest*> queue_;
  std::vector<std::unique_ptr<Handle>> handles_;
  Mode mode_ = Mode::Immediate;
  bool gateOpens_ = false;
  unsigned int blockAlign_ = 1;
  unsigned int bufferSize_ = UINT32_MAX;
  std::vector<std::string> violations_;
  std::vector<std::thread::id> openThreads_;
  std::vector<std::pair<unsigned int, unsigned int>> readSizes_;
};

// ---------------------------------------------------------------- engine

// Polls cond, calling update between looks, for up to 20 s (a safety net
// against hangs, not a timing assertion).
inline bool updateUntil(VESystem* system, const std::function<bool()>& cond) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (system) system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline VEOpenState openState(VESound* sound, VEResult* result = nullptr) {
  VEOpenState state = VE_OPENSTATE_LOADING;
  VEResult r = sound->getOpenState(&state, nullptr, nullptr, nullptr);
  if (result) *result = r;
  return state;
}

// Waits until the sound has left the loading state.
inline VEOpenState waitOpened(VESystem* system, VESound* sound) {
  updateUntil(system, [&] { return openState(sound) != VE_OPENSTATE_LOADING; });
  return openState(sound);
}

// A system on the non-real-time WAV writer, with the file server installed.
struct WavSystem {
  VESystem* system = nullptr;
  std::string wav;

  explicit WavSystem(const std::string& name, unsigned int blockAlign = 4096, unsigned int bufferSize = 65536,
                     int channels = 8) {
    wav = path(name + ".out.wav");
    VESystem::create(&system);
    system->setSoftwareFormat(44100, VE_SOUND_FORMAT_PCM16, 2, 2, VE_RESAMPLER_SPLINE);
    system->setOutput(VE_OUTPUTTYPE_WAVWRITER_NRT);
    FileServer::instance().install(system, blockAlign, bufferSize);
    EXPECT_EQ(VE_OK, system->init(channels, 0, const_cast<char*>(wav.c_str())));
  }
  ~WavSystem() {
    if (system) system->release();
  }
  // Closes the system and answers what it wrote.
  Wav finish() {
    system->release();
    system = nullptr;
    return readWav(wav);
  }
  VESound* open(const std::string& name) {
    VESound* sound = nullptr;
    EXPECT_EQ(VE_OK, system->createStream(name.c_str(), VE_MODE_NONBLOCKING, &sound));
    return sound;
  }
};

// Counts end callbacks; the channel's user data points at one of these.
struct EndLog {
  std::vector<int> channels;
  std::vector<unsigned int> positions;
  std::vector<unsigned int> lengths;
  std::thread::id thread;
  bool insideUpdate = false;
};
inline thread_local bool updating = false;

inline VEResult recordEnd(VEChannel* channel, VEChannelCallbackType type, void*, void*) {
  void* data = nullptr;
  channel->getUserData(&data);
  auto* log = static_cast<EndLog*>(data);
  if (!log || type != VE_CHANNEL_CALLBACKTYPE_END) return VE_OK;
  int index = -1;
  channel->getIndex(&index);
  unsigned int position = 0;
  channel->getPosition(&position, VE_TIMEUNIT_PCM);
  log->channels.push_back(index);
  log->positions.push_back(position);
  log->thread = std::this_thread::get_id();
  log->insideUpdate = updating;
  return VE_OK;
}

// update() marked as such for recordEnd.
inline VEResult markedUpdate(VESystem* system) {
  updating = true;
  VEResult r = system->update();
  updating = false;
  return r;
}

// ---------------------------------------------------------------- PulseAudio

// Starts argv with its stdout sent to output (or /dev/null); answers its pid.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int null = open("/dev/null", O_WRONLY);
  if (out >= 0) dup2(out, 1);
  if (null >= 0) dup2(null, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Ends a spawned process (SIGTERM) and reaps it.
inline void stopProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

// A private PulseAudio server serving a null sink named "test", for this
// process and its children (XDG_RUNTIME_DIR and PULSE_RUNTIME_PATH point to
// it while it lives). ready() is false where no server can start here.
class NullSinkServer {
 public:
  // Serves a null sink of each name, the first the default one. Without
  // sharedMemory every byte of its clients' streams goes through the socket.
  explicit NullSinkServer(const std::vector<std::string>& sinks = {"test"}, bool sharedMemory = true) {
    usePrivateRuntime();
    std::vector<std::string> argv = {"pulseaudio", "--daemonize=no", "-n", "--load=module-native-protocol-unix"};
    if (!sharedMemory) argv.push_back("--disable-shm");
    for (const std::string& sink : sinks) argv.push_back("--load=module-null-sink sink_name=" + sink);
    for (const char* option : {"--exit-idle-time=-1", "--disallow-exit", "--log-target=stderr"}) argv.push_back(option);
    server_ = spawn(argv);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::system("pactl info >/dev/null 2>&1") == 0) {
        ready_ = true;
        return;
      }
      int status = 0;
      if (waitpid(server_, &status, WNOHANG) == server_) {
        server_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~NullSinkServer() {
    stopProcess(server_);
    unsetenv("PULSE_RUNTIME_PATH");
  }
  NullSinkServer(const NullSinkServer&) = delete;
  NullSinkServer& operator=(const NullSinkServer&) = delete;

  bool ready() const { return ready_; }

  // Stops the server where it is (SIGSTOP) and lets it go on (SIGCONT): a
  // server that hangs in mid-run keeps its connections but answers nothing.
  void hang() { kill(server_, SIGSTOP); }
  void wake() { kill(server_, SIGCONT); }

  // Points this process and its children at the server's private runtime
  // folder, where no server answers until one is made: for a client that
  // starts before its sound server.
  static void usePrivateRuntime() {
    std::string runtime = path("pulse-runtime");
    mkdir(runtime.c_str(), 0700);
    chmod(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
  }

  // The server's socket, where its clients reach it.
  static std::string socketPath() { return path("pulse-runtime") + "/pulse/native"; }

  // Records the monitor of sink into file as raw 16-bit stereo at 44100 Hz
  // until stopProcess(pid). Straight from the server, whatever stands in
  // front of it for the clients.
  static pid_t record(const std::string& file, const std::string& sink = "test") {
    return spawn({"parec", "--server=unix:" + socketPath(), "-d", sink + ".monitor", "--raw", "--format=s16le",
                  "--rate=44100", "--channels=2"},
                 file);
  }

 private:
  pid_t server_ = -1;
  bool ready_ = false;
};

// The threads this process runs now (from /proc).
inline size_t threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return static_cast<size_t>(std::stoul(line.substr(8)));
  }
  return 0;
}

// A sound server that hangs, for this process and its children: its socket in
// the private runtime folder of NullSinkServer takes every connection and
// never answers, as a server stopped in mid-run or socket-activated and stuck
// does. Gone with the object, after which a NullSinkServer may start there.
class StuckSoundServer {
 public:
  StuckSoundServer() {
    NullSinkServer::usePrivateRuntime();
    const std::string folder = path("pulse-runtime") + "/pulse";
    mkdir(folder.c_str(), 0700);
    socketPath_ = folder + "/native";
    unlink(socketPath_.c_str());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ready_ = socket_ >= 0 && bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             listen(socket_, SOMAXCONN) == 0;
  }
  ~StuckSoundServer() {
    if (socket_ >= 0) close(socket_);
    unlink(socketPath_.c_str());
  }
  StuckSoundServer(const StuckSoundServer&) = delete;
  StuckSoundServer& operator=(const StuckSoundServer&) = delete;

  bool ready() const { return ready_; }

 private:
  std::string socketPath_;
  int socket_ = -1;
  bool ready_ = false;
};

}  // namespace vetest
