#include "VEOutputPulse.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// How long a caller waits for the server to answer before the output counts
// as unavailable for now: a server that answers at all usually does so within
// milliseconds, and one that takes connections but never answers (stopped, or
// socket-activated and stuck) must not hold the caller. The connection itself
// is not given up on: it goes on in the background, and a later look finds it
// answered (a loaded server, or one started on demand).
constexpr auto kConnectTimeout = std::chrono::milliseconds(500);
constexpr unsigned int kLatencyMilliseconds = 50;

void signalLoop(pa_context*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void signalStream(pa_stream*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// Waits, with the loop locked, until ready() or failed() holds or deadline
// (by default kConnectTimeout from now) has passed. The lock is let go
// between looks, so the loop's thread can run.
template <typename Ready, typename Failed>
bool waitFor(pa_threaded_mainloop* loop, Ready ready, Failed failed,
             std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + kConnectTimeout) {
  while (!ready()) {
    if (failed() || std::chrono::steady_clock::now() > deadline) return false;
    pa_threaded_mainloop_unlock(loop);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pa_threaded_mainloop_lock(loop);
  }
  return true;
}

}  // namespace

// The process's one connection to the sound server, shared by every listing
// and every output. A server is slow mostly at a connection's first answer
// (loaded, remote, or started on demand): a connection made once and kept
// pays that once, and one that did not answer in time goes on connecting on
// its own loop's thread, so that the next look finds it answered instead of
// meeting the same slowness again. One that failed (no server, the server
// stopped) is replaced at the next need.
class VEOutputPulse::Connection {
 public:
  // The connection, answered; null when it failed, or has not answered
  // within kConnectTimeout of its start (it goes on connecting): only the
  // first callers wait for it, so that a server that never answers holds
  // no later one. Any thread but the connection's own loop.
  static std::shared_ptr<Connection> answered() {
    std::shared_ptr<Connection> connection = current();
    if (!connection) return nullptr;
    pa_threaded_mainloop_lock(connection->loop_);
    pa_context* context = connection->context_;
    const bool ready = waitFor(
        connection->loop_, [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
        [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); },
        connection->started_ + kConnectTimeout);
    pa_threaded_mainloop_unlock(connection->loop_);
    return ready ? connection : nullptr;
  }

  ~Connection() {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  // Locked by whoever calls into the context; the loop's callbacks run
  // under it.
  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

 private:
  Connection() = default;

  // The connection in use, or a new one where there is none or it failed.
  static std::shared_ptr<Connection> current() {
    static std::mutex* mutex = new std::mutex;
    // Never destroyed: a connection may be in use while the process exits.
    static auto* slot = new std::shared_ptr<Connection>;
    std::lock_guard<std::mutex> lock(*mutex);
    if (*slot && (*slot)->good()) return *slot;
    slot->reset();
    std::shared_ptr<Connection> made(new Connection);
    if (!made->start()) return nullptr;
    *slot = made;
    return made;
  }

  bool start() {
    started_ = std::chrono::steady_clock::now();
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return false;
    if (pa_threaded_mainloop_start(loop_) < 0) {
      pa_threaded_mainloop_free(loop_);
      loop_ = nullptr;
      return false;
    }
    pa_threaded_mainloop_lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Velora");
    bool connecting = false;
    if (context_) {
      pa_context_set_state_callback(context_, signalLoop, loop_);
      connecting = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    }
    pa_threaded_mainloop_unlock(loop_);
    return connecting;
  }

  bool good() {
    pa_threaded_mainloop_lock(loop_);
    const bool good = PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    pa_threaded_mainloop_unlock(loop_);
    return good;
  }

  std::chrono::steady_clock::time_point started_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

namespace {

struct SinkList {
  pa_threaded_mainloop* loop = nullptr;
  std::string defaultSink;
  std::vector<VEOutputDriver> sinks;
  bool serverDone = false;
  bool sinksDone = false;
};

void serverInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* list = static_cast<SinkList*>(data);
  if (info && info->default_sink_name) list->defaultSink = info->default_sink_name;
  list->serverDone = true;
  pa_threaded_mainloop_signal(list->loop, 0);
}

void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* list = static_cast<SinkList*>(data);
  if (eol || !info) {
    list->sinksDone = true;
    pa_threaded_mainloop_signal(list->loop, 0);
    return;
  }
  std::string name = info->name ? info->name : "";
  std::string label = info->description ? info->description : name;
  list->sinks.push_back(VEOutputDriver{label, name, VEOutput::driverId(name)});
}

}  // namespace

bool VEOutputPulse::listDrivers(std::vector<VEOutputDriver>* drivers) {
  std::shared_ptr<Connection> connection = Connection::answered();
  if (!connection) return false;
  pa_threaded_mainloop* loop = connection->loop();
  pa_context* context = connection->context();
  SinkList list;
  list.loop = loop;
  pa_threaded_mainloop_lock(loop);
  pa_operation* server = pa_context_get_server_info(context, serverInfo, &list);
  pa_operation* sinks = pa_context_get_sink_info_list(context, sinkInfo, &list);
  bool answered = server && sinks &&
                  waitFor(
                      loop, [&] { return list.serverDone && list.sinksDone; },
                      [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); });
  // The list lives on this stack: a query that did not answer must not call
  // back into it later.
  for (pa_operation* operation : {server, sinks}) {
    if (!operation) continue;
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  pa_threaded_mainloop_unlock(loop);
  if (!answered || list.sinks.empty()) return false;
  for (const VEOutputDriver& sink : list.sinks) {
    if (sink.device == list.defaultSink) drivers->push_back(sink);
  }
  for (const VEOutputDriver& sink : list.sinks) {
    if (sink.device != list.defaultSink) drivers->push_back(sink);
  }
  return true;
}

VEResult VEOutputPulse::open(const VEOutputDriver& driver, int sampleRate, VEMixSource* source) {
  close();
  source_ = source;
  lost_ = false;
  std::shared_ptr<Connection> connection = Connection::answered();
  if (!connection) return VE_ERR_OUTPUT_INIT;
  pa_threaded_mainloop* loop = connection->loop();
  pa_threaded_mainloop_lock(loop);
  pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, static_cast<uint32_t>(sampleRate), 2};
  pa_stream* stream = pa_stream_new(connection->context(), "Velora playback", &sampleFormat, nullptr);
  bool ready = false;
  if (stream) {
    pa_stream_set_state_callback(stream, signalStream, loop);
    pa_stream_set_write_callback(stream, writeCallback, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kLatencyMilliseconds * 1000, &sampleFormat));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(10 * 1000, &sampleFormat));
    attributes.fragsize = static_cast<uint32_t>(-1);
    const char* device = driver.device.empty() ? nullptr : driver.device.c_str();
    ready = pa_stream_connect_playback(stream, device, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) == 0 &&
            waitFor(
                loop, [stream] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
                [stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); });
  }
  if (ready) {
    // From here on a failure is the loss of the device; the stream fails
    // with its connection too.
    pa_stream_set_state_callback(stream, streamStateCallback, this);
    connection_ = std::move(connection);
    stream_ = stream;
  } else if (stream) {
    endStream(stream);
  }
  pa_threaded_mainloop_unlock(loop);
  return ready ? VE_OK : VE_ERR_OUTPUT_INIT;
}

