// A slow sound server for the engine's and the core's tests (header only): a
// proxy on the private runtime folder's socket in front of a NullSinkServer
// that holds the server's answers back, as a loaded or remote server does
// (each connection's first answer late) or one started on demand at login
// (its first connection's first answer late), or one that answers each
// connection's setup and then stops answering (stopped, or stuck, right after
// a client connected). Everything else passes as it is.
// Bytes only: the server is to run without shared memory (NullSinkServer's
// sharedMemory false), whose descriptors would have to travel beside them.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VETestSupport.h"

namespace vetest {

class SlowSoundServer {
 public:
  enum class Slowness {
    // Each connection's first answer comes delay after the server sent it.
    EveryConnection,
    // Only the first connection's first answer comes delay late.
    FirstConnection,
    // Each connection is answered as far as it is set up (the replies to
    // its authentication and its name: the client counts as connected);
    // every later answer is held. delay is not used.
    AfterSetup,
    // Each connection's setup is answered at once, its first answer after
    // that (a stream's creation, say) delay late: a server busy for a
    // moment once a client is connected.
    LateAfterSetup,
  };

  // Stands in front of server (running) for this process and the children it
  // starts from now on, until it is destroyed, which points them back at the
  // server itself.
  SlowSoundServer(const NullSinkServer& server, Slowness slowness, std::chrono::milliseconds delay)
      : serverSocket_(server.socketPath()), slowness_(slowness), delay_(delay) {
    const std::string runtime = path("pulse-slow-runtime");
    mkdir(runtime.c_str(), 0700);
    chmod(runtime.c_str(), 0700);
    mkdir((runtime + "/pulse").c_str(), 0700);
    const std::string socketPath = runtime + "/pulse/native";
    unlink(socketPath.c_str());
    listener_ = listenOn(socketPath);
    if (listener_ < 0 || pipe(stop_) != 0) return;
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
    thread_ = std::thread([this] { run(); });
    ready_ = true;
  }
  ~SlowSoundServer() {
    if (thread_.joinable()) {
      const char stop = 0;
      (void)!write(stop_[1], &stop, 1);
      thread_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]}) {
      if (fd >= 0) close(fd);
    }
    NullSinkServer::usePrivateRuntime();
  }
  SlowSoundServer(const SlowSoundServer&) = delete;
  SlowSoundServer& operator=(const SlowSoundServer&) = delete;

  bool ready() const { return ready_; }
  // Connections taken so far.
  int connections() const { return connections_.load(); }

 private:
  using Clock = std::chrono::steady_clock;

  // A packet's header: its length (big-endian) and four more fields.
  static constexpr size_t kHeaderBytes = 20;

  // Bytes read at once.
  using Chunk = std::vector<char>;

  struct Pair {
    int client = -1;
    int server = -1;
    bool slow = false;        // its first answer comes late
    bool answered = false;    // the server sent its first bytes
    Clock::time_point until;  // answers held until then
    std::deque<Chunk> held;   // from the server, not yet passed on
    // AfterSetup: the setup's answers still to pass whole, and the bytes of
    // the answer being passed (its header first).
    int setupAnswers = 2;
    size_t headerLeft = kHeaderBytes;
    uint32_t length = 0;
    size_t bodyLeft = 0;
    ~Pair() {
      if (client >= 0) close(client);
      if (server >= 0) close(server);
    }
  };

  static int listenOn(const std::string& socketPath) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, SOMAXCONN) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  static int connectTo(const std::string& socketPath) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), std::min(socketPath.size() + 1, sizeof address.sun_path - 1));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Reads what from holds; false at its end.
  static bool receive(int from, Chunk* chunk) {
    chunk->resize(65536);
    const ssize_t count = read(from, chunk->data(), chunk->size());
    if (count <= 0) return false;
    chunk->resize(size_t(count));
    return true;
  }

  // Passes chunk on to to; false when to is gone.
  static bool pass(int to, const Chunk& chunk) {
    size_t sent = 0;
    while (sent < chunk.size()) {
      const ssize_t count = send(to, chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) return false;
      sent += size_t(count);
    }
    return true;
  }

  void accept(std::vector<std::unique_ptr<Pair>>* pairs) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    auto pair = std::make_unique<Pair>();
    pair->client = client;
    pair->server = connectTo(serverSocket_);
    pair->slow = connections_.fetch_add(1) == 0 || slowness_ == Slowness::EveryConnection;
    if (pair->server >= 0) pairs->push_back(std::move(pair));
  }

  // AfterSetup: how many of chunk's bytes still belong to the setup's
  // answers.
  static size_t setupBytes(Pair& pair, const Chunk& chunk) {
    size_t at = 0;
    while (at < chunk.size() && pair.setupAnswers > 0) {
      if (pair.headerLeft > 0) {
        const size_t index = kHeaderBytes - pair.headerLeft;
        if (index < 4) pair.length = (pair.length << 8) | uint8_t(chunk[at]);
        ++at;
        if (--pair.headerLeft == 0) pair.bodyLeft = pair.length;
      } else {
        const size_t taken = std::min(pair.bodyLeft, chunk.size() - at);
        at += taken;
        pair.bodyLeft -= taken;
      }
      if (pair.headerLeft == 0 && pair.bodyLeft == 0) {
        --pair.setupAnswers;
        pair.headerLeft = kHeaderBytes;
        pair.length = 0;
      }
    }
    return at;
  }

  // Takes what the server sent; false once either side is gone.
  bool fromServer(Pair& pair) {
    Chunk chunk;
    if (!receive(pair.server, &chunk)) return false;
    if (slowness_ == Slowness::AfterSetup || slowness_ == Slowness::LateAfterSetup) {
      const size_t setup = setupBytes(pair, chunk);
      if (setup > 0 && !pass(pair.client, Chunk(chunk.begin(), chunk.begin() + long(setup)))) return false;
      chunk.erase(chunk.begin(), chunk.begin() + long(setup));
      if (chunk.empty()) return release(pair);
      if (!pair.answered) pair.until = Clock::now() + delay_;
      pair.answered = true;
      pair.held.push_back(std::move(chunk));
      return release(pair);
    }
    if (!pair.answered && pair.slow) pair.until = Clock::now() + delay_;
    pair.answered = true;
    pair.held.push_back(std::move(chunk));
    return release(pair);
  }

  // Passes on what the server sent once its time has come.
  bool release(Pair& pair) {
    if (Clock::now() < pair.until || slowness_ == Slowness::AfterSetup) return true;
    while (!pair.held.empty()) {
      if (!pass(pair.client, pair.held.front())) return false;
      pair.held.pop_front();
    }
    return true;
  }

  void run() {
    std::vector<std::unique_ptr<Pair>> pairs;
    for (;;) {
      std::vector<pollfd> watched = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      const bool stalled = slowness_ == Slowness::AfterSetup;
      int timeout = -1;
      for (const auto& pair : pairs) {
        watched.push_back({pair->client, POLLIN, 0});
        watched.push_back({pair->server, POLLIN, 0});
        if (pair->held.empty() || stalled) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pair->until - Clock::now());
        const int wait = int(std::max<long>(1, long(left.count()) + 1));
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
      }
      if (poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) return;
      if (watched[0].revents) return;
      std::vector<bool> gone(pairs.size(), false);
      for (size_t i = 0; i < gone.size(); ++i) {
        Pair& pair = *pairs[i];
        const pollfd& client = watched[2 + 2 * i];
        const pollfd& server = watched[3 + 2 * i];
        Chunk chunk;
        if (client.revents && (!receive(pair.client, &chunk) || !pass(pair.server, chunk))) gone[i] = true;
        if (server.revents && !fromServer(pair)) gone[i] = true;
        if (!release(pair)) gone[i] = true;
      }
      for (size_t i = gone.size(); i-- > 0;) {
        if (gone[i]) pairs.erase(pairs.begin() + long(i));
      }
      // New connections only after the polled ones: watched holds no entry
      // for them yet.
      if (watched[1].revents & POLLIN) accept(&pairs);
    }
  }

  std::string serverSocket_;
  Slowness slowness_;
  std::chrono::milliseconds delay_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  std::thread thread_;
  bool ready_ = false;
};

}  // namespace vetest