// Ends a stream of the connection; its loop locked. A stream whose creation
// the server has not answered yet (given up on at the time limit) cannot be
// disconnected before that answer, which makes it on the server: left alone
// it would stay there, attached to its sink, for the connection's life. It
// ends once answered instead, and lets go of itself then.
void VEOutputPulse::endStream(pa_stream* stream) {
  pa_stream_set_write_callback(stream, nullptr, nullptr);
  if (pa_stream_get_state(stream) == PA_STREAM_CREATING) {
    pa_stream_set_state_callback(stream, endOnceAnswered, nullptr);
    return;
  }
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

// The loop's thread, which holds a reference of its own around the call.
void VEOutputPulse::endOnceAnswered(pa_stream* stream, void*) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    // Terminated once the server confirms, which calls back here again.
    if (pa_stream_disconnect(stream) == 0) return;
  } else if (PA_STREAM_IS_GOOD(state)) {
    return;
  }
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_unref(stream);
}

void VEOutputPulse::streamStateCallback(pa_stream* stream, void* self) {
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<VEOutputPulse*>(self)->lost_ = true;
}

void VEOutputPulse::writeCallback(pa_stream* stream, size_t bytes, void* self) {
  auto* output = static_cast<VEOutputPulse*>(self);
  void* data = nullptr;
  if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data) return;
  size_t frames = bytes / 4;
  output->source_->render(static_cast<int16_t*>(data), frames);
  pa_stream_write(stream, data, frames * 4, nullptr, 0, PA_SEEK_RELATIVE);
}

void VEOutputPulse::close() {
  if (!connection_) return;
  pa_threaded_mainloop_lock(connection_->loop());
  endStream(stream_);
  stream_ = nullptr;
  pa_threaded_mainloop_unlock(connection_->loop());
  connection_.reset();
}

// ThreadSanitizer builds only: libpulse is not instrumented, so its main loop's
// own locking looks like races to the sanitizer. Reports whose stack lies inside
// libpulse are suppressed; our side (the loop lock around every call) stays
// checked. Kept in this file so that it is linked wherever this output is.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon-16.1.so\n"
         "race:libpulse.so.0\n";
}
#endif
